#pragma once
// The built-in scenarios.
#include <vector>

#include "adversarial/scenarios.hpp"

namespace vesk::library {

Scenario single_crash();
Scenario minority_crash();
Scenario majority_crash();
Scenario leader_crash_and_recover();
Scenario network_partition_minority();
Scenario network_partition_even();
Scenario message_drops();
Scenario flip_flop_partition();
Scenario stress_test();

// All ten, in listing order, "happy-path" first.
std::vector<Scenario> all_scenarios();

}  // namespace vesk::library
