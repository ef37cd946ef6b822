// Parking and releasing messages, compiled for the system and the simulated
// clock.
// Only the members parked.hpp defines are instantiated here, each by name, so
// that one left out is a link error; the class is instantiated in core.cpp.
#include "consensus/statemachine/parked.hpp"

namespace vesk {

#define PARKED_MEMBERS(C) \
    template ConsensusLogEvent VeskStatemachine<C>::park_or_report(const ConsensusMessage&, uint64_t, \
        const UnparkEvent&); \
    template SubResult VeskStatemachine<C>::process_parked_messages(const UnparkEvent&);

PARKED_MEMBERS(SystemTimestamper)
PARKED_MEMBERS(SimulatedTimestamper)

#undef PARKED_MEMBERS

}  // namespace vesk
