// Shred catch-up, compiled for the system and the simulated clock.
// Only the members catchup.hpp defines are instantiated here, each by name, so
// that one left out is a link error; the class is instantiated in core.cpp.
#include "consensus/statemachine/catchup.hpp"

namespace vesk {

#define CATCHUP_MEMBERS(C) \
    template SubResult VeskStatemachine<C>::handle_shreds_available_request(const ShredsAvailableRequest&); \
    template SubResult VeskStatemachine<C>::handle_shreds_available_response(const ShredsAvailableResponse&); \
    template SubResult VeskStatemachine<C>::handle_shreds_fetch_request(const ShredsFetchRequest&); \
    template SubResult VeskStatemachine<C>::handle_shreds_fetch_response(ShredsFetchResponse); \
    template SubResult VeskStatemachine<C>::handle_shreds_behind_response(const ShredsBehindResponse&); \
    template void VeskStatemachine<C>::reconcile_shred_catchup_after_tip_advance();

CATCHUP_MEMBERS(SystemTimestamper)
CATCHUP_MEMBERS(SimulatedTimestamper)

#undef CATCHUP_MEMBERS

}  // namespace vesk
