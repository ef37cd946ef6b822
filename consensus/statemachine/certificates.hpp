#pragma once
// Turning collected votes into a certificate, the certificate path every node
// takes, and moving the chain tip with everything that follows from it.
#include "base/contract.hpp"
#include "base/saturating.hpp"
#include "base/text.hpp"
#include "consensus/statemachine/statemachine.hpp"

namespace vesk {

template <Timestamper T, VoteVerifier V>
SubResult VeskStatemachine<T, V>::certify_proposal(const QuorumView& view, const QuorumMessage& qm,
                                                   std::vector<std::pair<BlsPubkey, BlsSignature>> votes) {
    u128 voting_stake = 0;
    for (const auto& [voter, sig] : votes) {
        voting_stake = sat_add(voting_stake, u128{view.get_stake_by_pubkey(voter).value_or(0)});
    }
    u128 total = view.total_stake;
    bool reached = view.reaches_two_thirds(voting_stake);
    size_t count = votes.size();

    bool own = std::any_of(votes.begin(), votes.end(), [&](const auto& v) { return v.first == identity.pubkey; });
    if (!own) return SubResult::event(events::QuorumPendingSelfVote{qm.slot, count, voting_stake, total});

    if (qm.parent_qc_id != tip_qc.message.qc_id || !replayed_parent_matches_tip(qm.slot, qm.vesk_id)) {
        return SubResult::event(events::VoteWithheld{qm.slot, withheld::DoesNotExtendHead{}});
    }

    if (!reached) return SubResult::event(events::QuorumPending{qm.slot, count, voting_stake, total});

    SubResult r = SubResult::event(events::QuorumReached{qm.slot, count, voting_stake, total});
    std::vector<std::pair<size_t, BlsSignature>> pairs;
    pairs.reserve(votes.size());
    for (const auto& [voter, sig] : votes) {
        if (auto index = view.find_pubkey_index(voter)) pairs.emplace_back(*index, sig);
    }
    QuorumCertificate qc(view.view_id, qm, pairs);
    if (!qc.verify(view)) {
        r.events.emplace_back(events::CertificateInvalid{qm.slot});
        return r;
    }
    r.messages.emplace_back(Broadcast{ConsensusMessage(qc)});
    r += move_chain_tip(qc);
    return r;
}

template <Timestamper T, VoteVerifier V>
SubResult VeskStatemachine<T, V>::receive_certificate(QuorumCertificate c) {
    uint64_t s = c.message.slot;
    uint64_t t = tip_slot();
    if (c.message.qc_id == tip_qc.message.qc_id) return SubResult::event(events::CertificateAlreadyKnown{s});
    const QuorumView* view = view_for_slot(s);
    if (view == nullptr) return SubResult::event(events::QuorumUnknown{s, "Certificate"});
    if (s < t || (s == t && c.message.leader_view < tip_qc.message.leader_view)) {
        return SubResult::event(events::CertificateSuperseded{s, c.message.vesk_id, t, tip_qc.message.vesk_id});
    }
    if (s == t && c.message.leader_view == tip_qc.message.leader_view) {
        if (!c.verify(*view)) return SubResult::event(events::CertificateInvalid{s});
        return SubResult::event(events::SameViewQcConflict{s, c.message.leader_view, c.message.vesk_id,
                                                           c.message.qc_id, tip_qc.message.qc_id});
    }
    if (!c.verify(*view)) return SubResult::event(events::CertificateInvalid{s});
    if (s == t) return move_chain_tip(c);
    if (s == t + 1) {
        if (c.message.parent_qc_id != tip_qc.message.qc_id) return SubResult::event(events::CertificateInvalid{s});
        return move_chain_tip(c);
    }
    if (s - t > statemachine_detail::MAX_CERTIFICATE_GAP) return SubResult::event(events::CertificateSlotGap{s, t});
    return move_chain_tip(c);
}

template <Timestamper T, VoteVerifier V>
SubResult VeskStatemachine<T, V>::move_chain_tip(const QuorumCertificate& c) {
    uint64_t s = c.message.slot;
    uint64_t old = tip_slot();
    if (old > s) {
        contract_fail(format("vesk statemachine: attempted to rollback rooted state, had highest qc slot {}, would "
                             "have rolled back to slot {}",
                             old, s));
    }
    SubResult r = SubResult::event(events::CertificateValid{c});
    BlsPubkey old_leader = vesk_id();

    if (s > 0 && old == s - 1) {
        previous_qc = std::move(tip_qc);
        tip_qc = c;
    } else {
        tip_qc = c;
        if (previous_qc && !(s > 0 && previous_qc->message.slot == s - 1)) previous_qc.reset();
    }
    // Unlike a state-sync jump, an ordinary move asks again for the tip to
    // be persisted and ends a pending state sync.
    tip_persisted = false;
    state_sync_pending = false;
    record_accepted_cert(c);
    uint64_t next = sat_add(s, uint64_t{1});
    if (leader_cell && !leader_cell->leader()) leader_cell->arm_at(c.message.vesk_id, next);
    settle_new_tip();

    if (next_view && next_view->start_slot == next) {
        contract_check(next_view->len() > 0, "new quorum is empty");
        BlsPubkey first = next_view->keys[0];
        set_vesk_id(first, 0, next, true);
        if (first != old_leader) r += announce_rotation(old_leader, first, next, "resetting to vesk idx 0 into new epoch");
    } else if (c.message.vesk_id != old_leader) {
        const QuorumView* w = view_for_slot(s);
        if (w != nullptr && next < w->end_slot) {
            if (auto index = w->find_pubkey_index(c.message.vesk_id)) {
                set_vesk_id(c.message.vesk_id, *index, next, false);
                r += announce_rotation(old_leader, c.message.vesk_id, next,
                                       "received QC produced by a different vesk id");
            }
        }
    }

    r += process_parked_messages(unpark::ChainStateReached{s});

    if (s > 0) {
        slide_windows_to(s);
        enter_next_view_once_reached();
    }
    return r;
}

template <Timestamper T, VoteVerifier V>
void VeskStatemachine<T, V>::settle_new_tip() {
    prune_state_below_tip();
    reconcile_shred_catchup_after_tip_advance();
    liveness.set_last_progress_at(tip_qc.message.timestamp);
    rotations = 0;
}

template <Timestamper T, VoteVerifier V>
void VeskStatemachine<T, V>::slide_windows_to(uint64_t slot) {
    contract_check(slot > 0, "windows slide past genesis only");
    parked.cleanup(slot - 1);
    vote_locks.erase(vote_locks.begin(), vote_locks.lower_bound(slot - 1));
}

template <Timestamper T, VoteVerifier V>
void VeskStatemachine<T, V>::enter_next_view_once_reached() {
    if (!next_view || next_view->start_slot > tip_slot()) return;
    current_view = std::move(*next_view);
    next_view.reset();
}

template <Timestamper T, VoteVerifier V>
void VeskStatemachine<T, V>::record_accepted_cert(const QuorumCertificate& c) {
    accepted_qcs[c.message.slot] = c;
    uint64_t floor = sat_sub(accepted_qcs.rbegin()->first, statemachine_detail::ACCEPTED_QC_SLOTS);
    accepted_qcs.erase(accepted_qcs.begin(), accepted_qcs.upper_bound(floor));
}

template <Timestamper T, VoteVerifier V>
void VeskStatemachine<T, V>::prune_state_below_tip() {
    uint64_t t = tip_slot();
    std::erase_if(proposals, [&](const auto& kv) { return kv.first.second <= t; });
    std::erase_if(seen_announcements, [&](const auto& kv) { return kv.first.slot <= t; });
    std::erase_if(checked_announcements, [&](const auto& k) { return k.slot <= t; });
    std::erase_if(verified_proposals, [&](const auto& m) { return m.proposal.slot <= t; });
    entry_container.prune_below(t);
    std::erase_if(proposal_first_seen, [&](const auto& kv) { return kv.first.slot <= t; });
    std::erase_if(pending_replays, [&](const auto& kv) { return kv.second.first < t; });
    if (equivocation_detector) equivocation_detector->prune_below(EquivocationDetector::prune_floor(t));
}

}  // namespace vesk
