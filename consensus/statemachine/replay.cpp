// Block replay, vote locks and voting, compiled for the system and the
// simulated clock.
// Only the members replay.hpp defines are instantiated here, each by name, so
// that one left out is a link error; the class is instantiated in core.cpp.
#include "consensus/statemachine/replay.hpp"

namespace vesk {

#define REPLAY_MEMBERS(C) \
    template SubResult VeskStatemachine<C>::queue_processed_block(const BlsPubkey&, const BlockProposalMessage&, \
        const Hash&, const CrosschainCommitment&, const ProcessedParent&); \
    template SubResult VeskStatemachine<C>::try_replay(uint64_t, const BlsPubkey&); \
    template bool VeskStatemachine<C>::replayed_parent_matches_tip(uint64_t, const BlsPubkey&) const; \
    template std::optional<std::pair<uint64_t, uint64_t>> VeskStatemachine<C>::vote_lock_forbids(uint64_t, \
        uint64_t) const; \
    template void VeskStatemachine<C>::record_vote_lock(uint64_t, const Hash&, uint64_t, const Hash&); \
    template SubResult VeskStatemachine<C>::prepare_vote(PreparedVote); \
    template SubResult VeskStatemachine<C>::self_vote_pending_proposal(const BlockProposalMessage&, const Hash&, \
        const CrosschainCommitment&); \
    template void VeskStatemachine<C>::park_replay_pending_parent_qc_persisted(const Hash&, uint64_t, \
        const BlsPubkey&);

REPLAY_MEMBERS(SystemTimestamper)
REPLAY_MEMBERS(SimulatedTimestamper)

#undef REPLAY_MEMBERS

}  // namespace vesk
