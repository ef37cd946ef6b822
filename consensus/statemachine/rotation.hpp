#pragma once
// Leader rotation: away from a faulty leader, on elapsed liveness timeouts,
// and the leader view a proposal for the next slot must carry.
#include "base/saturating.hpp"
#include "base/text.hpp"
#include "consensus/statemachine/statemachine.hpp"

namespace vesk {

template <Timestamper T, VoteVerifier V>
void VeskStatemachine<T, V>::set_vesk_id(const BlsPubkey& leader, size_t index, uint64_t slot, bool arm) {
    bool changed = index != vesk_idx || vesk_id() != leader;
    if (leader_cell) {
        if (arm) {
            leader_cell->arm_at(leader, slot);
        } else {
            leader_cell->rotate(leader, slot);
        }
    }
    vesk_idx = index;
    if (!changed) return;
    // Our own proposals under the old leadership can no longer be certified.
    for (auto& [key, state] : proposals) {
        if (key.first != identity.pubkey) continue;
        if (!state.proposal && state.votes.empty()) continue;
        state.proposal.reset();
        state.votes.clear();
        state.signed_leader_view.reset();
    }
}

template <Timestamper T, VoteVerifier V>
SubResult VeskStatemachine<T, V>::announce_rotation(const BlsPubkey& old_leader, const BlsPubkey& new_leader,
                                                    uint64_t from_slot, std::string reason) {
    SubResult r = SubResult::event(events::LeaderRotated{old_leader, new_leader, from_slot, std::move(reason)});
    r += process_parked_messages(unpark::LeaderRotated{new_leader, sat_add(tip_slot(), uint64_t{1})});
    return r;
}

template <Timestamper T, VoteVerifier V>
SubResult VeskStatemachine<T, V>::rotate_for_fault(const BlsPubkey& producer, EvictionReason reason) {
    if (producer != vesk_id()) return {};
    uint64_t next = sat_add(tip_slot(), uint64_t{1});
    const QuorumView* view = view_for_slot(next);
    if (view == nullptr) return {};
    size_t n = view->len();
    uint64_t laps_before = n == 0 ? 0 : rotations / n;
    liveness.shift_progress_at_on_rotations(rotations, n, 1);
    rotations = sat_add(rotations, uint64_t{1});
    BlsPubkey old_leader = vesk_id();
    contract_check(n > 0, "quorum view has no members to rotate through");
    size_t index = (vesk_idx + 1) % n;
    BlsPubkey new_leader = view->keys[index];
    set_vesk_id(new_leader, index, next, false);
    SubResult r = announce_rotation(old_leader, new_leader, next, format("fault: {}", reason));
    r += lap_completed_since(laps_before);
    return r;
}

template <Timestamper T, VoteVerifier V>
SubResult VeskStatemachine<T, V>::liveness_rotation() {
    if (tip_slot() == 0) return {};
    uint64_t next = sat_add(tip_slot(), uint64_t{1});
    const QuorumView* view = view_for_slot(next);
    if (view == nullptr) return {};
    size_t n = view->len();
    contract_check(n > 0, "quorum view has no members to rotate through");
    uint64_t laps_before = rotations / n;
    uint32_t k = liveness.maybe_timeout(rotations, n);
    if (k == 0) return {};
    rotations = sat_add(rotations, uint64_t{k});
    BlsPubkey old_leader = vesk_id();
    size_t index = static_cast<size_t>((u128{vesk_idx} + k) % n);
    BlsPubkey new_leader = view->keys[index];
    set_vesk_id(new_leader, index, next, false);
    SubResult r = announce_rotation(old_leader, new_leader, next, "liveness");
    r += lap_completed_since(laps_before);
    return r;
}

template <Timestamper T, VoteVerifier V>
SubResult VeskStatemachine<T, V>::lap_completed_since(uint64_t laps_before) {
    uint64_t next = sat_add(tip_slot(), uint64_t{1});
    const QuorumView* view = view_for_slot(next);
    if (view == nullptr || view->len() == 0) return {};
    uint64_t laps = rotations / view->len();
    if (laps <= laps_before) return {};
    return SubResult::event(events::LivenessLapCompleted{next, laps, view->len()});
}

template <Timestamper T, VoteVerifier V>
std::optional<uint64_t> VeskStatemachine<T, V>::eligible_leader_view(const BlsPubkey& producer) const {
    uint64_t next = sat_add(tip_slot(), uint64_t{1});
    const QuorumView* view = view_for_slot(next);
    if (view == nullptr) return std::nullopt;
    auto p = view->find_pubkey_index(producer);
    if (!p) return std::nullopt;
    uint64_t q = 0;
    if (next != view->start_slot) q = view->find_pubkey_index(tip_qc.message.vesk_id).value_or(0);
    uint64_t n = view->len();
    if (n == 0) return std::nullopt;
    uint64_t d = (*p + n - q) % n;
    uint64_t r = sat_sub(rotations, d);
    return sat_add(sat_add(tip_qc.message.leader_view, d), r - r % n);
}

}  // namespace vesk
