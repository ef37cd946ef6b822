#include "sim/timestamp.hpp"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace vesk {
namespace {

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
