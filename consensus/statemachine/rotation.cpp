// Leader rotation and liveness, compiled for the system and the simulated
// clock.
// Only the members rotation.hpp defines are instantiated here, each by name, so
// that one left out is a link error; the class is instantiated in core.cpp.
#include "consensus/statemachine/rotation.hpp"

namespace vesk {

#define ROTATION_MEMBERS(C) \
    template void VeskStatemachine<C>::set_vesk_id(const BlsPubkey&, size_t, uint64_t, bool); \
    template SubResult VeskStatemachine<C>::announce_rotation(const BlsPubkey&, const BlsPubkey&, uint64_t, \
        std::string); \
    template SubResult VeskStatemachine<C>::rotate_for_fault(const BlsPubkey&, EvictionReason); \
    template SubResult VeskStatemachine<C>::liveness_rotation(); \
    template SubResult VeskStatemachine<C>::lap_completed_since(uint64_t); \
    template std::optional<uint64_t> VeskStatemachine<C>::eligible_leader_view(const BlsPubkey&) const;

ROTATION_MEMBERS(SystemTimestamper)
ROTATION_MEMBERS(SimulatedTimestamper)

#undef ROTATION_MEMBERS

}  // namespace vesk
