#pragma once
// Every member definition of the state machine, for a machine with a clock or
// vote verifier that the concerns' own .cpp files do not compile.
#include "consensus/statemachine/statemachine.hpp"

#include "consensus/statemachine/core.hpp"
#include "consensus/statemachine/parked.hpp"
#include "consensus/statemachine/intake.hpp"
#include "consensus/statemachine/replay.hpp"
#include "consensus/statemachine/certificates.hpp"
#include "consensus/statemachine/rotation.hpp"
#include "consensus/statemachine/tick.hpp"
#include "consensus/statemachine/recovery.hpp"
#include "consensus/statemachine/catchup.hpp"
