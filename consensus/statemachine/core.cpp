// Construction, roles, dispatch, vote collection and readiness, compiled for
// the system and the simulated clock. The one instantiation of the class for
// each: it covers the members defined so far, the in-class ones and those of
// core.hpp, so no other concern's header may be included here. The other
// concerns' .cpp files instantiate their members one by one.
#include "consensus/statemachine/core.hpp"

namespace vesk {

template class VeskStatemachine<SystemTimestamper, InlineVoteVerifier>;
template class VeskStatemachine<SimulatedTimestamper, InlineVoteVerifier>;

}  // namespace vesk
