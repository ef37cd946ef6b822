#include "consensus/view.hpp"

#include <gtest/gtest.h>

#include <algorithm>

#include "base/diag.hpp"
#include "base/text.hpp"
#include "consensus/test_keys.hpp"

namespace vesk {
namespace {

using Members = std::vector<std::pair<BlsPubkey, uint64_t>>;

std::vector<BlsPubkey> sorted_keys(uint32_t n) {
    std::vector<BlsPubkey> keys;
    for (auto& id : testkeys::identities(n)) keys.push_back(id.pubkey);
    std::sort(keys.begin(), keys.end());
    return keys;
}

struct CapturingLogger : diag::Logger {
    std::vector<std::string> lines;
    void log(diag::Level, std::string_view target, std::string_view text) override {
        lines.push_back(std::string(target) + ": " + std::string(text));
    }
};

TEST(QuorumView, AdmissionOrderIsStakeThenKey) {
    auto k = sorted_keys(3);  // k[0] < k[1] < k[2]
    QuorumView v(0, 100, Members{{k[0], 1}, {k[1], 5}, {k[2], 1}});
    ASSERT_EQ(v.len(), 3u);
    EXPECT_EQ(v.keys, (std::vector<BlsPubkey>{k[1], k[0], k[2]}));
    EXPECT_EQ(v.stakes, (std::vector<uint64_t>{5, 1, 1}));
    EXPECT_EQ(v.find_pubkey_index(k[1]), 0);
    EXPECT_EQ(v.find_pubkey_index(k[0]), 1);
    EXPECT_EQ(v.find_pubkey_index(k[2]), 2);
    EXPECT_EQ(v.total_stake, u128{7});

    // With equal stakes the smallest key leads, wherever it was listed.
    QuorumView eq(0, 100, Members{{k[2], 1}, {k[1], 1}, {k[0], 1}});
    EXPECT_EQ(eq.keys, (std::vector<BlsPubkey>{k[0], k[1], k[2]}));
    for (size_t i = 1; i < eq.sorted_members.size(); ++i) {
        EXPECT_LT(eq.sorted_members[i - 1].first, eq.sorted_members[i].first);
    }
}

TEST(QuorumView, ExclusionsDuplicatesAndLog) {
    auto k = sorted_keys(2);
    CapturingLogger logger;
    diag::set_logger(&logger);
    BlsPubkey bad{};  // not a compressed point
    QuorumView v(3, 9, Members{{k[0], 3}, {bad, 4}, {k[1], 2}, {k[0], 7}});
    diag::set_logger(nullptr);

    ASSERT_EQ(v.len(), 2u);
    EXPECT_EQ(v.keys, (std::vector<BlsPubkey>{k[0], k[1]}));
    EXPECT_EQ(v.stakes, (std::vector<uint64_t>{7, 2}));
    EXPECT_EQ(v.total_stake, u128{9});
    ASSERT_EQ(logger.lines.size(), 2u);
    EXPECT_EQ(logger.lines[0], "vesk_consensus::view: Invalid voting pubkey " + to_display(bad) +
                                   " with stake 4; excluding from quorum between slots 3..9");
    EXPECT_EQ(logger.lines[1], "vesk_consensus::view: Duplicate voting pubkey " + to_display(k[0]) +
                                   " with stake 3; excluding from quorum between slots 3..9");
}

TEST(QuorumView, IdentityKeyIsLeftOut) {
    // The identity decodes, yet it is excluded like a key that does not, and
    // the view id covers only the members kept.
    auto k = sorted_keys(2);
    CapturingLogger logger;
    diag::set_logger(&logger);
    QuorumView v(3, 9, Members{{k[0], 1}, {BlsPubkey::identity(), 100}, {k[1], 1}});
    diag::set_logger(nullptr);
    QuorumView honest(3, 9, Members{{k[0], 1}, {k[1], 1}});

    EXPECT_EQ(v.keys, (std::vector<BlsPubkey>{k[0], k[1]}));
    EXPECT_EQ(v.total_stake, u128{2});
    EXPECT_FALSE(v.has_pubkey(BlsPubkey::identity()));
    EXPECT_EQ(v.view_id, honest.view_id);
    ASSERT_EQ(logger.lines.size(), 1u);
    EXPECT_EQ(logger.lines[0], "vesk_consensus::view: Invalid voting pubkey " + to_display(BlsPubkey::identity()) +
                                   " with stake 100; excluding from quorum between slots 3..9");
}

TEST(QuorumView, CapsAtSixtyFourMembers) {
    auto keys = sorted_keys(70);
    Members all, first64;
    for (size_t i = 0; i < keys.size(); ++i) all.emplace_back(keys[keys.size() - 1 - i], 1);
    for (size_t i = 0; i < 64; ++i) first64.emplace_back(keys[i], 1);
    QuorumView v(0, 10, all);
    QuorumView w(0, 10, first64);
    EXPECT_EQ(v.len(), 64u);
    EXPECT_EQ(v.keys, w.keys);
    EXPECT_EQ(v.view_id, w.view_id);
    EXPECT_FALSE(v.has_pubkey(keys[64]));
}

TEST(QuorumView, TotalStakeGoesBeyondSixtyFourBits) {
    auto keys = sorted_keys(9);
    Members m;
    for (auto& k : keys) m.emplace_back(k, UINT64_MAX);
    QuorumView v(0, 1, m);
    EXPECT_EQ(v.total_stake, u128{9} * UINT64_MAX);
}

TEST(QuorumView, TwoThirdsOfTheStake) {
    auto keys = sorted_keys(9);
    Members four, three, heavy;
    for (size_t i = 0; i < 4; ++i) four.emplace_back(keys[i], 1);
    for (size_t i = 0; i < 3; ++i) three.emplace_back(keys[i], 1);
    for (auto& k : keys) heavy.emplace_back(k, UINT64_MAX);
    const QuorumView of_four(0, 1, four), of_three(0, 1, three), of_heavy(0, 1, heavy), empty(0, 1, Members{});
    const u128 heavy_six = u128{6} * UINT64_MAX;
    struct Case {
        const QuorumView* view;
        u128 stake;
        bool reached;
    };
    const Case cases[] = {
        {&of_four, 3, true},  {&of_four, 2, false},
        {&of_three, 2, true}, {&of_three, 1, false},  // exactly two thirds passes
        // Beyond 64 bits, and a tally that saturates.
        {&of_heavy, heavy_six, true}, {&of_heavy, heavy_six - 1, false}, {&of_heavy, U128_MAX, true},
        {&empty, 0, false},   {&empty, U128_MAX, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.view->reaches_two_thirds(c.stake), c.reached) << u128_to_string(c.stake);
    }
}

TEST(QuorumView, AggregateKeys) {
    auto keys = sorted_keys(3);
    QuorumView v(0, 10, Members{{keys[0], 1}, {keys[1], 1}, {keys[2], 1}});
    EXPECT_EQ(v.aggregate_keys(0), BlsPubkey::identity());
    EXPECT_EQ(v.aggregate_keys(uint64_t{1} << 3 | uint64_t{1} << 63), BlsPubkey::identity());
    EXPECT_EQ(v.aggregate_keys(1), v.keys[0]);
    EXPECT_EQ(v.aggregate_keys(0b1000 | 0b10), v.keys[1]);
    EXPECT_NE(v.aggregate_keys(0b11), v.keys[0]);
}

TEST(QuorumView, LookupsAndViewIds) {
    auto keys = sorted_keys(4);
    QuorumView v(0, 10, Members{{keys[0], 2}, {keys[1], 3}, {keys[2], 4}});
    EXPECT_FALSE(v.find_pubkey_index(keys[3]).has_value());
    EXPECT_FALSE(v.get_stake_by_pubkey(keys[3]).has_value());
    EXPECT_FALSE(v.has_pubkey(keys[3]));
    EXPECT_EQ(v.get_stake_by_pubkey(keys[1]), 3u);

    QuorumView reordered(0, 10, Members{{keys[2], 4}, {keys[0], 2}, {keys[1], 3}});
    QuorumView longer(0, 11, Members{{keys[0], 2}, {keys[1], 3}, {keys[2], 4}});
    EXPECT_EQ(v.view_id, reordered.view_id);
    EXPECT_NE(v.view_id, longer.view_id);

    // The empty view's id covers the tag and the slot range only.
    QuorumView empty(5, 6, Members{});
    uint8_t bytes[28] = {'v', 'e', 's', 'k', '-', 'v', 'i', 'e', 'w', '-', 'i', 'd', 5, 0, 0, 0, 0, 0, 0, 0, 6};
    EXPECT_EQ(empty.view_id, hashv({bytes}));
    EXPECT_EQ(empty.total_stake, u128{0});
    EXPECT_EQ(empty.len(), 0u);
}

}  // namespace
}  // namespace vesk
