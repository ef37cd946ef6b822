#pragma once
// The timer step and proposing.
#include "consensus/statemachine/statemachine.hpp"

namespace vesk {

template <Timestamper T, VoteVerifier V>
SubResult VeskStatemachine<T, V>::tick() {
    // PLACEHOLDER: the timer step is not built yet.
    return {};
}

}  // namespace vesk
