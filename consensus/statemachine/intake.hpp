#pragma once
// Follower intake: announcements, proposals, certificates.
#include "consensus/statemachine/statemachine.hpp"

namespace vesk {

template <Timestamper T, VoteVerifier V>
SubResult VeskStatemachine<T, V>::follower_receive(ConsensusMessage msg) {
    // PLACEHOLDER: follower intake is not built yet; a follower only answers
    // pings.
    if (const auto* ping = msg.template get_if<Ping>()) return handle_ping(*ping);
    return {};
}

}  // namespace vesk
