#pragma once
// Parking messages under the event that makes them useful, and feeding them
// back through receive when it happens.
#include "consensus/statemachine/statemachine.hpp"

namespace vesk {

template <Timestamper T, VoteVerifier V>
ConsensusLogEvent VeskStatemachine<T, V>::park_or_report(const ConsensusMessage& msg, uint64_t valid_until,
                                                         const UnparkEvent& event) {
    std::string kind(msg.kind_name());
    if (parked.park(msg, valid_until, event)) return events::ParkedUntilEvent{event, std::move(kind)};
    return events::ParkFailed{std::move(kind)};
}

template <Timestamper T, VoteVerifier V>
SubResult VeskStatemachine<T, V>::process_parked_messages(const UnparkEvent& event) {
    SubResult r;
    for (ConsensusMessage& m : parked.unpark(event)) r += receive(std::move(m));
    return r;
}

}  // namespace vesk
