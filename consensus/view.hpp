#pragma once
// The stake-weighted validator set in force for a range of slots. Member
// index order is the leader rotation order.
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "base/saturating.hpp"
#include "consensus/types.hpp"
#include "hash/hash.hpp"

namespace vesk {

class QuorumView {
public:
    static constexpr size_t MAX_MEMBERS = 64;

    Hash view_id;
    u128 total_stake = 0;
    uint64_t start_slot = 0;
    uint64_t end_slot = 0;
    std::vector<std::pair<BlsPubkey, uint8_t>> sorted_members;
    std::vector<uint64_t> stakes;
    std::vector<BlsPubkey> keys;
    std::vector<PubkeyProjective> points;

    // Never fails: undecodable keys, the identity key and duplicates are
    // excluded and members beyond the 64th are dropped.
    QuorumView(uint64_t start_slot, uint64_t end_slot,
               std::span<const std::pair<BlsPubkey, uint64_t>> members);

    size_t len() const { return keys.size(); }
    bool covers(uint64_t slot) const { return start_slot <= slot && slot < end_slot; }
    bool has_pubkey(const BlsPubkey& key) const { return find_pubkey_index(key).has_value(); }
    std::optional<uint8_t> find_pubkey_index(const BlsPubkey& key) const;
    std::optional<uint64_t> get_stake_by_pubkey(const BlsPubkey& key) const;
    // Whether `stake` is at least two thirds of the total, exactly so
    // included; never for a view without stake.
    bool reaches_two_thirds(u128 stake) const;
    // Sum of the keys of the members whose bit is set; the identity key when
    // no member is selected.
    BlsPubkey aggregate_keys(uint64_t bitmap) const;
};

}  // namespace vesk
