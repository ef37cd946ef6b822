#pragma once
// Block replay, vote locks and voting: a node votes only for a block it
// processed itself, that the proposal describes exactly and that extends its
// tip, and never against its own earlier votes.
#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "base/contract.hpp"
#include "base/diag.hpp"
#include "base/saturating.hpp"
#include "base/text.hpp"
#include "consensus/bls.hpp"
#include "consensus/statemachine/statemachine.hpp"

namespace vesk {

namespace statemachine_detail {

inline constexpr std::string_view REPLAY_TARGET = "vesk_consensus::statemachine::replay";

}  // namespace statemachine_detail

template <Timestamper T, VoteVerifier V>
SubResult VeskStatemachine<T, V>::queue_processed_block(const BlsPubkey& producer, const BlockProposalMessage& header,
                                                        const Hash& bank_hash, const CrosschainCommitment& crosschain,
                                                        const ProcessedParent& parent) {
    const uint64_t slot = header.slot;
    if (auto found = proposals.find(ProposalKey{producer, slot}); found != proposals.end()) {
        const ProposalState& st = found->second;
        bool conflict = (st.processed_parent && *st.processed_parent != parent) ||
                        (st.local_bank_hash && *st.local_bank_hash != bank_hash) ||
                        (st.replayed_entries_hash && *st.replayed_entries_hash != header.entries_hash) ||
                        (st.crosschain && *st.crosschain != crosschain);
        if (conflict) return SubResult::event(events::ProcessedBankConflict{slot, producer});
    }
    ProposalState& st = proposals[ProposalKey{producer, slot}];
    st.processed_parent = parent;
    st.local_bank_hash = bank_hash;
    st.replayed_entries_hash = header.entries_hash;
    st.crosschain = crosschain;

    SubResult r = try_replay(slot, producer);
    r += process_parked_messages(unpark::BlockProcessed{producer, slot});
    filter_outgoing_votes(r);
    return r;
}

template <Timestamper T, VoteVerifier V>
SubResult VeskStatemachine<T, V>::try_replay(uint64_t slot, const BlsPubkey& producer) {
    using namespace statemachine_detail;
    if (producer == identity.pubkey) return {};
    auto found = proposals.find(ProposalKey{producer, slot});
    if (found == proposals.end()) return {};
    const ProposalState& st = found->second;
    if (!st.proposal || !st.local_bank_hash || !st.processed_parent) return {};
    if (st.signed_leader_view && *st.signed_leader_view >= st.proposal->leader_view) return {};
    if (st.proposal->slot != slot || st.proposal->entry_count > MAX_ENTRIES_PER_SLOT) return {};

    // Copies: rejection, rotation and voting below all touch `proposals`.
    const BlockProposalMessage proposal = *st.proposal;
    const Hash local_bank_hash = *st.local_bank_hash;
    const ProcessedParent parent = *st.processed_parent;
    const std::optional<Hash> replayed_entries_hash = st.replayed_entries_hash;
    const CrosschainCommitment crosschain = st.crosschain.value_or(CrosschainCommitment{});

    const uint64_t n = proposal.entry_count;
    std::vector<Hash> entry_hashes;
    if (n > 0) {
        std::optional<SlotEntriesMap> entries = entry_container.get(producer, slot);
        if (!entries) return SubResult::event(events::WaitingForEntries{slot, 0, n});
        entry_hashes.reserve(n);
        for (uint64_t i = 0; i < n; ++i) {
            auto entry = entries->find(i);
            if (entry == entries->end()) return SubResult::event(events::WaitingForEntries{slot, i, n});
            entry_hashes.push_back(entry->second.hash());
        }
    }
    Hash computed = Block::compute_entries_hash(parent.bank_hash, entry_hashes);
    if (computed != proposal.entries_hash) {
        return reject_candidate_for_fault(
            slot, producer, events::EntriesHashMismatch{slot, computed, proposal.entries_hash, std::move(entry_hashes)},
            EvictionReason::BlockIdMismatch);
    }

    SubResult r = SubResult::event(events::BlockReplayed{slot});
    const QuorumView* view = view_for_slot(slot);
    if (view == nullptr) return r;
    const Hash view_id = view->view_id;

    // The leader's proof hash commits to the bank hash it computed; ours must
    // be the same bank, or the leader signed blind.
    if (hashv({local_bank_hash.span()}) != proposal.proof_hash) {
        diag::warn(REPLAY_TARGET, [&] {
            return format("proof hash of slot {} from {} does not match the local bank hash", slot, producer);
        });
        return reject_candidate_for_fault(
            slot, producer, events::BlindSigningGap{slot, producer, local_bank_hash, proposal.proof_hash},
            EvictionReason::ConsensusViolation);
    }
    if (!replayed_entries_hash || *replayed_entries_hash != proposal.entries_hash) {
        diag::warn(REPLAY_TARGET, [&] {
            return format("replayed entries hash of slot {} from {} differs from the proposal", slot, producer);
        });
        return reject_candidate_for_fault(slot, producer,
                                          events::EntriesHashMismatch{slot, replayed_entries_hash.value_or(Hash{}),
                                                                      proposal.entries_hash, {}},
                                          EvictionReason::BlockIdMismatch);
    }
    if (proposal.parent_qc_id != tip_qc.message.qc_id || !replayed_parent_matches_tip(slot, producer)) {
        return SubResult::event(events::VoteWithheld{slot, withheld::DoesNotExtendHead{}});
    }
    entry_container.finish_slot(proposal);

    if (is_observer_for_slot(slot)) return SubResult::event(events::VoteWithheld{slot, withheld::NotInQuorum{}});
    if (!can_vote()) {
        if (!tip_persisted) park_replay_pending_parent_qc_persisted(proposal.parent_qc_id, slot, producer);
        return SubResult::event(events::VoteWithheld{slot, withheld::VotingDisabled{}});
    }
    if (eligible_leader_view(producer) != proposal.leader_view) {
        return SubResult::event(events::VoteWithheld{slot, withheld::LeaderViewIneligible{}});
    }
    if (auto lock = vote_lock_forbids(slot, proposal.leader_view)) {
        return SubResult::event(events::VoteWithheld{slot, withheld::LockedByPriorVote{lock->first, lock->second}});
    }

    QuorumMessage message = proposal.to_quorum_message(local_bank_hash, crosschain);
    record_vote_lock(message.slot, message.qc_id, message.leader_view, tip_qc.message.qc_id);
    r.events.emplace_back(events::VoteLockPending{slot, message.qc_id, message.leader_view, tip_qc});
    r += prepare_vote(PreparedVote{view_id, proposal, std::move(message), false});
    return r;
}

template <Timestamper T, VoteVerifier V>
bool VeskStatemachine<T, V>::replayed_parent_matches_tip(uint64_t slot, const BlsPubkey& producer) const {
    auto found = proposals.find(ProposalKey{producer, slot});
    if (found == proposals.end() || !found->second.processed_parent) return false;
    return builds_on_head(slot, *found->second.processed_parent,
                          ProcessedParent{tip_qc.message.bank_hash, tip_qc.message.vesk_id, tip_slot()});
}

template <Timestamper T, VoteVerifier V>
std::optional<std::pair<uint64_t, uint64_t>> VeskStatemachine<T, V>::vote_lock_forbids(uint64_t slot,
                                                                                      uint64_t leader_view) const {
    if (!vote_locks.empty() && vote_locks.rbegin()->first > slot) return std::pair{vote_locks.rbegin()->first, uint64_t{0}};
    if (auto at = vote_locks.find(slot); at != vote_locks.end()) {
        uint64_t locked_view = at->second.leader_view;
        if (locked_view >= leader_view) return std::pair{slot, locked_view};
        // A lower-view lock yields only when the tip has moved past what it
        // extended.
        bool extends_tip = at->second.parent_qc_id && *at->second.parent_qc_id == tip_qc.message.qc_id;
        if (!extends_tip && tip_qc.message.leader_view <= locked_view) return std::pair{slot, locked_view};
    }
    const std::pair<const uint64_t, VoteLock>* best = nullptr;
    for (auto it = vote_locks.begin(); it != vote_locks.end() && it->first < slot; ++it) {
        if (best == nullptr || it->second.leader_view >= best->second.leader_view) best = &*it;
    }
    if (best != nullptr && best->second.leader_view > leader_view) return std::pair{best->first, best->second.leader_view};
    return std::nullopt;
}

template <Timestamper T, VoteVerifier V>
void VeskStatemachine<T, V>::record_vote_lock(uint64_t slot, const Hash& qc_id, uint64_t leader_view,
                                              const Hash& parent_qc_id) {
    auto at = vote_locks.find(slot);
    if (at != vote_locks.end() && at->second.leader_view >= leader_view) return;
    vote_locks[slot] = VoteLock{qc_id, leader_view, parent_qc_id};
}

template <Timestamper T, VoteVerifier V>
SubResult VeskStatemachine<T, V>::prepare_vote(PreparedVote vote) {
    if (vote_persistence) {
        contract_check(!vote_in_flight, "only one vote lock may be in flight");
        vote_in_flight = std::move(vote);
        return {};
    }
    const QuorumMessage& message = vote.message;
    BlsSignature signature = bls::sign(identity.secret, message.signing_bytes());
    ProposalState& st = proposals[ProposalKey{message.vesk_id, message.slot}];
    st.signed_leader_view = message.leader_view;

    SubResult r = SubResult::event(events::SignedProposal{message.slot});
    if (!vote.own_vote) {
        r.messages.emplace_back(
            Unicast{vesk_id(), ConsensusMessage(SignedQuorumMessage{signature, identity.pubkey, message})});
        return r;
    }
    const QuorumView* view = view_for_slot(message.slot);
    contract_check(view != nullptr, "prepared quorum");
    st.votes.emplace_back(identity.pubkey, signature);
    // Copies: certification may move the tip, replacing views and records.
    QuorumView view_copy = *view;
    r += certify_proposal(view_copy, message, st.votes);
    return r;
}

template <Timestamper T, VoteVerifier V>
SubResult VeskStatemachine<T, V>::self_vote_pending_proposal(const BlockProposalMessage& header, const Hash& bank_hash,
                                                             const CrosschainCommitment& crosschain) {
    const uint64_t slot = header.slot;
    if (header.parent_qc_id != tip_qc.message.qc_id || !is_next_slot(slot, tip_slot())) return {};
    if (!replayed_parent_matches_tip(slot, identity.pubkey)) {
        return SubResult::event(events::VoteWithheld{slot, withheld::DoesNotExtendHead{}});
    }
    const QuorumView* view = view_for_slot(slot);
    if (view == nullptr) return {};
    const Hash view_id = view->view_id;
    if (!can_vote()) return {};
    if (auto lock = vote_lock_forbids(slot, header.leader_view)) {
        return SubResult::event(events::VoteWithheld{slot, withheld::LockedByPriorVote{lock->first, lock->second}});
    }
    QuorumMessage message = header.to_quorum_message(bank_hash, crosschain);
    record_vote_lock(message.slot, message.qc_id, message.leader_view, tip_qc.message.qc_id);
    SubResult r = SubResult::event(events::VoteLockPending{slot, message.qc_id, message.leader_view, tip_qc});
    r += prepare_vote(PreparedVote{view_id, header, std::move(message), true});
    return r;
}

template <Timestamper T, VoteVerifier V>
void VeskStatemachine<T, V>::park_replay_pending_parent_qc_persisted(const Hash& parent_qc_id, uint64_t slot,
                                                                     const BlsPubkey& producer) {
    auto entry = pending_replays.try_emplace(parent_qc_id, sat_sub(slot, uint64_t{1}),
                                             std::vector<std::pair<uint64_t, BlsPubkey>>{});
    // Once per block: a peer resending the same proposal replays it again
    // each time, and the list would grow with every copy.
    std::vector<std::pair<uint64_t, BlsPubkey>>& waiting = entry.first->second.second;
    if (std::find(waiting.begin(), waiting.end(), std::pair{slot, producer}) == waiting.end()) {
        waiting.emplace_back(slot, producer);
    }
}

}  // namespace vesk
