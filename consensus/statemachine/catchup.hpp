#pragma once
// Shred catch-up: fetching blocks from a peer, and serving peers.
#include "consensus/statemachine/statemachine.hpp"

namespace vesk {

template <Timestamper T, VoteVerifier V>
SubResult VeskStatemachine<T, V>::handle_shreds_available_request(const ShredsAvailableRequest&) {
    // PLACEHOLDER: shred catch-up is not built yet.
    return {};
}

template <Timestamper T, VoteVerifier V>
SubResult VeskStatemachine<T, V>::handle_shreds_available_response(const ShredsAvailableResponse&) {
    // PLACEHOLDER: shred catch-up is not built yet.
    return {};
}

template <Timestamper T, VoteVerifier V>
SubResult VeskStatemachine<T, V>::handle_shreds_fetch_request(const ShredsFetchRequest&) {
    // PLACEHOLDER: shred catch-up is not built yet.
    return {};
}

template <Timestamper T, VoteVerifier V>
SubResult VeskStatemachine<T, V>::handle_shreds_fetch_response(ShredsFetchResponse) {
    // PLACEHOLDER: shred catch-up is not built yet.
    return {};
}

template <Timestamper T, VoteVerifier V>
SubResult VeskStatemachine<T, V>::handle_shreds_behind_response(const ShredsBehindResponse&) {
    // PLACEHOLDER: shred catch-up is not built yet.
    return {};
}

}  // namespace vesk
