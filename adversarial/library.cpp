#include "adversarial/library.hpp"

#include <utility>

namespace vesk::library {

namespace {

using Partition = Fault::Partition;
using DropMessages = Fault::DropMessages;
using Crash = Fault::Crash;
using Recover = Fault::Recover;
using FlipFlopPartition = Fault::FlipFlopPartition;

// Every library scenario uses the same transaction seed.
constexpr uint64_t SEED = 42;

Scenario scenario(std::string name, std::string description, uint64_t rounds, std::vector<ScheduledFault> faults = {}) {
    return Scenario{std::move(name), std::move(description), std::move(faults), rounds, SEED};
}

ScheduledFault window(uint64_t start, uint64_t end, auto fault) { return ScheduledFault{start, end, Fault{fault}}; }

}  // namespace

Scenario single_crash() {
    return scenario("single-crash", "One base node crashes mid-run", 30, {window(10, 30, Crash{3, 10})});
}

Scenario minority_crash() {
    return scenario("minority-crash", "2 of 6 nodes crash", 30,
                    {window(5, 30, Crash{4, 5}), window(5, 30, Crash{5, 5})});
}

Scenario majority_crash() {
    return scenario("majority-crash", "4 of 6 nodes crash \u2014 tests liveness failure", 20,
                    {window(5, 20, Crash{2, 5}), window(5, 20, Crash{3, 5}), window(5, 20, Crash{4, 5}),
                     window(5, 20, Crash{5, 5})});
}

Scenario leader_crash_and_recover() {
    return scenario("leader-crash-recover", "Leader crashes then restarts after 10 rounds", 30,
                    {window(5, 15, Crash{1, 5}), window(15, 30, Recover{1, 15})});
}

Scenario network_partition_minority() {
    return scenario("partition-minority", "Minority partition: 2 nodes split from 4", 30,
                    {window(5, 20, Partition{{1, 2, 3, 4}, {5, 6}})});
}

Scenario network_partition_even() {
    return scenario("partition-even", "Even split: 3 vs 3 \u2014 neither has supermajority", 30,
                    {window(5, 20, Partition{{1, 2, 3}, {4, 5, 6}})});
}

Scenario message_drops() {
    return scenario("message-drops", "Messages to/from node 3 are dropped for 10 rounds", 30,
                    {window(5, 15, DropMessages{3})});
}

Scenario flip_flop_partition() {
    return scenario("flip-flop-partition", "Network alternates between partitioned and connected every 3 rounds", 30,
                    {window(0, 31, FlipFlopPartition{{1, 2, 3}, {4, 5, 6}, 3})});
}

Scenario stress_test() {
    return scenario("stress-test", "High transaction volume with multiple concurrent faults", 100,
                    {window(20, 40, Crash{5, 20}), window(30, 50, DropMessages{3}),
                     window(50, 70, Partition{{1, 2, 3, 4, 5}, {6, 7, 8, 9, 10}})});
}

std::vector<Scenario> all_scenarios() {
    std::vector<Scenario> all;
    all.push_back(scenario("happy-path", "No faults \u2014 baseline honest operation", 50));
    all.push_back(single_crash());
    all.push_back(minority_crash());
    all.push_back(majority_crash());
    all.push_back(leader_crash_and_recover());
    all.push_back(network_partition_minority());
    all.push_back(network_partition_even());
    all.push_back(message_drops());
    all.push_back(flip_flop_partition());
    all.push_back(stress_test());
    return all;
}

}  // namespace vesk::library
