// Block replay, vote locks and voting, compiled for the system and the
// simulated clock.
#include "consensus/statemachine/replay.hpp"

namespace vesk {

template class VeskStatemachine<SystemTimestamper, InlineVoteVerifier>;
template class VeskStatemachine<SimulatedTimestamper, InlineVoteVerifier>;

}  // namespace vesk
