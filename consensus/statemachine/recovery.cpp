// Certificate recovery and state sync, compiled for the system and the
// simulated clock.
// Only the members recovery.hpp defines are instantiated here, each by name, so
// that one left out is a link error; the class is instantiated in core.cpp.
#include "consensus/statemachine/recovery.hpp"

namespace vesk {

#define RECOVERY_MEMBERS(C) \
    template SubResult VeskStatemachine<C>::request_qc(uint64_t, std::optional<Hash>); \
    template std::optional<QuorumCertificate> VeskStatemachine<C>::qc_for_recovery(uint64_t) const; \
    template SubResult VeskStatemachine<C>::handle_qc_request(const QcRequest&); \
    template std::vector<QuorumCertificate> VeskStatemachine<C>::contiguous_qc_page(uint64_t, uint64_t) const; \
    template SubResult VeskStatemachine<C>::handle_qc_response(const QcResponse&); \
    template SubResult VeskStatemachine<C>::handle_state_sync_request(const StateSyncRequest&); \
    template void VeskStatemachine<C>::defer_state_sync_response(StateSyncResponse); \
    template SubResult VeskStatemachine<C>::process_state_sync_response(StateSyncResponse);

RECOVERY_MEMBERS(SystemTimestamper)
RECOVERY_MEMBERS(SimulatedTimestamper)

#undef RECOVERY_MEMBERS

}  // namespace vesk
