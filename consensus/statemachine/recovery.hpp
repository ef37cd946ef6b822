#pragma once
// Certificate recovery and state sync.
#include "consensus/statemachine/statemachine.hpp"

namespace vesk {

template <Timestamper T, VoteVerifier V>
SubResult VeskStatemachine<T, V>::handle_state_sync_request(const StateSyncRequest&) {
    // PLACEHOLDER: state sync is not built yet.
    return {};
}

template <Timestamper T, VoteVerifier V>
SubResult VeskStatemachine<T, V>::process_state_sync_response(StateSyncResponse) {
    // PLACEHOLDER: state sync is not built yet.
    return {};
}

template <Timestamper T, VoteVerifier V>
SubResult VeskStatemachine<T, V>::handle_qc_request(const QcRequest&) {
    // PLACEHOLDER: certificate recovery is not built yet.
    return {};
}

template <Timestamper T, VoteVerifier V>
SubResult VeskStatemachine<T, V>::handle_qc_response(const QcResponse&) {
    // PLACEHOLDER: certificate recovery is not built yet.
    return {};
}

}  // namespace vesk
