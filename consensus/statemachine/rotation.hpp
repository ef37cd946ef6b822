#pragma once
// Leader rotation and liveness.
#include "consensus/statemachine/statemachine.hpp"

namespace vesk {

}  // namespace vesk
