#include "base/thread_pool.hpp"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <latch>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace vesk {
namespace {

std::string own_thread_name() {
    char name[16] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    return name;
}

TEST(ThreadPool, WorkerNamesHaveATwoDigitIndex) {
    EXPECT_EQ(worker_thread_name("veskQcVerify", 0), "veskQcVerify00");
    EXPECT_EQ(worker_thread_name("veskQcVerify", 7), "veskQcVerify07");
    EXPECT_EQ(worker_thread_name("veskQcVerify", 12), "veskQcVerify12");
    EXPECT_EQ(worker_thread_name("w", 123), "w123");
}

TEST(ThreadPool, EveryWorkerCarriesItsName) {
    ThreadPool pool(3, "poolTest");
    ASSERT_EQ(pool.thread_count(), 3u);
    // Each part holds its worker until all three have started, so every
    // worker takes exactly one.
    std::latch all_started(3);
    std::mutex mutex;
    std::set<std::string> names;
    pool.run_parts(3, [&](size_t) {
        all_started.arrive_and_wait();
        std::lock_guard lock(mutex);
        names.insert(own_thread_name());
    });
    EXPECT_EQ(names, (std::set<std::string>{"poolTest00", "poolTest01", "poolTest02"}));
    EXPECT_FALSE(pool.is_worker_thread());
}

TEST(ThreadPool, LongNamesAreCutToFifteenCharacters) {
    ThreadPool pool(1, "aVeryLongPoolName");
    std::string name;
    pool.run_parts(1, [&](size_t) { name = own_thread_name(); });
    EXPECT_EQ(name, "aVeryLongPoolNa");
}

TEST(ThreadPool, RunsEveryPartOnceAndWaitsForAll) {
    ThreadPool pool(4, "t");
    std::vector<std::atomic<int>> hits(1000);
    pool.run_parts(hits.size(), [&](size_t i) { hits[i].fetch_add(1); });
    for (size_t i = 0; i < hits.size(); ++i) EXPECT_EQ(hits[i].load(), 1) << i;
    pool.run_parts(0, [](size_t) { FAIL(); });
}

TEST(ThreadPool, AtLeastOneThread) {
    ThreadPool pool(0, "t");
    EXPECT_EQ(pool.thread_count(), 1u);
    int done = 0;
    pool.run_parts(2, [&](size_t) { ++done; });
    EXPECT_EQ(done, 2);
}

TEST(ThreadPool, AJobFromAWorkerRunsOnThatWorker) {
    // With one worker, waiting on the pool from inside it would never end.
    ThreadPool pool(1, "t");
    std::vector<std::thread::id> inner;
    std::thread::id outer;
    pool.run_parts(1, [&](size_t) {
        EXPECT_TRUE(pool.is_worker_thread());
        outer = std::this_thread::get_id();
        pool.run_parts(3, [&](size_t) { inner.push_back(std::this_thread::get_id()); });
    });
    EXPECT_EQ(inner, std::vector<std::thread::id>(3, outer));
}

TEST(ThreadPool, APartsExceptionReachesTheCallerAfterAllParts) {
    ThreadPool pool(2, "t");
    std::atomic<int> done = 0;
    EXPECT_THROW(pool.run_parts(10,
                                [&](size_t i) {
                                    done.fetch_add(1);
                                    if (i == 3) throw std::runtime_error("part 3");
                                }),
                 std::runtime_error);
    EXPECT_EQ(done.load(), 10);
    // The pool still serves.
    pool.run_parts(2, [&](size_t) { done.fetch_add(1); });
    EXPECT_EQ(done.load(), 12);
}

TEST(ThreadPool, CallersShareThePool) {
    ThreadPool pool(3, "t");
    std::vector<std::thread> callers;
    std::vector<uint64_t> sums(6, 0);
    for (size_t c = 0; c < sums.size(); ++c) {
        callers.emplace_back([&, c] {
            for (int round = 0; round < 20; ++round) {
                std::atomic<uint64_t> sum = 0;
                pool.run_parts(50, [&](size_t i) { sum.fetch_add(i + c); });
                sums[c] += sum.load();
            }
        });
    }
    for (auto& t : callers) t.join();
    for (size_t c = 0; c < sums.size(); ++c) EXPECT_EQ(sums[c], 20u * (1225u + 50u * c)) << c;
}

}  // namespace
}  // namespace vesk
