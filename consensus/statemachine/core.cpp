// Construction, roles, dispatch, vote collection and readiness, compiled for
// the system and the simulated clock.
#include "consensus/statemachine/core.hpp"

namespace vesk {

template class VeskStatemachine<SystemTimestamper, InlineVoteVerifier>;
template class VeskStatemachine<SimulatedTimestamper, InlineVoteVerifier>;

}  // namespace vesk
