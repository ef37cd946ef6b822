#include "consensus/leader_cell.hpp"

#include <mutex>

namespace vesk {

bool LeaderCell::is_production_authorized(const BlsPubkey& key, uint64_t slot) const {
    std::shared_lock guard(lock_);
    return state_.leader == key && slot >= state_.from_slot;
}

void LeaderCell::arm_at(const BlsPubkey& key, uint64_t slot) {
    std::unique_lock guard(lock_);
    state_.leader = key;
    state_.from_slot = slot;
}

std::optional<BlsPubkey> LeaderCell::leader() const {
    std::shared_lock guard(lock_);
    return state_.leader;
}

std::optional<BlsPubkey> LeaderCell::rotate(const BlsPubkey& key, uint64_t slot) {
    std::unique_lock guard(lock_);
    std::optional<BlsPubkey> before = state_.leader;
    if (before != key) {
        state_.leader = key;
        state_.from_slot = slot;
    }
    return before;
}

}  // namespace vesk
