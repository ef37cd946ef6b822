// The timer step and proposing, compiled for the system and the simulated
// clock.
// Only the members tick.hpp defines are instantiated here, each by name, so
// that one left out is a link error; the class is instantiated in core.cpp.
#include "consensus/statemachine/tick.hpp"

namespace vesk {

#define TICK_MEMBERS(C) \
    template SubResult VeskStatemachine<C>::tick(); \
    template SubResult VeskStatemachine<C>::propose(); \
    template void VeskStatemachine<C>::flush_pending_txs_to_entries(uint64_t); \
    template std::vector<EntryMessage> VeskStatemachine<C>::entries_to_cut(uint64_t, uint64_t) const; \
    template void VeskStatemachine<C>::prepare_next_block();

TICK_MEMBERS(SystemTimestamper)
TICK_MEMBERS(SimulatedTimestamper)

#undef TICK_MEMBERS

}  // namespace vesk
