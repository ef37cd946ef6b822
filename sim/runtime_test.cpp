// Real nodes over the real state machine on real threads and the simulated
// network: the chain grows, and a paused leader is rotated away.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "consensus/test_keys.hpp"
#include "sim/node_logic.hpp"
#include "sim/simulation.hpp"

namespace vesk {
namespace {

using namespace std::chrono_literals;
using Sim = Simulation<BlsPubkey, ConsensusLogEvent, ConsensusMessage>;
using Record = Sim::Record;

struct LiveRun {
    std::vector<BlsPubkey> keys;   // in rotation order
    std::vector<BlsPubkey> built;  // in simulation node order
    std::optional<Sim> sim;
    std::optional<Receiver<Record>> log;
    std::map<BlsPubkey, uint64_t> tips;
    size_t rotations = 0;

    LiveRun(uint32_t n, std::chrono::nanoseconds liveness_timeout) {
        auto ids = testkeys::identities(n);
        auto members = testkeys::stake_one_members(ids);
        QuorumView view(0, 100, members);
        keys = view.keys;
        std::vector<std::unique_ptr<Sim::Logic>> nodes;
        for (auto& id : ids) {
            built.push_back(id.pubkey);
            auto machine = VeskStatemachine<SystemTimestamper>::new_with_config_and_timestamper(
                id, 0, ChainStateSnapshot{std::nullopt, QuorumCertificate{}, std::nullopt, view, false},
                NodeConfig{std::nullopt, liveness_timeout, false}, EntryContainer::make().first, SystemTimestamper{});
            machine.vote_verifier.enabled = true;
            nodes.push_back(std::make_unique<SimNode<SystemTimestamper>>(std::move(machine)));
        }
        auto [tx, rx] = make_channel<Record>();
        log.emplace(std::move(rx));
        sim.emplace(Sim::start_simulation_with_log_sink(std::move(nodes), 5ms,
                                                        *ChannelConfig::from_preset_name("local"), 7, std::move(tx)));
    }

    // Reads the log until every node in `who` has a tip of at least `slot`,
    // or the deadline passes.
    bool wait_for(uint64_t slot, const std::vector<BlsPubkey>& who, std::chrono::seconds limit) {
        auto deadline = std::chrono::steady_clock::now() + limit;
        auto done = [&] {
            return std::all_of(who.begin(), who.end(), [&](const BlsPubkey& k) { return tips[k] >= slot; });
        };
        while (!done()) {
            auto r = log->recv_until(deadline);
            if (r.status != RecvStatus::Value) return false;
            const auto* node = std::get_if<ExtendedLogSource<BlsPubkey>::Node>(&r.value->source.value);
            const auto* msg = std::get_if<ExtendedLogMessage<ConsensusLogEvent>::Consensus>(&r.value->message.value);
            if (node == nullptr || msg == nullptr) continue;
            if (const auto* valid = std::get_if<events::CertificateValid>(&msg->event)) {
                uint64_t& tip = tips[node->id];
                tip = std::max(tip, valid->quorum_certificate->message.slot);
            }
            if (std::holds_alternative<events::LeaderRotated>(msg->event)) ++rotations;
        }
        return true;
    }
};

TEST(Runtime, FourNodesGrowTheChain) {
    LiveRun run(4, 2s);
    EXPECT_TRUE(run.wait_for(20, run.keys, 60s));
    for (const auto& k : run.keys) EXPECT_GE(run.tips[k], 20u);
}

TEST(Runtime, PausedLeaderIsRotatedAway) {
    LiveRun run(4, 300ms);
    ASSERT_TRUE(run.wait_for(3, run.keys, 60s));
    // The first rotation member leads while nothing fails; pause it.
    const BlsPubkey& leader = run.keys[0];
    size_t index = std::find(run.built.begin(), run.built.end(), leader) - run.built.begin();
    run.sim->node_controls[index].send(NodeControlMessage::Pause);
    uint64_t reached = 0;
    for (const auto& [k, t] : run.tips) reached = std::max(reached, t);
    std::vector<BlsPubkey> live;
    for (const auto& k : run.keys) {
        if (k != leader) live.push_back(k);
    }
    size_t rotations_before = run.rotations;
    EXPECT_TRUE(run.wait_for(reached + 8, live, 60s));
    EXPECT_GT(run.rotations, rotations_before);
}

}  // namespace
}  // namespace vesk
