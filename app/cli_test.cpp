#include "app/cli.hpp"

#include <gtest/gtest.h>

namespace vesk {
namespace {

TEST(Usage, NamesTheBaseLatencyThatApplies) {
    EXPECT_NE(usage_text().find("Base latency floor in ms (default 2.0)\n"), std::string::npos);
}

TEST(Sigint, ClearsRunning) {
    ASSERT_TRUE(RUNNING.load());
    sigint_handler(2);
    EXPECT_FALSE(RUNNING.load());
    RUNNING.store(true);
}

}  // namespace
}  // namespace vesk
