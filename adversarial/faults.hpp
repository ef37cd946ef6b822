#pragma once
// The fault model of a scenario run: what can go wrong with a node or the
// network, and when.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace vesk {

// Node indexes of nine or more name no node and match nothing.
struct Fault {
    // Deliveries between the two groups are dropped, both ways.
    struct Partition {
        std::vector<size_t> group_a;
        std::vector<size_t> group_b;
        bool operator==(const Partition&) const = default;
    };
    // Every delivery from or to the node is dropped.
    struct DropMessages {
        size_t node = 0;
        bool operator==(const DropMessages&) const = default;
    };
    // The node is down in the rounds from at_round on.
    struct Crash {
        size_t node = 0;
        uint64_t at_round = 0;
        bool operator==(const Crash&) const = default;
    };
    // A crash of the node ends from at_round on.
    struct Recover {
        size_t node = 0;
        uint64_t at_round = 0;
        bool operator==(const Recover&) const = default;
    };
    // A partition of the two groups that is up for `period` rounds, then down
    // for `period` rounds, and so on, starting partitioned when the fault
    // becomes active; a period of 0 keeps it up.
    struct FlipFlopPartition {
        std::vector<size_t> group_a;
        std::vector<size_t> group_b;
        uint64_t period = 0;
        bool operator==(const FlipFlopPartition&) const = default;
    };

    std::variant<Partition, DropMessages, Crash, Recover, FlipFlopPartition> value;

    bool operator==(const Fault&) const = default;
};

// A fault active in the rounds r with start <= r < end.
struct ScheduledFault {
    uint64_t start = 0;
    uint64_t end = 0;
    Fault fault;

    bool operator==(const ScheduledFault&) const = default;
    bool is_active(uint64_t round) const { return start <= round && round < end; }
};

// The faults in force in a round, in schedule order. A flip-flop partition
// is in force only in its partitioned rounds.
std::vector<Fault> active_faults(std::span<const ScheduledFault> schedule, uint64_t round);

// Whether node k is down in a round, given the faults in force in it: the
// crashes and recoveries of k fold in order, so a later one overrides.
bool is_crashed(size_t node, uint64_t round, std::span<const Fault> active);

void debug(std::string& out, const Fault& f);
void debug(std::string& out, const ScheduledFault& f);

}  // namespace vesk
