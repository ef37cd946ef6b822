#include "consensus/statemachine/test_clock.hpp"

#include "consensus/statemachine/statemachine_impl.hpp"

namespace vesk {

template class VeskStatemachine<testsupport::SettableClock, InlineVoteVerifier>;

}  // namespace vesk
