#pragma once
// Who may produce blocks from which slot on, shared between the state machine
// and a block producer outside it. Every operation holds the lock for one
// field update only.
#include <cstdint>
#include <optional>
#include <shared_mutex>
#include <utility>

#include "consensus/types.hpp"

namespace vesk {

struct LeaderCellState {
    uint64_t from_slot = 0;  // the first slot the leader may produce
    std::optional<BlsPubkey> leader;

    bool operator==(const LeaderCellState&) const = default;
};

class LeaderCell {
public:
    LeaderCell() = default;
    explicit LeaderCell(LeaderCellState initial) : state_(std::move(initial)) {}
    LeaderCell(const LeaderCell&) = delete;
    LeaderCell& operator=(const LeaderCell&) = delete;

    bool is_production_authorized(const BlsPubkey& key, uint64_t slot) const;
    void arm_at(const BlsPubkey& key, uint64_t slot);
    std::optional<BlsPubkey> leader() const;
    // Hands leadership to `key` from `slot` on unless it already leads, in
    // which case its earlier start stays. Returns the leader before the call.
    std::optional<BlsPubkey> rotate(const BlsPubkey& key, uint64_t slot);

private:
    mutable std::shared_mutex lock_;
    LeaderCellState state_;
};

}  // namespace vesk
