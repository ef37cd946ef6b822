#pragma once
// Block replay, vote locks and voting.
#include "consensus/statemachine/statemachine.hpp"

namespace vesk {

template <Timestamper T, VoteVerifier V>
SubResult VeskStatemachine<T, V>::queue_processed_block(const BlsPubkey&, const BlockProposalMessage&, const Hash&,
                                                        const CrosschainCommitment&, const ProcessedParent&) {
    // PLACEHOLDER: replay and voting is not built yet.
    return {};
}


template <Timestamper T, VoteVerifier V>
SubResult VeskStatemachine<T, V>::try_replay(uint64_t, const BlsPubkey&) {
    // PLACEHOLDER: replay is not built yet.
    return {};
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

}  // namespace vesk
