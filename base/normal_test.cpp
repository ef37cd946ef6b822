#include "base/normal.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "base/random.hpp"

namespace vesk {
namespace {

double density(double x) { return std::exp(-0.5 * x * x); }

TEST(Ziggurat, LayersShrinkAndHoldEqualAreas) {
    const ZigguratTable& t = ziggurat_table();
    EXPECT_GT(t.x[0], t.x[1]);
    EXPECT_EQ(t.x[1], ZigguratTable::R);
    EXPECT_EQ(t.x[ZigguratTable::LAYERS], 0.0);
    for (int i = 1; i < ZigguratTable::LAYERS; ++i) EXPECT_GT(t.x[i], t.x[i + 1]) << i;
    // Every rectangle but the top one has the area of the base.
    for (int i = 1; i + 1 < ZigguratTable::LAYERS; ++i) {
        double area = t.x[i] * (density(t.x[i + 1]) - density(t.x[i]));
        EXPECT_NEAR(area, ZigguratTable::V, 1e-9) << i;
    }
}

TEST(Ziggurat, SeededSamplesRepeat) {
    auto a = ChaCha12Rng::from_seed_u64(11);
    auto b = ChaCha12Rng::from_seed_u64(11);
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(standard_normal(a), standard_normal(b));
}

// Loose bounds, many standard errors wide, on a fixed seed.
TEST(Ziggurat, SamplesFollowTheStandardNormal) {
    auto rng = ChaCha12Rng::from_seed_u64(2024);
    const int n = 400'000;
    double sum = 0, sum_sq = 0;
    int below_one = 0, below_minus_two = 0, in_tail = 0;
    for (int i = 0; i < n; ++i) {
        double z = standard_normal(rng);
        ASSERT_TRUE(std::isfinite(z));
        sum += z;
        sum_sq += z * z;
        below_one += z < 1.0;
        below_minus_two += z < -2.0;
        in_tail += std::fabs(z) > ZigguratTable::R;
    }
    double mean = sum / n;
    EXPECT_NEAR(mean, 0.0, 0.01);
    EXPECT_NEAR(sum_sq / n - mean * mean, 1.0, 0.015);
    EXPECT_NEAR(static_cast<double>(below_one) / n, 0.841345, 0.004);
    EXPECT_NEAR(static_cast<double>(below_minus_two) / n, 0.0227501, 0.0015);
    // 2 * (1 - Phi(R)) is about 2.58e-4, about 103 samples.
    EXPECT_GT(in_tail, 50);
    EXPECT_LT(in_tail, 170);
}

}  // namespace
}  // namespace vesk
