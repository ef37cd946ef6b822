#include "base/contract.hpp"

#include <gtest/gtest.h>

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

TEST(Contract, ExpectGivesTheValueOrFails) {
    std::optional<int> some = 4;
    EXPECT_EQ(contract_expect(some, "x"), 4);
    EXPECT_THROW(contract_expect(std::optional<int>{}, "missing"), ContractFailure);
}

}  // namespace
}  // namespace vesk
