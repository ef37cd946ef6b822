// Certification and moving the chain tip, compiled for the system and the
// simulated clock.
#include "consensus/statemachine/certificates.hpp"

namespace vesk {

template class VeskStatemachine<SystemTimestamper, InlineVoteVerifier>;
template class VeskStatemachine<SimulatedTimestamper, InlineVoteVerifier>;

}  // namespace vesk
