// Leader rotation and liveness, compiled for the system and the simulated
// clock.
#include "consensus/statemachine/rotation.hpp"

namespace vesk {

template class VeskStatemachine<SystemTimestamper, InlineVoteVerifier>;
template class VeskStatemachine<SimulatedTimestamper, InlineVoteVerifier>;

}  // namespace vesk
