#include "consensus/leader_cell.hpp"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace vesk {
namespace {

BlsPubkey key(uint8_t tag) {
    BlsPubkey k;
    k.bytes.fill(tag);
    return k;
}

TEST(LeaderCell, EmptyCellAuthorizesNobody) {
    LeaderCell cell;
    EXPECT_EQ(cell.leader(), std::nullopt);
    EXPECT_FALSE(cell.is_production_authorized(key(1), 0));
    EXPECT_FALSE(cell.is_production_authorized(key(1), UINT64_MAX));
}

TEST(LeaderCell, AuthorizesOnlyTheLeaderFromItsSlot) {
    LeaderCell cell;
    cell.arm_at(key(1), 10);
    EXPECT_EQ(cell.leader(), key(1));
    EXPECT_FALSE(cell.is_production_authorized(key(1), 9));
    EXPECT_TRUE(cell.is_production_authorized(key(1), 10));
    EXPECT_TRUE(cell.is_production_authorized(key(1), UINT64_MAX));
    EXPECT_FALSE(cell.is_production_authorized(key(2), 10));

    // Arming always restarts, even for the same leader at an earlier slot.
    cell.arm_at(key(1), 4);
    EXPECT_TRUE(cell.is_production_authorized(key(1), 4));
}

TEST(LeaderCell, RotateMovesToANewLeaderAndKeepsTheSameOne) {
    LeaderCell cell;
    EXPECT_EQ(cell.rotate(key(1), 5), std::nullopt);
    EXPECT_TRUE(cell.is_production_authorized(key(1), 5));

    // The same leader keeps its earlier start, whether the new slot is later
    // or earlier.
    EXPECT_EQ(cell.rotate(key(1), 9), key(1));
    EXPECT_TRUE(cell.is_production_authorized(key(1), 5));
    EXPECT_EQ(cell.rotate(key(1), 2), key(1));
    EXPECT_FALSE(cell.is_production_authorized(key(1), 4));

    EXPECT_EQ(cell.rotate(key(2), 7), key(1));
    EXPECT_EQ(cell.leader(), key(2));
    EXPECT_FALSE(cell.is_production_authorized(key(2), 6));
    EXPECT_TRUE(cell.is_production_authorized(key(2), 7));
    EXPECT_FALSE(cell.is_production_authorized(key(1), 7));
}

// Meant for the thread-sanitizer build: shared readers and writers on one cell.
TEST(LeaderCell, SharedBetweenThreads) {
    LeaderCell cell(LeaderCellState{3, key(1)});
    std::vector<std::thread> threads;
    for (uint8_t w = 1; w <= 2; ++w) {
        threads.emplace_back([&cell, w] {
            for (uint64_t i = 0; i < 2000; ++i) {
                if (i % 2) {
                    cell.arm_at(key(w), 3);
                } else {
                    cell.rotate(key(w), 3);
                }
            }
        });
    }
    for (int r = 0; r < 2; ++r) {
        threads.emplace_back([&cell] {
            for (int i = 0; i < 2000; ++i) {
                auto leader = cell.leader();
                ASSERT_TRUE(leader == key(1) || leader == key(2));
                // Every write uses slot 3, so a slot below it is never allowed.
                ASSERT_FALSE(cell.is_production_authorized(*leader, 2));
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_TRUE(cell.is_production_authorized(*cell.leader(), 3));
}

}  // namespace
}  // namespace vesk
