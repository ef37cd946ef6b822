// The timer step and proposing, compiled for the system and the simulated
// clock.
#include "consensus/statemachine/tick.hpp"

namespace vesk {

template class VeskStatemachine<SystemTimestamper, InlineVoteVerifier>;
template class VeskStatemachine<SimulatedTimestamper, InlineVoteVerifier>;

}  // namespace vesk
