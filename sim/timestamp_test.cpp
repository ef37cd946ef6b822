#include "sim/timestamp.hpp"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace vesk {
namespace {

using namespace std::chrono_literals;

TEST(SimulatedTimestamper, CopiesShareOneClockThatStandsStill) {
    SimulatedTimestamper a;
    SimulatedTimestamper b = a;
    WallTime start = b.now();
    std::this_thread::sleep_for(2ms);
    EXPECT_EQ(b.now(), start);
    a.advance(10ms);
    WallTime later = b.now();
    EXPECT_EQ((later.secs - start.secs) * 1'000'000'000 + (int64_t(later.nanos) - int64_t(start.nanos)), 10'000'000);
}

TEST(SimulatedTimestamper, NanosecondsCarryIntoSeconds) {
    WallTime t{100, 0};
    WallTime u = t.plus(999'999'999ns).plus(1ns);
    EXPECT_EQ(u, (WallTime{101, 0}));
    EXPECT_EQ((WallTime{5, 999'999'999}).plus(2'000'000'001ns), (WallTime{8, 0}));
    EXPECT_EQ((WallTime{1, 500'000'000}).unix_millis(), 1500);
    EXPECT_THROW((WallTime{INT64_MAX, 999'999'999}).plus(1ns), ContractFailure);
}

TEST(SystemTimestamper, ReadsTheRealTimeClock) {
    WallTime t = SystemTimestamper{}.now();
    EXPECT_GT(t.secs, 1'600'000'000);
    EXPECT_LT(t.nanos, 1'000'000'000u);
}

TEST(Timestamp, MonotonicFromOneEpochAcrossThreads) {
    Timestamp first = Timestamp::now();
    std::vector<std::thread> threads;
    std::vector<Timestamp> seen(8);
    for (size_t i = 0; i < seen.size(); ++i) {
        threads.emplace_back([&seen, i] {
            Timestamp prev = Timestamp::now();
            for (int k = 0; k < 1000; ++k) {
                Timestamp t = Timestamp::now();
                ASSERT_GE(t, prev);
                prev = t;
            }
            seen[i] = prev;
        });
    }
    for (auto& t : threads) t.join();
    for (auto& s : seen) EXPECT_GE(s, first);
    // The epoch was taken by the first stamp of this process, moments ago.
    EXPECT_LT(first.nanos, uint64_t{60} * 1'000'000'000);
}

}  // namespace
}  // namespace vesk
