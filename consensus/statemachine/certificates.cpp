// Certification and moving the chain tip, compiled for the system and the
// simulated clock.
// Only the members certificates.hpp defines are instantiated here, each by name, so
// that one left out is a link error; the class is instantiated in core.cpp.
#include "consensus/statemachine/certificates.hpp"

namespace vesk {

#define CERTIFICATES_MEMBERS(C) \
    template SubResult VeskStatemachine<C>::certify_proposal(const QuorumView&, const QuorumMessage&, \
        std::vector<std::pair<BlsPubkey, BlsSignature>>); \
    template SubResult VeskStatemachine<C>::receive_certificate(QuorumCertificate); \
    template SubResult VeskStatemachine<C>::move_chain_tip(const QuorumCertificate&); \
    template void VeskStatemachine<C>::settle_new_tip(); \
    template void VeskStatemachine<C>::slide_windows_to(uint64_t); \
    template void VeskStatemachine<C>::enter_next_view_once_reached(); \
    template void VeskStatemachine<C>::record_accepted_cert(const QuorumCertificate&); \
    template void VeskStatemachine<C>::prune_state_below_tip();

CERTIFICATES_MEMBERS(SystemTimestamper)
CERTIFICATES_MEMBERS(SimulatedTimestamper)

#undef CERTIFICATES_MEMBERS

}  // namespace vesk
