#include "base/contract.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <new>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace vesk {
namespace {

TEST(Contract, ThreadBodyEndsOnlyThatThread) {
    bool after = false;
    testing::internal::CaptureStderr();
    std::thread t([&] {
        run_thread_body([&] {
            contract_fail("poisoned lock");
            after = true;
        });
    });
    t.join();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "poisoned lock\n");
    EXPECT_FALSE(after);
}

TEST(Contract, MainEndsWithNonZeroStatus) {
    testing::internal::CaptureStderr();
    int status = run_main([]() -> int { contract_fail("valid BLS seed: FieldDecode"); });
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "valid BLS seed: FieldDecode\n");
    EXPECT_NE(status, 0);
    EXPECT_EQ(run_main([] { return 0; }), 0);
}

// What a failing body may throw, and the line it leaves on standard error.
struct Thrown {
    std::function<void()> raise;
    std::string line;
};

std::vector<Thrown> every_kind_of_failure() {
    return {
        {[] { contract_fail("poisoned lock"); }, "poisoned lock\n"},
        {[] { throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again), "spawn"); },
         "spawn: Resource temporarily unavailable\n"},
        {[] { throw std::runtime_error("two\nlines"); }, "two lines\n"},
        {[] { throw 7; }, "unknown exception\n"},
    };
}

TEST(Contract, AnyExceptionEndsOnlyItsThread) {
    for (const Thrown& t : every_kind_of_failure()) {
        bool after = false;
        testing::internal::CaptureStderr();
        std::thread thread([&] {
            run_thread_body([&] {
                t.raise();
                after = true;
            });
        });
        thread.join();
        EXPECT_EQ(testing::internal::GetCapturedStderr(), t.line);
        EXPECT_FALSE(after);
    }
}

TEST(Contract, AnyExceptionOnMainEndsWithOneLineAndNonZeroStatus) {
    for (const Thrown& t : every_kind_of_failure()) {
        testing::internal::CaptureStderr();
        int status = run_main([&]() -> int {
            t.raise();
            return 0;
        });
        EXPECT_EQ(testing::internal::GetCapturedStderr(), t.line);
        EXPECT_EQ(status, CONTRACT_FAILURE_EXIT_STATUS);
    }
}

// Runs `raise` under run_thread_body on a thread of its own.
void fail_in_thread(void (*raise)()) {
    std::thread t([&] { run_thread_body(raise); });
    t.join();
}

[[noreturn]] void out_of_memory() { throw std::bad_alloc(); }

TEST(ContractDeathTest, ExhaustedMemoryEndsTheProcessWithOneLine) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto status = testing::ExitedWithCode(CONTRACT_FAILURE_EXIT_STATUS);
    const char* line = "^out of memory\n$";
    // Whichever thread meets it, node, exchange, printer or main.
    EXPECT_EXIT(fail_in_thread(out_of_memory), status, line);
    EXPECT_EXIT(fail_in_thread([] { throw std::bad_array_new_length(); }), status, line);
    EXPECT_EXIT((void)run_main([]() -> int { out_of_memory(); }), status, line);
    // Two threads at once still leave one line.
    EXPECT_EXIT(
        {
            std::atomic<int> ready = 0;
            auto both = [&] {
                run_thread_body([&] {
                    ++ready;
                    while (ready < 2) {
                    }
                    out_of_memory();
                });
            };
            std::thread a(both);
            std::thread b(both);
            a.join();
            b.join();
        },
        status, line);
    // Once installed: the allocator's handler, and a std::bad_alloc that
    // escapes a thread to std::terminate.
    EXPECT_EXIT(
        {
            install_out_of_memory_exit();
            std::get_new_handler()();
        },
        status, line);
    EXPECT_EXIT(
        {
            install_out_of_memory_exit();
            std::thread(out_of_memory).join();
        },
        status, line);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // The sanitizers' allocators end the process their own way.
    EXPECT_EXIT(
        {
            install_out_of_memory_exit();
            volatile size_t huge = SIZE_MAX / 4;
            void* volatile p = ::operator new(huge);
            ::operator delete(p);
        },
        status, line);
#endif
}

TEST(ContractDeathTest, OtherFailuresReachingTerminateStillAbort) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            install_out_of_memory_exit();
            std::thread([] { throw std::runtime_error("not memory"); }).join();
        },
        "not memory");
}

TEST(Contract, ExpectGivesTheValueOrFails) {
    std::optional<int> some = 4;
    EXPECT_EQ(contract_expect(some, "x"), 4);
    EXPECT_THROW(contract_expect(std::optional<int>{}, "missing"), ContractFailure);
}

}  // namespace
}  // namespace vesk
