#pragma once
// Follower intake: the leader's entry announcements and block proposals,
// first-seen times, parking of early proposals, equivocation, rejection of a
// faulty proposal and the start of shred catch-up when the chain runs ahead.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/diag.hpp"
#include "base/saturating.hpp"
#include "consensus/statemachine/statemachine.hpp"

namespace vesk {

namespace statemachine_detail {

inline constexpr std::string_view INTAKE_TARGET = "vesk_consensus::statemachine::intake";

}  // namespace statemachine_detail

template <Timestamper T, VoteVerifier V>
SubResult VeskStatemachine<T, V>::follower_receive(ConsensusMessage msg) {
    // Parking needs the whole message.
    if (const auto* proposal = msg.template get_if<SignedBlockProposalMessage>()) {
        return receive_block_proposal(msg, *proposal);
    }
    return std::visit(
        [&](auto&& p) -> SubResult {
            using P = std::decay_t<decltype(p)>;
            if constexpr (std::is_same_v<P, Ping>) {
                return handle_ping(p);
            } else if constexpr (std::is_same_v<P, Pong>) {
                return {};
            } else if constexpr (std::is_same_v<P, SignedEntryAnnouncement>) {
                return receive_entry_announcement(p);
            } else if constexpr (std::is_same_v<P, SignedBlockProposalMessage>) {
                return {};  // taken above
            } else if constexpr (std::is_same_v<P, SignedQuorumMessage>) {
                return SubResult::event(events::IgnoredSignatureAsBase{});
            } else if constexpr (std::is_same_v<P, QuorumCertificate>) {
                return receive_certificate(std::move(p));
            } else {
                return receive_service(std::move(p));
            }
        },
        std::move(msg.payload));
}

template <Timestamper T, VoteVerifier V>
SubResult VeskStatemachine<T, V>::receive_entry_announcement(const SignedEntryAnnouncement& a) {
    using namespace statemachine_detail;
    if (a.slot <= tip_slot()) return {};
    if (a.entry_id >= MAX_ENTRIES_PER_SLOT) {
        return SubResult::event(events::EntryRejectedExceedsCap{a.slot, a.entry_id, MAX_ENTRIES_PER_SLOT});
    }
    if (a.producer != vesk_id() || !a.verify()) {
        return SubResult::event(events::EntryAuthInvalid{a.slot, a.entry_id, a.producer});
    }
    if (auto state = proposals.find(ProposalKey{a.producer, a.slot});
        state != proposals.end() && state->second.proposal && state->second.proposal->slot == a.slot &&
        state->second.proposal->entry_count <= a.entry_id) {
        return {};
    }
    // Without this bound the leader could fill our memory with announcements
    // for slots the tip never reaches; nothing is kept for them.
    if (a.slot - tip_slot() >= PROPOSAL_HORIZON) return {};

    ProducerSlotEntry key{a.producer, a.slot, a.entry_id};
    auto [seen, inserted] = seen_announcements.try_emplace(key, a.entry_hash);
    if (!inserted) {
        if (seen->second == a.entry_hash) return {};
        return SubResult::event(events::EntryEquivocation{a.slot, a.entry_id});
    }
    SubResult r = SubResult::event(events::EntryReceived{a.slot, a.entry_id, a.entry_hash});
    if (auto entries = entry_container.get(a.producer, a.slot)) {
        if (auto entry = entries->find(a.entry_id); entry != entries->end()) {
            Hash observed = entry->second.hash();
            if (observed != a.entry_hash) {
                r.events.emplace_back(
                    events::AnnouncementHashMismatch{a.producer, a.slot, a.entry_id, a.entry_hash, observed});
            }
            checked_announcements.insert(key);
        }
    }
    r += try_replay(a.slot, a.producer);
    return r;
}

template <Timestamper T, VoteVerifier V>
SubResult VeskStatemachine<T, V>::receive_block_proposal(const ConsensusMessage& msg,
                                                         const SignedBlockProposalMessage& m) {
    using namespace statemachine_detail;
    std::optional<int64_t> now = liveness.now().checked_unix_millis();
    if (!now) {
        diag::error(INTAKE_TARGET, [] {
            return std::string("failed to validate BlockProposal: couldnt determine milliseconds since unix epoch");
        });
        return {};
    }
    const BlockProposalMessage& p = m.proposal;
    const BlsPubkey& signer = m.pubkey;
    const uint64_t slot = p.slot;

    SubResult r = SubResult::event(events::ReceivedProposal{slot, signer});
    const QuorumView* view = view_for_slot(slot);
    if (view == nullptr) {
        r.events.emplace_back(events::QuorumUnknown{slot, "BlockProposal"});
        return r;
    }
    std::optional<uint8_t> signer_index = view->find_pubkey_index(signer);
    if (!signer_index) {
        r.events.emplace_back(events::SignerNotInQuorum{signer});
        return r;
    }
    if (!proposal_signature_holds(m)) {
        r.events.emplace_back(events::ProposalSignatureInvalid{slot});
        return r;
    }
    const uint64_t tip = tip_slot();
    if (slot <= tip) {
        r.events.emplace_back(events::IgnoredOldProposal{slot});
        return r;
    }
    // Distances from the tip cannot wrap where tip + k would.
    const uint64_t ahead = slot - tip;

    int64_t first_seen = *now;
    if (ahead < PROPOSAL_HORIZON) {
        auto [entry, fresh] = proposal_first_seen.try_emplace(ProducerSlot{signer, slot}, p.leader_view, *now);
        if (!fresh && p.leader_view > entry->second.first) {
            entry->second = {p.leader_view, *now};
            fresh = true;
        }
        if (fresh) r.events.emplace_back(events::NewProposalTimestamp{slot, signer, p.timestamp});
        first_seen = entry->second.second;
    }

    if (ahead > 1) {
        r.events.push_back(park_or_report(msg, slot, unpark::ChainStateReached{slot - 1}));
        if (ahead > CATCHUP_DISTANCE) {
            r += note_proposed_head(slot, signer);
            r.events.emplace_back(events::ProposalDiscontiguous{slot});
        }
        return r;
    }

    if (size_t{*signer_index} != vesk_idx) {
        r.events.push_back(park_or_report(msg, slot, unpark::LeaderRotated{signer, slot}));
        return r;
    }
    if (p.entry_count > MAX_ENTRIES_PER_SLOT) {
        r.events.emplace_back(events::ProposalEntryCountExceedsCap{slot, p.entry_count});
        return r;
    }
    if (p.parent_qc_id != tip_qc.message.qc_id) {
        r.events.emplace_back(events::ProposalDiscontiguous{slot});
        return r;
    }
    if (auto lock = vote_lock_forbids(slot, p.leader_view)) {
        if (*lock == std::pair{slot, p.leader_view}) {
            r.events.emplace_back(events::ProposalAlreadySigned{slot, signer});
        } else {
            r.events.emplace_back(
                events::VoteWithheld{slot, withheld::LockedByPriorVote{lock->first, lock->second}});
        }
        return r;
    }

    const int64_t delta = sat_sub(first_seen, p.timestamp);
    const int64_t allowance =
        slot < warmup_until_slot
            ? static_cast<int64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(liveness.timeout()).count())
            : TIMESTAMP_SKEW_MS;
    if (delta > allowance || delta < -allowance) {
        r += reject_candidate_for_fault(slot, signer, events::ProposalTimestampSkewed{slot, signer, delta},
                                        EvictionReason::TimestampSkewed);
        return r;
    }
    if (p.timestamp < tip_qc.message.timestamp) {
        r += reject_candidate_for_fault(slot, signer, events::ProposalTimestampNonMonotonic{slot, signer},
                                        EvictionReason::TimestampNonMonotonic);
        return r;
    }

