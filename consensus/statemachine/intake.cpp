// Follower intake, compiled for the system and the simulated clock.
#include "consensus/statemachine/intake.hpp"

namespace vesk {

template class VeskStatemachine<SystemTimestamper, InlineVoteVerifier>;
template class VeskStatemachine<SimulatedTimestamper, InlineVoteVerifier>;

}  // namespace vesk
