#include "base/processors.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

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

TEST(Processors, UsableCountPrefersQuotaThenAffinityThenOnline) {
    struct Case {
        std::optional<size_t> quota;
        size_t affinity;
        long online;
        size_t want;
    };
    for (const Case& c : {
             // A quota that applies decides, above or below the mask's count.
             Case{2, 8, 16, 2},
             Case{12, 8, 16, 12},
             Case{3, 0, 0, 3},
             Case{3, 0, -1, 3},
             // Without one the mask counts, else the online processors.
             Case{std::nullopt, 8, 16, 8},
             Case{std::nullopt, 0, 16, 16},
             // Never below one.
             Case{std::nullopt, 0, 0, 1},
             Case{std::nullopt, 0, -1, 1},
         }) {
        EXPECT_EQ(usable_processor_count(c.quota, c.affinity, c.online), c.want)
            << (c.quota ? std::to_string(*c.quota) : "none") << " " << c.affinity << " " << c.online;
    }
}

TEST(Processors, UsableCountOfThisProcess) {
    std::vector<size_t> allowed = allowed_processors();
    EXPECT_TRUE(std::is_sorted(allowed.begin(), allowed.end()));
    size_t n = usable_processor_count();
    EXPECT_GE(n, 1u);
    if (auto quota = cgroup_cpu_quota()) {
        EXPECT_EQ(n, *quota);
    } else if (!allowed.empty()) {
        EXPECT_EQ(n, allowed.size());
    }
}

}  // namespace
}  // namespace vesk