    if (auto state = proposals.find(ProposalKey{signer, slot});
        state != proposals.end() && state->second.local_bank_hash) {
        auto [accepted, validation] = validate_block_proposal(m, *signer_index);
        r += std::move(validation);
        if (accepted) {
            proposals[ProposalKey{signer, slot}].proposal = p;
            r += try_replay(slot, signer);
        }
        return r;
    }
    r.events.emplace_back(events::ProposalUnknownBlock{slot, signer});
    r.events.push_back(park_or_report(msg, slot, unpark::BlockProcessed{signer, slot}));
    return r;
}

template <Timestamper T, VoteVerifier V>
bool VeskStatemachine<T, V>::proposal_signature_holds(const SignedBlockProposalMessage& m) {
    if (std::find(verified_proposals.begin(), verified_proposals.end(), m) != verified_proposals.end()) return true;
    if (!m.validate()) return false;
    // The cap may be lowered at any time, to 0 as well: the list never holds
    // more than it says.
    while (!verified_proposals.empty() && verified_proposals.size() >= verified_proposals_cap) {
        verified_proposals.pop_front();
    }
    if (verified_proposals_cap > 0) verified_proposals.push_back(m);
    return true;
}

template <Timestamper T, VoteVerifier V>
std::pair<bool, SubResult> VeskStatemachine<T, V>::validate_block_proposal(const SignedBlockProposalMessage& m,
                                                                           uint8_t signer_index) {
    const BlockProposalMessage& p = m.proposal;
    if (m.pubkey != p.vesk_id || p.vesk_id != vesk_id()) {
        return {false, SubResult::event(events::ProposalSignatureInvalid{p.slot})};
    }
    if (p.recovery) return {false, SubResult::event(events::RecoveryProposalRejected{p.slot})};
    if (equivocation_detector) {
        uint64_t block_id = proposal_block_id(p);
        if (equivocation_detector->report_header(ReportedHeader{p.slot, block_id, signer_index},
                                                 equivocation_tag(identity.pubkey))) {
            BlsPubkey producer = p.vesk_id;
            SubResult r = SubResult::event(events::EquivocationDetected{p.slot, block_id});
            r += rotate_for_fault(producer, EvictionReason::Equivocation);
            return {false, std::move(r)};
        }
    }
    return {true, SubResult{}};
}

template <Timestamper T, VoteVerifier V>
SubResult VeskStatemachine<T, V>::reject_candidate_for_fault(uint64_t slot, const BlsPubkey& producer,
                                                             ConsensusLogEvent event, EvictionReason reason) {
    entry_container.remove(producer, slot);
    if (auto state = proposals.find(ProposalKey{producer, slot}); state != proposals.end()) {
        state->second.proposal.reset();
    }
    SubResult r = SubResult::event(std::move(event));
    r += rotate_for_fault(producer, reason);
    return r;
}

template <Timestamper T, VoteVerifier V>
SubResult VeskStatemachine<T, V>::note_proposed_head(uint64_t slot, const BlsPubkey& producer) {
    uint64_t target = std::min(slot, sat_add(tip_slot(), statemachine_detail::CATCHUP_TARGET_SPAN));
    if (!shred_catchup) {
        shred_catchup = ShredCatchup{{}, std::nullopt, ShredCatchup::fresh_query_nonce(), ShredCatchup::Querying{},
                                     target, 0, std::nullopt};
    } else {
        shred_catchup->target_slot = std::max(shred_catchup->target_slot, target);
    }
    return SubResult::event(events::ProposalAheadOfTip{target, producer});
}

}  // namespace vesk
