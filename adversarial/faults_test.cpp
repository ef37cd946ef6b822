// Which faults are in force in a round, and who is down.
#include <gtest/gtest.h>

#include "adversarial/faults.hpp"
#include "base/text.hpp"

namespace vesk {
namespace {

std::vector<uint64_t> rounds_in_force(const std::vector<ScheduledFault>& schedule, uint64_t up_to) {
    std::vector<uint64_t> out;
    for (uint64_t r = 0; r < up_to; ++r) {
        if (!active_faults(schedule, r).empty()) out.push_back(r);
    }
    return out;
}

TEST(Faults, WindowIsHalfOpen) {
    const std::vector<ScheduledFault> schedule{{5, 15, Fault{Fault::DropMessages{3}}}};
    EXPECT_EQ(rounds_in_force(schedule, 20), (std::vector<uint64_t>{5, 6, 7, 8, 9, 10, 11, 12, 13, 14}));
    // A window whose start is not below its end is never active.
    EXPECT_TRUE(rounds_in_force({{7, 7, Fault{Fault::DropMessages{3}}}}, 20).empty());
    EXPECT_TRUE(rounds_in_force({{9, 4, Fault{Fault::DropMessages{3}}}}, 20).empty());
}

TEST(Faults, ActiveFaultsKeepScheduleOrder) {
    const Fault a{Fault::Crash{2, 0}};
    const Fault b{Fault::Partition{{1}, {2}}};
    const Fault c{Fault::Recover{2, 3}};
    const std::vector<ScheduledFault> schedule{{0, 10, a}, {4, 6, b}, {0, 10, c}};
    EXPECT_EQ(active_faults(schedule, 5), (std::vector<Fault>{a, b, c}));
    EXPECT_EQ(active_faults(schedule, 6), (std::vector<Fault>{a, c}));
}

TEST(Faults, FlipFlopPartitionAlternatesFromItsStart) {
    struct Case {
        uint64_t start, end, period;
        std::vector<uint64_t> partitioned;
    };
    const Case cases[] = {
        // Partitioned first, then connected, every `period` rounds.
        {0, 31, 3, {0, 1, 2, 6, 7, 8, 12, 13, 14, 18, 19, 20, 24, 25, 26, 30}},
        // Phases count from the window's start, not from round 0.
        {5, 16, 2, {5, 6, 9, 10, 13, 14}},
        {4, 9, 1, {4, 6, 8}},
        // A period of 0 never flips.
        {2, 6, 0, {2, 3, 4, 5}},
    };
    for (const Case& c : cases) {
        const std::vector<ScheduledFault> schedule{
            {c.start, c.end, Fault{Fault::FlipFlopPartition{{1, 2, 3}, {4, 5, 6}, c.period}}}};
        EXPECT_EQ(rounds_in_force(schedule, 40), c.partitioned)
            << "window " << c.start << ".." << c.end << " period " << c.period;
    }
}

TEST(Faults, CrashAndRecoverFoldInScheduleOrder) {
    const ScheduledFault crash{0, 10, Fault{Fault::Crash{2, 0}}};
    const ScheduledFault recover{0, 10, Fault{Fault::Recover{2, 5}}};
    auto crashed_rounds = [](const std::vector<ScheduledFault>& schedule, size_t node) {
        std::vector<uint64_t> out;
        for (uint64_t r = 0; r < 12; ++r) {
            if (is_crashed(node, r, active_faults(schedule, r))) out.push_back(r);
        }
        return out;
    };
    EXPECT_EQ(crashed_rounds({crash, recover}, 2), (std::vector<uint64_t>{0, 1, 2, 3, 4}));
    EXPECT_EQ(crashed_rounds({recover, crash}, 2), (std::vector<uint64_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
    // Only the named node is touched.
    EXPECT_TRUE(crashed_rounds({crash, recover}, 3).empty());
    // A crash counts from its own round, even inside a longer window.
    EXPECT_EQ(crashed_rounds({{3, 6, Fault{Fault::Crash{0, 4}}}}, 0), (std::vector<uint64_t>{4, 5}));
    // A recovery with no crash in force changes nothing.
    EXPECT_TRUE(crashed_rounds({{0, 12, Fault{Fault::Recover{1, 0}}}}, 1).empty());
}

TEST(Faults, DebugForms) {
    EXPECT_EQ(to_debug(ScheduledFault{5, 20, Fault{Fault::Partition{{1, 2}, {5}}}}),
              "(5, 20, Partition { group_a: [1, 2], group_b: [5] })");
    EXPECT_EQ(to_debug(Fault{Fault::FlipFlopPartition{{1}, {4}, 3}}),
              "FlipFlopPartition { group_a: [1], group_b: [4], period: 3 }");
    EXPECT_EQ(to_debug(Fault{Fault::Crash{3, 10}}), "Crash { node: 3, at_round: 10 }");
}

}  // namespace
}  // namespace vesk
