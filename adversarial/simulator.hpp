#pragma once
// Nine consensus nodes driven on the calling thread in lock-step rounds over
// a simulated clock, with faults switched on and off by round windows.
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "adversarial/faults.hpp"
#include "adversarial/invariants.hpp"
#include "adversarial/logger.hpp"
#include "base/clock.hpp"
#include "sim/imperfect_channels.hpp"
#include "sim/node_logic.hpp"

namespace vesk {

struct SimConfig {
    std::vector<ScheduledFault> faults;
    uint64_t rounds = 0;  // numbered 0 to rounds - 1
    uint64_t seed = 0;    // first eight bytes of every injected transaction
};

struct SimResult {
    SimLog log;
    std::vector<InvariantResult> invariants;            // in check_all order
    std::vector<uint64_t> finalized_slots;              // strictly increasing
    std::vector<std::pair<size_t, uint64_t>> per_node;  // (node index, tip slot)
    uint64_t leader_finalized = 0;                      // the leader's tip slot

    // The report: counts, slots, lagging nodes, then one line per invariant.
    std::string summary() const;
};

class ConsensusSimulator {
public:
    using Node = SimNode<SimulatedTimestamper>;
    using Delivery = Message<ConsensusMessage, size_t>;

    static constexpr size_t NODE_COUNT = 9;
    // Key seeds, one per key index: fixed so every run has the same nodes.
    static constexpr std::array<std::array<uint8_t, 32>, NODE_COUNT> NODE_SEEDS = [] {
        constexpr uint8_t fill[NODE_COUNT] = {0x3a, 0x4b, 0x5c, 0x6d, 0x7e, 0x8f, 0x91, 0xa2, 0xb3};
        std::array<std::array<uint8_t, 32>, NODE_COUNT> seeds{};
        for (size_t k = 0; k < NODE_COUNT; ++k) seeds[k].fill(fill[k]);
        return seeds;
    }();

    std::optional<uint64_t> last_injected;  // slot the leader last got transactions for
    SimConfig config;
    std::vector<Node> nodes;        // position = node index
    std::vector<uint64_t> history;  // finalized slots, at most one per round
    std::chrono::nanoseconds tick{std::chrono::milliseconds(10)};
    SimulatedTimestamper clock;
    size_t leader = 0;

    explicit ConsensusSimulator(SimConfig config);

    // Runs every round, then checks the invariants. Once per simulator.
    SimResult run();

    static bool should_drop_message(size_t from, size_t to, std::span<const Fault> active);

    // One delivery per target: a broadcast reaches every other node, a
    // unicast the lowest node index holding the key, or nobody.
    std::vector<Delivery> unpack_nodelogic_messages(size_t sender, std::vector<Node::Message> messages) const;

private:
    // The round's crash state of every node.
    std::array<bool, NODE_COUNT> crashed_in(std::span<const Fault> active, uint64_t round) const;
    void inject_transactions(uint64_t round, uint64_t next);
    void copy_leader_entries(const std::vector<Delivery>& deliveries);
    void dispatch(std::vector<Delivery> deliveries, uint64_t round, std::span<const Fault> active,
                  std::vector<Delivery>& wave);
    void run_round(uint64_t round);

    SimLog log_;
};

}  // namespace vesk
