#pragma once
// Certification of the leader's proposals and moving the chain tip.
#include "consensus/statemachine/statemachine.hpp"

namespace vesk {

template <Timestamper T, VoteVerifier V>
SubResult VeskStatemachine<T, V>::certify_proposal(const QuorumView&, const QuorumMessage&,
                                                   std::vector<std::pair<BlsPubkey, BlsSignature>>) {
    // PLACEHOLDER: certification is not built yet.
    return {};
}


template <Timestamper T, VoteVerifier V>
SubResult VeskStatemachine<T, V>::receive_certificate(QuorumCertificate) {
    // PLACEHOLDER: the certificate path is not built yet.
    return {};
}

}  // namespace vesk
