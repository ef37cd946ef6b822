#include "adversarial/invariants.hpp"

#include <map>
#include <set>

#include "base/text.hpp"
#include "consensus/certificate.hpp"

namespace vesk::invariants {

Hash block_id(const Block& block, const Hash& bank_hash) {
    const Hash entries_hash = Block::compute_entries_hash(Hash{}, block.entry_hashes);
    return QuorumMessage::compute_qc_id(block.slot, block.parent_qc_id, 0, entries_hash, block.vesk_id, 0, bank_hash,
                                        false, CrosschainCommitment{Hash{}, 0});
}

Chain chain_from_history(std::span<const uint64_t> history) {
    Chain chain;
    chain.reserve(history.size());
    for (uint64_t slot : history) {
        Block b;
        b.slot = slot;
        if (!chain.empty()) b.parent_qc_id = block_id(chain.back().first, chain.back().second);
        chain.emplace_back(std::move(b), Hash{});
    }
    return chain;
}

InvariantResult check_safety(std::span<const ChainEntry> chain) {
    std::map<uint64_t, Hash> ids;
    for (const auto& [block, bank_hash] : chain) {
        const Hash id = block_id(block, bank_hash);
        auto [it, inserted] = ids.emplace(block.slot, id);
        if (!inserted && it->second != id) {
            return {"Safety", false, format("Fork at height {}: block ids {} vs {}", block.slot, it->second, id)};
        }
    }
    return {"Safety", true, "No forks detected"};
}

InvariantResult check_liveness(const SimLog& log) {
    size_t finalized = 0;
    for (const SimEvent& e : log.events) finalized += e.is<SimEvent::LeaderFinalized>() ? 1 : 0;
    if (finalized > 0) {
        return {"Liveness", true, format("{} blocks finalized out of {} events", finalized, log.events.size())};
    }
    return {"Liveness", false, "No blocks were finalized"};
}

InvariantResult check_consistency(std::span<const ChainEntry> chain) {
    for (size_t i = 1; i < chain.size(); ++i) {
        const Block& prev = chain[i - 1].first;
        const Block& cur = chain[i].first;
        const Hash q = block_id(prev, chain[i - 1].second);
        if (cur.parent_qc_id != q) {
            return {"Consistency", false,
                    format("Block {} parent_qc_id {} != block {} qc_id {}", cur.slot, cur.parent_qc_id, prev.slot, q)};
        }
    }
    return {"Consistency", true, "Chain is consistent"};
}

InvariantResult check_no_forks(std::span<const Block> blocks) {
    std::set<uint64_t> seen;
    for (const Block& b : blocks) {
        if (!seen.insert(b.slot).second) return {"NoForks", false, format("Duplicate block at height {}", b.slot)};
    }
    return {"NoForks", true, "No duplicate heights"};
}

InvariantResult check_monotonic_heights(std::span<const Block> blocks) {
    for (size_t i = 1; i < blocks.size(); ++i) {
        if (blocks[i].slot <= blocks[i - 1].slot) {
            return {"MonotonicHeights", false, format("Height {} <= {}", blocks[i].slot, blocks[i - 1].slot)};
        }
    }
    return {"MonotonicHeights", true, "Heights are monotonic"};
}

std::vector<InvariantResult> check_all(std::span<const ChainEntry> chain, const SimLog& log) {
    std::vector<Block> blocks;
    blocks.reserve(chain.size());
    for (const auto& entry : chain) blocks.push_back(entry.first);
    return {check_safety(chain), check_liveness(log), check_consistency(chain), check_no_forks(blocks),
            check_monotonic_heights(blocks)};
}

}  // namespace vesk::invariants
