#pragma once
// A clock for tests that can be set anywhere, even before the Unix epoch. The
// machine on it is compiled once, in test_clock.cpp, so that the tests that
// use it do not compile every concern themselves.
#include <memory>

#include "base/clock.hpp"
#include "consensus/statemachine/statemachine.hpp"

namespace vesk::testsupport {

struct SettableClock {
    std::shared_ptr<WallTime> time = std::make_shared<WallTime>();
    WallTime now() const { return *time; }
};

}  // namespace vesk::testsupport

namespace vesk {

extern template class VeskStatemachine<testsupport::SettableClock, InlineVoteVerifier>;

}  // namespace vesk
