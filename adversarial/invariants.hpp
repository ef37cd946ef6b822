#pragma once
// Safety and liveness checks on the finalized history of a scenario run.
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "adversarial/logger.hpp"
#include "consensus/entry_container.hpp"
#include "hash/hash.hpp"

namespace vesk {

struct InvariantResult {
    std::string name;
    bool passed = false;
    std::string message;  // a fixed text when it holds, else the first violation

    bool operator==(const InvariantResult&) const = default;
};

// A chain entry: a block and its bank hash.
using ChainEntry = std::pair<Block, Hash>;
using Chain = std::vector<ChainEntry>;

namespace invariants {

// The id of a chain entry, computed as a certificate id of the block.
Hash block_id(const Block& block, const Hash& bank_hash);

// The chain of a run's finalized slots (strictly increasing): one empty
// block per slot, each linked to the one before.
Chain chain_from_history(std::span<const uint64_t> history);

InvariantResult check_safety(std::span<const ChainEntry> chain);
InvariantResult check_liveness(const SimLog& log);
InvariantResult check_consistency(std::span<const ChainEntry> chain);
InvariantResult check_no_forks(std::span<const Block> blocks);
InvariantResult check_monotonic_heights(std::span<const Block> blocks);

// Safety, Liveness, Consistency, NoForks, MonotonicHeights.
std::vector<InvariantResult> check_all(std::span<const ChainEntry> chain, const SimLog& log);

}  // namespace invariants
}  // namespace vesk
