#include "base/processors.hpp"

#include <gtest/gtest.h>

#include <algorithm>

namespace vesk {
namespace {

TEST(Processors, CgroupV2Quota) {
    struct Case {
        const char* text;
        std::optional<size_t> want;
    };
    for (const Case& c : {Case{"max 100000\n", std::nullopt}, Case{"200000 100000\n", 2}, Case{"150000 100000", 1},
                          Case{"50000 100000", 1}, Case{"1600000 100000", 16}, Case{"100000 0", std::nullopt},
                          Case{"", std::nullopt}, Case{"abc 100000", std::nullopt}, Case{"100000", std::nullopt}}) {
        EXPECT_EQ(cgroup_v2_quota(c.text), c.want) << c.text;
    }
}

TEST(Processors, CgroupV1Quota) {
    EXPECT_EQ(cgroup_v1_quota("-1\n", "100000\n"), std::nullopt);
    EXPECT_EQ(cgroup_v1_quota("400000\n", "100000\n"), 4u);
    EXPECT_EQ(cgroup_v1_quota("20000", "100000"), 1u);
    EXPECT_EQ(cgroup_v1_quota("100000", "0"), std::nullopt);
    EXPECT_EQ(cgroup_v1_quota("", "100000"), std::nullopt);
}

TEST(Processors, UsableCountIsWithinTheAffinityMask) {
    std::vector<size_t> allowed = allowed_processors();
    EXPECT_TRUE(std::is_sorted(allowed.begin(), allowed.end()));
    size_t n = usable_processor_count();
    EXPECT_GE(n, 1u);
    if (!allowed.empty()) {
        EXPECT_LE(n, allowed.size());
    }
    if (auto quota = cgroup_cpu_quota()) {
        EXPECT_LE(n, *quota);
    }
}

}  // namespace
}  // namespace vesk
