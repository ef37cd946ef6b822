#pragma once
// Block replay, vote locks and voting.
#include "consensus/statemachine/statemachine.hpp"

namespace vesk {

template <Timestamper T, VoteVerifier V>
SubResult VeskStatemachine<T, V>::queue_processed_block(const BlsPubkey&, const BlockProposalMessage&, const Hash&,
                                                        const CrosschainCommitment&, const ProcessedParent&) {
    // PLACEHOLDER: replay and voting is not built yet.
    return {};
}

}  // namespace vesk
