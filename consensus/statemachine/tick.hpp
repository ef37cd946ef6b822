#pragma once
// The timer step: batch-verified votes, liveness, catch-up deferral,
// announcement checks, progress, and the leader's readiness ping or proposal.
#include <algorithm>
#include <limits>

#include "base/diag.hpp"
#include "base/random.hpp"
#include "base/saturating.hpp"
#include "base/text.hpp"
#include "consensus/statemachine/statemachine.hpp"

namespace vesk {

template <Timestamper T, VoteVerifier V>
SubResult VeskStatemachine<T, V>::tick() {
    namespace d = statemachine_detail;
    SubResult r;

    // Verify the queued votes in one batch; hand a bounded number on.
    vote_verifier.verify_queued();
    for (size_t i = 0; i < d::VOTES_PER_TICK; ++i) {
        std::optional<VerifiedVote> outcome = vote_verifier.pop_ready();
        if (!outcome) break;
        if (const auto* bad = outcome->invalid()) {
            r.events.emplace_back(events::VoteSignatureInvalid{bad->pubkey});
            continue;
        }
        const auto& ok = *outcome->valid();
        uint64_t s = ok.vote.message.slot;
        const QuorumView* view = view_for_slot(s);
        if (view == nullptr) {
            r.events.emplace_back(events::QuorumUnknown{s, "BlockSignature"});
        } else if (view->view_id != ok.view_id) {
            r.events.emplace_back(events::QuorumMismatch{s, view->view_id, ok.view_id});
        } else {
            r += receive_inner(ConsensusMessage(ok.vote), true);
        }
    }

    // Rotate away a silent leader.
    r += liveness_rotation();

    // A paused catch-up resumes with a fresh query.
    if (shred_catchup && shred_catchup->deferred_at &&
        liveness.now().elapsed_since_at_least(*shred_catchup->deferred_at, d::CATCHUP_DEFERRAL)) {
        shred_catchup->deferred_at.reset();
        shred_catchup->query_nonce = ShredCatchup::fresh_query_nonce();
        r.events.emplace_back(events::ShredsCatchupDeferralExpired{shred_catchup->target_slot});
    }

    // Check the leader's announcements against entries that have arrived since.
    {
        BlsPubkey leader = vesk_id();
        for (const auto& [key, announced] : seen_announcements) {
            if (key.producer != leader || checked_announcements.contains(key)) continue;
            auto entries = entry_container.get(leader, key.slot);
            if (!entries) continue;
            auto entry = entries->find(key.entry_index);
            if (entry == entries->end()) continue;
            Hash observed = entry->second.hash();
            if (observed != announced) {
                r.events.emplace_back(
                    events::AnnouncementHashMismatch{leader, key.slot, key.entry_index, announced, observed});
            }
            checked_announcements.insert(key);
        }
    }

    // Progress, then the leader's readiness round or proposal.
    uint64_t tip_next = sat_add(tip_slot(), uint64_t{1});
    if (!am_vesk_for_slot(tip_next)) {
        r.events.emplace_back(events::BaseProgressCheck{vesk_id()});
    } else if (!produce_ready) {
        std::optional<int64_t> now_ms = liveness.now().checked_unix_millis();
        if (now_ms && next_ping_at_ms <= static_cast<uint64_t>(*now_ms)) {
            uint64_t nonce = thread_rng().next_u64();
            ping_nonce = nonce;
            next_ping_at_ms = sat_add(static_cast<uint64_t>(*now_ms), uint64_t{d::PING_INTERVAL_MS});
            ponged.clear();
            r.messages.emplace_back(Broadcast{ConsensusMessage(Ping(identity.pubkey, nonce, identity.secret))});
            r.events.emplace_back(events::VerifyingProduceReadiness{});
        }
    } else {
        r.events.emplace_back(events::VeskProgressCheck{});
        r += propose();
    }

    // Never send a vote for a slot this node only observes.
    filter_outgoing_votes(r);
    return r;
}

template <Timestamper T, VoteVerifier V>
SubResult VeskStatemachine<T, V>::propose() {
    namespace d = statemachine_detail;
    SubResult r;
    uint64_t tip_next = sat_add(tip_slot(), uint64_t{1});

    // Our own vote on our proposal for the next slot, if still owed.
    if (auto own = proposals.find(ProposalKey{identity.pubkey, tip_next}); own != proposals.end()) {
        ProposalState& st = own->second;
        if (st.proposal && st.local_bank_hash && !st.signed_leader_view) {
            BlockProposalMessage header = *st.proposal;
            Hash bank = *st.local_bank_hash;
            CrosschainCommitment cc = st.crosschain.value_or(CrosschainCommitment{});
            r += self_vote_pending_proposal(header, bank, cc);
        }
    }

    // The head: our latest processed proposal, else the tip.
    Hash head_qc_id = tip_qc.message.qc_id;
    uint64_t head_slot = tip_qc.message.slot;
    int64_t head_timestamp = tip_qc.message.timestamp;
    BlsPubkey head_producer = tip_qc.message.vesk_id;
    Hash head_bank = tip_qc.message.bank_hash;
    for (auto it = proposals.rbegin(); it != proposals.rend(); ++it) {
        if (it->first.first != identity.pubkey) continue;
        const ProposalState& p = it->second;
        if (!p.proposal || !p.local_bank_hash) continue;
        const BlockProposalMessage& h = *p.proposal;
        CrosschainCommitment cc = p.crosschain.value_or(CrosschainCommitment{});
        head_qc_id = QuorumMessage::compute_qc_id(h.slot, h.parent_qc_id, h.leader_view, h.entries_hash, h.vesk_id,
                                                  h.timestamp, *p.local_bank_hash, h.recovery, cc);
        head_slot = h.slot;
        head_timestamp = h.timestamp;
        head_producer = h.vesk_id;
        head_bank = *p.local_bank_hash;
        break;
    }

    // The slot after the head: not too far ahead, in a known view, with a block prepared.
    uint64_t next = sat_add(head_slot, uint64_t{1});
    if (sat_sub(next, tip_slot()) > d::MAX_SLOTS_AHEAD) return r;
    if (view_for_slot(next) == nullptr) {
        r.events.emplace_back(events::QuorumUnknown{next, "none"});
        return r;
    }
    auto record = proposals.find(ProposalKey{identity.pubkey, next});
    if (record == proposals.end() || !record->second.local_bank_hash) return r;

    // The prepared block must build on the head.
    {
        const auto& parent = record->second.processed_parent;
        if (!parent || !builds_on_head(next, *parent, ProcessedParent{head_bank, head_producer, head_slot})) {
            r.events.emplace_back(events::VoteWithheld{next, withheld::DoesNotExtendHead{}});
            return r;
        }
    }
    CrosschainCommitment crosschain = record->second.crosschain.value_or(CrosschainCommitment{});

    // Cut pending transactions into entries and announce every entry.
    flush_pending_txs_to_entries(next);
    std::vector<Hash> entry_hashes;
    std::vector<SignedEntryAnnouncement> announcements;
    if (auto entries = entry_container.get(identity.pubkey, next)) {
        for (const auto& [index, entry] : *entries) {
            Hash h = entry.hash();
            entry_hashes.push_back(h);
            announcements.emplace_back(EntryAnnouncement{h, entry.producer, entry.slot, entry.index}, identity.secret);
        }
    }

    // Our entries must be the ones the prepared block was processed with.
    ProposalState& prepared = proposals.at(ProposalKey{identity.pubkey, next});
    if (!prepared.replayed_entries_hash || !prepared.processed_parent) return r;
    Hash entries_hash = Block::compute_entries_hash(prepared.processed_parent->bank_hash, entry_hashes);
    if (entries_hash != *prepared.replayed_entries_hash) {
        diag::debug("vesk_consensus::statemachine", [&] {
            return format("deferring vesk proposal for slot {}: pending entries hash does not match frozen bank", next);
        });
        return r;
    }

    // An eligible leader view, and a timestamp not behind the head's.
    std::optional<uint64_t> leader_view = eligible_leader_view(identity.pubkey);
    if (!leader_view) return r;
    std::optional<int64_t> now_ms = liveness.now().checked_unix_millis();
    if (!now_ms) {
        diag::error("vesk_consensus::statemachine",
                    [] { return std::string("failed to create new block proposal, couldnt define proposal_timestamp"); });
        return r;
    }
    if (head_timestamp > *now_ms) {
        r.events.emplace_back(
            events::VeskDeferringNonMonotonicProposal{next, sat_sub(*now_ms, head_timestamp)});
        return r;
    }

    // The signed proposal, announced entries first.
    BlockProposalMessage header;
    header.slot = next;
    header.parent_qc_id = head_qc_id;
    header.leader_view = *leader_view;
    header.entries_hash = entries_hash;
    header.entry_count = announcements.size();
    header.proof_hash = hashv({prepared.local_bank_hash->span()});
    header.vesk_id = identity.pubkey;
    header.timestamp = *now_ms;
    header.recovery = false;
    BlsSignature signature = header.sign(identity.secret);

    r.events.emplace_back(events::NewProposalTimestamp{next, identity.pubkey, *now_ms});
    for (auto& a : announcements) r.messages.emplace_back(Broadcast{ConsensusMessage(std::move(a))});
    r.messages.emplace_back(Broadcast{ConsensusMessage(SignedBlockProposalMessage{signature, identity.pubkey, header})});
    entry_container.finish_slot(header);
    r.events.emplace_back(events::VeskProposing{next});
    prepared.proposal = header;
    Hash bank = *prepared.local_bank_hash;

    // Vote on it at once when it is for the slot after the tip.
    if (head_slot == tip_slot()) r += self_vote_pending_proposal(header, bank, crosschain);
    return r;
}

template <Timestamper T, VoteVerifier V>
void VeskStatemachine<T, V>::flush_pending_txs_to_entries(uint64_t slot) {
    if (pending_txs.empty()) return;
    auto stored = entry_container.get(identity.pubkey, slot);
    size_t taken = 0;
    for (EntryMessage& e : entries_to_cut(slot, stored ? stored->size() : 0)) {
        const size_t n = e.transactions.size();
        // The slot refused the chunk (its header allows fewer entries):
        // keep this chunk and every later one pending, in order.
        if (entry_container.add(std::move(e)) != AddOutcome::Added) break;
        taken += n;
    }
    pending_txs.erase(pending_txs.begin(), pending_txs.begin() + static_cast<ptrdiff_t>(taken));
}

template <Timestamper T, VoteVerifier V>
std::vector<EntryMessage> VeskStatemachine<T, V>::entries_to_cut(uint64_t slot, uint64_t existing) const {
    namespace d = statemachine_detail;
    std::vector<EntryMessage> out;
    if (pending_txs.empty() || existing >= d::MAX_ENTRIES_PER_SLOT) return out;
    const size_t per_entry = txs_per_entry == 0 ? 1 : txs_per_entry;
    const uint64_t capacity = sat_mul(uint64_t{per_entry}, d::MAX_ENTRIES_PER_SLOT - existing);
    const size_t used = static_cast<size_t>(std::min<uint64_t>(pending_txs.size(), capacity));
    for (size_t start = 0, j = 0; start < used; start += per_entry, ++j) {
        EntryMessage e;
        e.slot = slot;
        e.index = existing + j;
        e.producer = identity.pubkey;
        e.flag = false;
        const size_t end = std::min(used, start + per_entry);
        for (size_t i = start; i < end; ++i) e.transactions.push_back(pending_txs[i].bytes);
        out.push_back(std::move(e));
    }
    return out;
}

template <Timestamper T, VoteVerifier V>
void VeskStatemachine<T, V>::prepare_next_block() {
    namespace d = statemachine_detail;
    const uint64_t next = sat_add(tip_slot(), uint64_t{1});
    if (!am_vesk_for_slot(next)) return;
    const QuorumMessage& tip = tip_qc.message;
    ProposalState& record = proposals[ProposalKey{identity.pubkey, next}];
    if (!record.local_bank_hash) record.local_bank_hash = Hash{};
    if (!record.replayed_entries_hash) {
        std::vector<Hash> hashes;
        uint64_t existing = 0;
        if (std::optional<SlotEntriesMap> stored = entry_container.get(identity.pubkey, next)) {
            existing = stored->size();
            for (const auto& [index, entry] : *stored) {
                // Entries past what a block holds are left out: an overfull
                // slot never matches what the tick announces, so it is never
                // proposed.
                if (hashes.size() == d::MAX_ENTRIES_PER_SLOT) break;
                hashes.push_back(entry.hash());
            }
        }
        for (const EntryMessage& e : entries_to_cut(next, existing)) hashes.push_back(e.hash());
        record.replayed_entries_hash = Block::compute_entries_hash(tip.bank_hash, hashes);
    }
    if (!record.processed_parent) record.processed_parent = ProcessedParent{tip.bank_hash, tip.vesk_id, tip.slot};
}

}  // namespace vesk
