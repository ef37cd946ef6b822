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

template <Timestamper T, VoteVerifier V>
void VeskStatemachine<T, V>::reconcile_shred_catchup_after_tip_advance() {
    if (!shred_catchup) return;
    if (shred_catchup->target_slot < sat_add(tip_slot(), uint64_t{1})) {
        shred_catchup.reset();
    } else if (shred_catchup->deferred_at) {
        shred_catchup->deferred_at.reset();
        shred_catchup->query_nonce = ShredCatchup::fresh_query_nonce();
    }
}

}  // namespace vesk
