#include "adversarial/scenarios.hpp"

namespace vesk {

SimResult Scenario::run() const {
    ConsensusSimulator sim(SimConfig{faults, rounds, seed});
    return sim.run();
}

}  // namespace vesk
