// The five invariants on hand-made chains and logs.
#include <gtest/gtest.h>

#include "adversarial/invariants.hpp"
#include "base/text.hpp"

namespace vesk {
namespace {

using invariants::block_id;

Block block_at(uint64_t slot, Hash parent = {}) {
    Block b;
    b.slot = slot;
    b.parent_qc_id = parent;
    return b;
}

SimLog log_of(std::vector<SimEvent::Kind> kinds) {
    SimLog log;
    for (auto& k : kinds) log.push(0, std::move(k));
    return log;
}

TEST(Invariants, EmptyChainAndStartedOnlyLog) {
    const auto results = invariants::check_all({}, log_of({SimEvent::Started{}}));
    const std::vector<InvariantResult> expected{
        {"Safety", true, "No forks detected"},
        {"Liveness", false, "No blocks were finalized"},
        {"Consistency", true, "Chain is consistent"},
        {"NoForks", true, "No duplicate heights"},
        {"MonotonicHeights", true, "Heights are monotonic"},
    };
    EXPECT_EQ(results, expected);
}

TEST(Invariants, LivenessCountsFinalizationsAmongAllEvents) {
    const SimLog log = log_of({SimEvent::Started{}, SimEvent::LeaderFinalized{1, 0}, SimEvent::MessageDropped{0, 3},
                               SimEvent::LeaderFinalized{2, 0}});
    EXPECT_EQ(invariants::check_liveness(log),
              (InvariantResult{"Liveness", true, "2 blocks finalized out of 4 events"}));
}

TEST(Invariants, HarnessChainPassesWhateverTheSlots) {
    for (const std::vector<uint64_t>& history :
         {std::vector<uint64_t>{}, {7}, {1, 2, 3}, {3, 9, 10, 400, 1ull << 40}}) {
        const Chain chain = invariants::chain_from_history(history);
        ASSERT_EQ(chain.size(), history.size());
        for (size_t i = 0; i < chain.size(); ++i) {
            EXPECT_EQ(chain[i].first.slot, history[i]);
            EXPECT_TRUE(chain[i].first.entry_hashes.empty());
            EXPECT_EQ(chain[i].first.vesk_id, BlsPubkey{});
            EXPECT_EQ(chain[i].second, Hash{});
            EXPECT_EQ(chain[i].first.parent_qc_id, i == 0 ? Hash{} : block_id(chain[i - 1].first, Hash{}));
        }
        const auto results = invariants::check_all(chain, log_of({SimEvent::Started{}}));
        for (size_t i : {0, 2, 3, 4}) EXPECT_TRUE(results[i].passed) << results[i].name << ": " << results[i].message;
    }
}

TEST(Invariants, BlockIdCoversEveryField) {
    const Block base = block_at(5, hashv({as_bytes("parent")}));
    const Hash id = block_id(base, Hash{});
    Block other = base;
    other.slot = 6;
    EXPECT_NE(block_id(other, Hash{}), id);
    other = base;
    other.entry_hashes.push_back(hashv({as_bytes("entry")}));
    EXPECT_NE(block_id(other, Hash{}), id);
    other = base;
    other.vesk_id.bytes[0] = 1;
    EXPECT_NE(block_id(other, Hash{}), id);
    EXPECT_NE(block_id(base, hashv({as_bytes("bank")})), id);
    // The certificate id of the block's statement.
    EXPECT_EQ(id, QuorumMessage::compute_qc_id(5, base.parent_qc_id, 0, Block::compute_entries_hash(Hash{}, {}),
                                               BlsPubkey{}, 0, Hash{}, false, CrosschainCommitment{Hash{}, 0}));
}

TEST(Invariants, SameEntryTwiceAtOneHeight) {
    const Block b = block_at(5);
    const Chain chain{{b, Hash{}}, {b, Hash{}}};
    const std::vector<Block> blocks{b, b};
    EXPECT_TRUE(invariants::check_safety(chain).passed);
    const Hash id = block_id(b, Hash{});
    EXPECT_EQ(
        invariants::check_consistency(chain),
        (InvariantResult{"Consistency", false, format("Block 5 parent_qc_id {} != block 5 qc_id {}", Hash{}, id)}));
    EXPECT_EQ(invariants::check_no_forks(blocks), (InvariantResult{"NoForks", false, "Duplicate block at height 5"}));
    EXPECT_EQ(invariants::check_monotonic_heights(blocks),
              (InvariantResult{"MonotonicHeights", false, "Height 5 <= 5"}));
}

TEST(Invariants, DescendingHeights) {
    const std::vector<Block> blocks{block_at(7), block_at(3)};
    EXPECT_EQ(invariants::check_monotonic_heights(blocks),
              (InvariantResult{"MonotonicHeights", false, "Height 3 <= 7"}));
    EXPECT_TRUE(invariants::check_no_forks(blocks).passed);
    // Stops at the first violation.
    EXPECT_EQ(
        invariants::check_monotonic_heights(std::vector<Block>{block_at(1), block_at(9), block_at(4), block_at(2)})
            .message,
        "Height 4 <= 9");
}

TEST(Invariants, TwoBlocksAtOneHeightWithDifferentParents) {
    const Block first = block_at(5, Hash{});
    const Block second = block_at(5, hashv({as_bytes("elsewhere")}));
    const Chain chain{{first, Hash{}}, {second, Hash{}}};
    EXPECT_EQ(invariants::check_safety(chain),
              (InvariantResult{
                  "Safety", false,
                  format("Fork at height 5: block ids {} vs {}", block_id(first, Hash{}), block_id(second, Hash{}))}));
    // Different bank hashes alone also make two ids.
    const Chain banks{{first, Hash{}}, {first, hashv({as_bytes("bank")})}};
    EXPECT_FALSE(invariants::check_safety(banks).passed);
}

TEST(Invariants, ConsistencyNamesTheBrokenLink) {
    Chain chain = invariants::chain_from_history(std::vector<uint64_t>{1, 2, 3});
    const Hash stray = hashv({as_bytes("stray")});
    chain[2].first.parent_qc_id = stray;
    EXPECT_EQ(invariants::check_consistency(chain).message,
              format("Block 3 parent_qc_id {} != block 2 qc_id {}", stray, block_id(chain[1].first, Hash{})));
}

}  // namespace
}  // namespace vesk
