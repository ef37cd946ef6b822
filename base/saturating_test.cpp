#include "base/saturating.hpp"

#include <gtest/gtest.h>

namespace vesk {
namespace {

TEST(Saturating, SaturatesAtTheTop) {
    EXPECT_EQ(sat_add(U128_MAX, u128{1}), U128_MAX);
    EXPECT_EQ(sat_add(u128{2}, u128{3}), u128{5});
    EXPECT_EQ(sat_mul(U128_MAX / 2 + 1, u128{2}), U128_MAX);
    EXPECT_EQ(sat_mul(u128{3}, u128{UINT64_MAX}), u128{3} * UINT64_MAX);
    EXPECT_EQ(sat_sub(u128{1}, u128{2}), u128{0});
    EXPECT_EQ(sat_add(UINT64_MAX, uint64_t{1}), UINT64_MAX);
    EXPECT_EQ(sat_mul(uint64_t{1} << 33, uint64_t{1} << 33), UINT64_MAX);
    EXPECT_EQ(sat_sub(int64_t{-5}, int64_t{7}), -12);
    EXPECT_EQ(sat_sub(INT64_MIN, int64_t{1}), INT64_MIN);
    EXPECT_EQ(sat_sub(INT64_MAX, int64_t{-1}), INT64_MAX);
}

TEST(Saturating, MillisecondsBeyondTheRangeOfNanosecondsBecomeTheLongestDuration) {
    using std::chrono::nanoseconds;
    struct Case {
        uint64_t ms;
        nanoseconds want;
    };
    const Case cases[] = {
        {0, nanoseconds(0)},
        {1, nanoseconds(1'000'000)},
        {9'223'372'036'854, nanoseconds(9'223'372'036'854'000'000)},  // the largest that fits
        {9'223'372'036'855, nanoseconds::max()},
        {uint64_t{1} << 63, nanoseconds::max()},
        {UINT64_MAX, nanoseconds::max()},
    };
    for (const Case& c : cases) EXPECT_EQ(sat_ms_to_ns(c.ms), c.want) << c.ms;
}

TEST(Saturating, DecimalText) {
    EXPECT_EQ(u128_to_string(0), "0");
    EXPECT_EQ(u128_to_string(u128{9} * UINT64_MAX), "166020696663385964535");
    EXPECT_EQ(u128_to_string(U128_MAX), "340282366920938463463374607431768211455");
}

}  // namespace
}  // namespace vesk
