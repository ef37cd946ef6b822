// The scenario simulator on small schedules: construction, the fault filter,
// fan-out, skipped rounds, injection, the entry shortcut and the report.
#include <gtest/gtest.h>

#include <map>

#include "adversarial/simulator.hpp"
#include "base/text.hpp"
#include "consensus/bls.hpp"

namespace vesk {
namespace {

using Sim = ConsensusSimulator;

std::vector<Fault> one(Fault f) { return {std::move(f)}; }

// Dropped deliveries per round.
std::map<uint64_t, size_t> drops_by_round(const SimLog& log) {
    std::map<uint64_t, size_t> out;
    for (const SimEvent& e : log.events) {
        if (e.is<SimEvent::MessageDropped>()) ++out[e.round];
    }
    return out;
}

std::vector<std::pair<size_t, uint64_t>> all_at(uint64_t tip) {
    std::vector<std::pair<size_t, uint64_t>> out;
    for (size_t i = 0; i < 9; ++i) out.emplace_back(i, tip);
    return out;
}

std::vector<uint64_t> slots_up_to(uint64_t n) {
    std::vector<uint64_t> out;
    for (uint64_t s = 1; s <= n; ++s) out.push_back(s);
    return out;
}

std::vector<uint8_t> tx_bytes(uint64_t seed, uint64_t round, uint64_t i) {
    std::vector<uint8_t> out;
    for (uint64_t v : {seed, round, i}) {
        for (int b = 0; b < 8; ++b) out.push_back(static_cast<uint8_t>(v >> (8 * b)));
    }
    return out;
}

TEST(Simulator, ZeroRounds) {
    Sim sim(SimConfig{{}, 0, 42});
    const SimResult r = sim.run();
    EXPECT_EQ(r.log.events, (std::vector<SimEvent>{
                                {0, SimEvent::Started{}},
                                {0, SimEvent::InvariantViolated{"Liveness", "No blocks were finalized"}},
                            }));
    EXPECT_TRUE(r.finalized_slots.empty());
    EXPECT_EQ(r.per_node, all_at(0));
    EXPECT_EQ(r.leader_finalized, 0u);
    EXPECT_EQ(r.summary(),
              "Rounds: 0, Finalized slots: [], Leader finalized: 0, Lagging: [none], Invariants:\n"
              "  [PASS] Safety: No forks detected\n"
              "  [FAIL] Liveness: No blocks were finalized\n"
              "  [PASS] Consistency: Chain is consistent\n"
              "  [PASS] NoForks: No duplicate heights\n"
              "  [PASS] MonotonicHeights: Heights are monotonic");
}

TEST(Simulator, SummaryListsLaggingNodesAndFailures) {
    SimResult r;
    r.finalized_slots = {3, 4, 9};
    r.leader_finalized = 9;
    r.per_node = {{0, 9}, {1, 4}, {2, 9}, {3, 0}, {4, 12}};
    r.invariants = {{"Safety", true, "No forks detected"}, {"Liveness", false, "No blocks were finalized"}};
    EXPECT_EQ(r.summary(),
              "Rounds: 3, Finalized slots: [3, 4, 9], Leader finalized: 9, Lagging: [node 1@slot 4, node 3@slot 0], "
              "Invariants:\n"
              "  [PASS] Safety: No forks detected\n"
              "  [FAIL] Liveness: No blocks were finalized");
}

TEST(Simulator, NodesComeFromTheFixedSeedsInViewOrder) {
    std::array<uint8_t, 32> first;
    first.fill(0x3a);
    EXPECT_EQ(Sim::NODE_SEEDS[0], first);
    EXPECT_EQ(Sim::NODE_SEEDS[6][31], 0x91);
    EXPECT_EQ(Sim::NODE_SEEDS[8][0], 0xb3);

    std::vector<std::pair<BlsPubkey, uint64_t>> members;
    for (const auto& seed : Sim::NODE_SEEDS) members.emplace_back(bls::pubkey_from_secret(bls::keygen(seed)), 1);
    const QuorumView view(0, 10000, members);

    const Sim sim(SimConfig{{}, 5, 1});
    ASSERT_EQ(sim.nodes.size(), 9u);
    for (size_t i = 0; i < 9; ++i) {
        const auto& m = sim.nodes[i].state;
        EXPECT_EQ(m.identity.pubkey, view.keys[i]) << "node " << i;
        EXPECT_EQ(m.current_view.view_id, view.view_id);
        EXPECT_TRUE(m.vote_verifier.enabled);
        EXPECT_TRUE(m.tip_persisted);
        EXPECT_EQ(m.tip_slot(), 0u);
    }
    EXPECT_TRUE(sim.nodes[0].state.am_vesk_for_slot(1));
    EXPECT_EQ(sim.leader, 0u);
    EXPECT_EQ(sim.tick, std::chrono::milliseconds(10));
    EXPECT_FALSE(sim.last_injected);
}

TEST(Simulator, FaultFilter) {
    const Fault partition{Fault::Partition{{1, 2, 3}, {4, 5, 6}}};
    const Fault flip_flop{Fault::FlipFlopPartition{{1, 2, 3}, {4, 5, 6}, 3}};
    const Fault drops{Fault::DropMessages{3}};
    struct Case {
        size_t from, to;
        bool partition, drops;
    };
    const Case cases[] = {
        {1, 4, true, true}, {4, 1, true, true},  {0, 4, false, false}, {7, 2, false, false}, {1, 2, false, false},
        {3, 6, true, true}, {3, 0, false, true}, {8, 3, false, true},  {5, 6, false, false}, {9, 4, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(format("{} -> {}", c.from, c.to));
        EXPECT_EQ(Sim::should_drop_message(c.from, c.to, one(partition)), c.partition);
        // A flip-flop partition in force acts as a partition.
        EXPECT_EQ(Sim::should_drop_message(c.from, c.to, one(flip_flop)), c.partition);
        EXPECT_EQ(Sim::should_drop_message(c.from, c.to, one(drops)), c.from == 3 || c.to == 3);
        EXPECT_EQ(Sim::should_drop_message(c.from, c.to, std::vector<Fault>{partition, drops}), c.drops);
        EXPECT_FALSE(Sim::should_drop_message(c.from, c.to, {}));
        EXPECT_FALSE(Sim::should_drop_message(
            c.from, c.to, std::vector<Fault>{Fault{Fault::Crash{c.from, 0}}, Fault{Fault::Recover{c.to, 0}}}));
    }
    // Indexes past the last node match nothing.
    EXPECT_FALSE(Sim::should_drop_message(0, 1, one(Fault{Fault::Partition{{9, 10}, {0, 1}}})));
    EXPECT_FALSE(Sim::should_drop_message(0, 1, one(Fault{Fault::DropMessages{9}})));
}

TEST(Simulator, FanOut) {
    const Sim sim(SimConfig{{}, 1, 1});
    const ConsensusMessage ping(Ping(sim.nodes[4].get_id(), 7, sim.nodes[4].state.identity.secret));
    std::vector<Sim::Node::Message> out;
    out.push_back({Sim::Node::Message::Broadcast{std::nullopt, ping}});
    out.push_back({Sim::Node::Message::Unicast{sim.nodes[6].get_id(), 2.5f, ping}});
    BlsPubkey stranger;
    stranger.bytes[0] = 0xc0;
    out.push_back({Sim::Node::Message::Unicast{stranger, std::nullopt, ping}});

    const auto deliveries = sim.unpack_nodelogic_messages(4, std::move(out));
    ASSERT_EQ(deliveries.size(), 9u);
    const size_t broadcast_targets[] = {0, 1, 2, 3, 5, 6, 7, 8};
    for (size_t i = 0; i < 8; ++i) {
        EXPECT_EQ(deliveries[i].from, 4u);
        EXPECT_EQ(deliveries[i].to, broadcast_targets[i]);
        EXPECT_EQ(deliveries[i].message, ping);
        EXPECT_FALSE(deliveries[i].delay_ms);
    }
    EXPECT_EQ(deliveries[8].from, 4u);
    EXPECT_EQ(deliveries[8].to, 6u);
    EXPECT_EQ(deliveries[8].delay_ms, 2.5f);
}

TEST(Simulator, CrashedLeaderRoundsAreSkipped) {
    Sim sim(SimConfig{{{3, 6, Fault{Fault::Crash{0, 4}}}}, 8, 42});
    const WallTime start = sim.clock.now();
    const SimResult r = sim.run();

    std::vector<SimEvent> expected{{0, SimEvent::Started{}}};
    for (uint64_t round : {0, 1, 2, 3}) expected.push_back({round, SimEvent::LeaderFinalized{round + 1, 0}});
    expected.push_back({4, SimEvent::Note{"Vesk node 0 crashed"}});
    expected.push_back({5, SimEvent::Note{"Vesk node 0 crashed"}});
    expected.push_back({6, SimEvent::LeaderFinalized{5, 0}});
    expected.push_back({7, SimEvent::LeaderFinalized{6, 0}});
    EXPECT_EQ(r.log.events, expected);
    EXPECT_EQ(r.finalized_slots, slots_up_to(6));
    EXPECT_EQ(r.per_node, all_at(6));
    // Six executed rounds of 10 ms; skipped rounds leave the clock alone.
    EXPECT_EQ(sim.clock.now(), start.plus(std::chrono::milliseconds(60)));
    EXPECT_EQ(r.invariants[1].message, "6 blocks finalized out of 9 events");
}

TEST(Simulator, InjectedTransactionsReachEveryNodeThroughTheShortcut) {
    // Node 3 is down: no delivery reaches it, but the entries do.
    Sim sim(SimConfig{{{0, 5, Fault{Fault::Crash{3, 0}}}}, 1, 7});
    const SimResult r = sim.run();
    EXPECT_EQ(r.finalized_slots, std::vector<uint64_t>{1});
    EXPECT_EQ(sim.last_injected, 1u);

    const BlsPubkey leader = sim.nodes[0].get_id();
    const std::vector<std::vector<uint8_t>> txs{tx_bytes(7, 0, 0), tx_bytes(7, 0, 1), tx_bytes(7, 0, 2)};
    for (size_t i = 0; i < 9; ++i) {
        auto entries = sim.nodes[i].state.entry_container.get(leader, 1);
        ASSERT_TRUE(entries) << "node " << i;
        ASSERT_EQ(entries->size(), 1u);
        EXPECT_EQ(entries->at(0).transactions, txs) << "node " << i;
        EXPECT_EQ(sim.nodes[i].state.tip_slot(), i == 3 ? 0u : 1u);
    }
    EXPECT_EQ(r.summary().substr(0, r.summary().find('\n')),
              "Rounds: 1, Finalized slots: [1], Leader finalized: 1, Lagging: [node 3@slot 0], Invariants:");
}

TEST(Simulator, LostProposalStallsTheLeaderWithoutReinjection) {
    // The leader is cut off for round 0 only. It proposes slot 1 once and
    // never resends it, so nobody ever votes and its tip stays at 0.
    std::vector<size_t> others{1, 2, 3, 4, 5, 6, 7, 8};
    Sim sim(SimConfig{{{0, 1, Fault{Fault::Partition{{0}, others}}}}, 3, 42});
    const SimResult r = sim.run();
    // An announcement and a proposal to each of the eight others.
    EXPECT_EQ(drops_by_round(r.log), (std::map<uint64_t, size_t>{{0, 16}}));
    EXPECT_TRUE(r.finalized_slots.empty());
    EXPECT_EQ(r.per_node, all_at(0));
    EXPECT_FALSE(r.invariants[1].passed);
    EXPECT_EQ(r.log.events.back(), (SimEvent{3, SimEvent::InvariantViolated{"Liveness", "No blocks were finalized"}}));

    // Rounds 1 and 2 inject nothing: the slot-1 entry still holds round 0's
    // transactions and nothing waits to be cut.
    const auto& leader = sim.nodes[0].state;
    EXPECT_EQ(sim.last_injected, 1u);
    EXPECT_TRUE(leader.pending_txs.empty());
    auto entries = leader.entry_container.get(leader.identity.pubkey, 1);
    ASSERT_TRUE(entries);
    ASSERT_EQ(entries->size(), 1u);
    EXPECT_EQ(entries->at(0).transactions,
              (std::vector<std::vector<uint8_t>>{tx_bytes(42, 0, 0), tx_bytes(42, 0, 1), tx_bytes(42, 0, 2)}));
    EXPECT_EQ(leader.proposals.at({leader.identity.pubkey, 1}).local_bank_hash, Hash{});
}

TEST(Simulator, FlipFlopPartitionCutsOnlyItsPartitionedRounds) {
    // Nodes 1 and 2 lose the leader's broadcasts every other three rounds;
    // the other seven still certify every slot, and a certificate brings the
    // two back up once connected.
    Sim sim(SimConfig{{{0, 12, Fault{Fault::FlipFlopPartition{{1, 2}, {0}, 3}}}}, 12, 42});
    const SimResult r = sim.run();
    const auto drops = drops_by_round(r.log);
    EXPECT_EQ(drops, (std::map<uint64_t, size_t>{{0, 6}, {1, 6}, {2, 6}, {6, 6}, {7, 6}, {8, 6}}));
    for (const SimEvent& e : r.log.events) {
        if (const auto* d = e.get_if<SimEvent::MessageDropped>()) {
            EXPECT_EQ(d->from, 0u);
            EXPECT_TRUE(d->to == 1 || d->to == 2);
        }
    }
    EXPECT_EQ(r.finalized_slots, slots_up_to(12));
    EXPECT_EQ(r.per_node, all_at(12));
}

TEST(Simulator, FlipFlopPartitionWithPeriodZeroNeverLifts) {
    Sim sim(SimConfig{{{2, 6, Fault{Fault::FlipFlopPartition{{1, 2}, {0}, 0}}}}, 8, 42});
    const SimResult r = sim.run();
    EXPECT_EQ(drops_by_round(r.log), (std::map<uint64_t, size_t>{{2, 6}, {3, 6}, {4, 6}, {5, 6}}));
    EXPECT_EQ(r.finalized_slots, slots_up_to(8));
}

}  // namespace
}  // namespace vesk
