#include "base/clock.hpp"

#include <gtest/gtest.h>

#include <thread>

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

}  // namespace
}  // namespace vesk
