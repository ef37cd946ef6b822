// The state machine compiled once for the clocks this program runs it with.
#include "consensus/statemachine/statemachine_impl.hpp"

namespace vesk {

template class VeskStatemachine<SystemTimestamper, InlineVoteVerifier>;
template class VeskStatemachine<SimulatedTimestamper, InlineVoteVerifier>;

}  // namespace vesk
