#include "base/contract.hpp"

#include <gtest/gtest.h>

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
        {[] { throw std::bad_alloc(); }, "std::bad_alloc\n"},
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

TEST(Contract, ExpectGivesTheValueOrFails) {
    std::optional<int> some = 4;
    EXPECT_EQ(contract_expect(some, "x"), 4);
    EXPECT_THROW(contract_expect(std::optional<int>{}, "missing"), ContractFailure);
}

}  // namespace
}  // namespace vesk
