#pragma once
// A named adversarial scenario: a fault schedule, a number of rounds and a
// seed.
#include <cstdint>
#include <string>
#include <vector>

#include "adversarial/faults.hpp"
#include "adversarial/simulator.hpp"

namespace vesk {

struct Scenario {
    std::string name;         // how the command line finds it
    std::string description;  // one line of the scenario list
    std::vector<ScheduledFault> faults;
    uint64_t rounds = 0;
    uint64_t seed = 0;

    // A fresh simulator over this scenario, run once; the scenario stays as
    // it was.
    SimResult run() const;
};

}  // namespace vesk
