// Follower intake, compiled for the system and the simulated clock.
// Only the members intake.hpp defines are instantiated here, each by name, so
// that one left out is a link error; the class is instantiated in core.cpp.
#include "consensus/statemachine/intake.hpp"

namespace vesk {

#define INTAKE_MEMBERS(C) \
    template SubResult VeskStatemachine<C>::follower_receive(ConsensusMessage); \
    template SubResult VeskStatemachine<C>::receive_entry_announcement(const SignedEntryAnnouncement&); \
    template SubResult VeskStatemachine<C>::receive_block_proposal(const ConsensusMessage&, \
        const SignedBlockProposalMessage&); \
    template bool VeskStatemachine<C>::proposal_signature_holds(const SignedBlockProposalMessage&); \
    template std::pair<bool, \
        SubResult> VeskStatemachine<C>::validate_block_proposal(const SignedBlockProposalMessage&, uint8_t); \
    template SubResult VeskStatemachine<C>::reject_candidate_for_fault(uint64_t, const BlsPubkey&, \
        ConsensusLogEvent, EvictionReason); \
    template SubResult VeskStatemachine<C>::note_proposed_head(uint64_t, const BlsPubkey&);

INTAKE_MEMBERS(SystemTimestamper)
INTAKE_MEMBERS(SimulatedTimestamper)

#undef INTAKE_MEMBERS

}  // namespace vesk
