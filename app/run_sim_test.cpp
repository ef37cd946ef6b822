#include "app/run_sim.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <set>
#include <thread>

#include "base/text.hpp"

namespace vesk {
namespace {

using namespace std::chrono_literals;

std::string hex(const std::array<uint8_t, 32>& bytes) {
    std::string s;
    append_hex(s, bytes);
    return s;
}

TEST(NodeKeySeed, LinearCongruentialBytes) {
    // Bits 24-31 of each of 32 steps of state * 6364136223846793005 + 1 from
    // seed XOR index.
    EXPECT_EQ(hex(node_key_seed(3, 1)), "994f32657f4b7a4a54d363b87298b1f0c9539b8fa624a40e80de96e68242ca2c");
    EXPECT_EQ(hex(node_key_seed(std::numeric_limits<uint64_t>::max(), 5)),
              "3443a1d1ccc07a884c52e525bf2716a5406704753c774e3a4ecdb0b0f8ff8703");
    // Without a seed: the same fixed seeds on every run, distinct per index.
    EXPECT_EQ(hex(node_key_seed(std::nullopt, 0)), "004c4e40d2293ada12b34353857c0add679875084cf90f59345a1cd9e0b1f962");
    std::set<std::array<uint8_t, 32>> seen;
    for (uint64_t i = 0; i < 16; ++i) seen.insert(node_key_seed(std::nullopt, i));
    EXPECT_EQ(seen.size(), 16u);
}

std::vector<BlsPubkey> ids(const std::vector<std::unique_ptr<ConsensusNodeLogic>>& nodes) {
    std::vector<BlsPubkey> out;
    for (const auto& n : nodes) out.push_back(n->get_id());
    return out;
}

TEST(BuildNodes, SameSeedSameKeysAndOneSharedView) {
    auto seeded = build_nodes(7, 4);
    ASSERT_EQ(seeded.size(), 4u);
    EXPECT_EQ(ids(seeded), ids(build_nodes(7, 4)));
    EXPECT_NE(ids(seeded), ids(build_nodes(8, 4)));
    EXPECT_EQ(ids(build_nodes(std::nullopt, 4)), ids(build_nodes(std::nullopt, 4)));
    std::vector<BlsPubkey> keys = ids(seeded);
    EXPECT_EQ(std::set<BlsPubkey>(keys.begin(), keys.end()).size(), 4u);

    // Every node holds the same view over slots 0-99 with stake 1 each, votes
    // through the batch verifier and starts at the zero certificate.
    std::optional<Hash> view_id;
    for (const auto& n : seeded) {
        auto* node = dynamic_cast<SimNode<SystemTimestamper>*>(n.get());
        ASSERT_NE(node, nullptr);
        const QuorumView& view = node->state.current_view;
        EXPECT_EQ(view.start_slot, 0u);
        EXPECT_EQ(view.end_slot, 100u);
        EXPECT_EQ(view.len(), 4u);
        EXPECT_EQ(view.total_stake, u128{4});
        if (!view_id) view_id = view.view_id;
        EXPECT_EQ(view.view_id, *view_id);
        EXPECT_TRUE(node->state.vote_verifier.enabled);
        EXPECT_EQ(node->state.tip_slot(), 0u);
    }
}

TEST(ResolveChannelConfig, PresetThenOverrides) {
    RunSimOptions o;
    EXPECT_EQ(resolve_channel_config(o), (ChannelConfig{2.0f, 0.0f, 0.0f, 0.0f}));

    o.channel_preset = "Regional";
    o.drop_prob = 0.5f;
    ChannelConfig want = *ChannelConfig::from_preset_name("regional");
    want.packetdrop_prob = 0.5f;
    EXPECT_EQ(resolve_channel_config(o), want);

    o.channel_preset.reset();
    o.latency_base = 9.0f;
    o.jitter_mean = 1.0f;
    o.jitter_stddev = 0.5f;
    EXPECT_EQ(resolve_channel_config(o), (ChannelConfig{9.0f, 1.0f, 0.5f, 0.5f}));
}

TEST(StartLine, DefaultsAndAPresetWithOverrides) {
    RunSimOptions o;
    EXPECT_EQ(start_line(o, 1000, 1000, 5, resolve_channel_config(o)),
              "Starting simulation: nodes=5, tick_ms=1000, sleep_ms=1000, duration_secs=None, rounds=None, "
              "latency_base=2.0ms, jitter=logN(0.00, 0.00), drop_prob=0.000\n");
    o.duration_secs = 30;
    o.rounds = 0;
    o.channel_preset = "regional";
    o.drop_prob = 0.5f;
    ChannelConfig c = resolve_channel_config(o);
    EXPECT_EQ(start_line(o, 20, 0, 16, c),
              format("Starting simulation: nodes=16, tick_ms=20, sleep_ms=0, duration_secs=Some(30), rounds=Some(0), "
                     "latency_base={}ms, jitter=logN({}, {}), drop_prob=0.500\n",
                     fixed_decimals(c.latency_base_ms, 1), fixed_decimals(c.latency_jitter_log_mean, 2),
                     fixed_decimals(c.latency_jitter_log_stddev, 2)));
}

TEST(RunLimits, RoundsAndWholeSecondsOfDuration) {
    RunLimits zero_rounds(std::nullopt, 0);
    EXPECT_FALSE(zero_rounds.begin_iteration(0s));
    RunLimits zero_duration(0, std::nullopt);
    EXPECT_FALSE(zero_duration.begin_iteration(0s));

    RunLimits three(std::nullopt, 3);
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(three.begin_iteration(100s));
    EXPECT_FALSE(three.begin_iteration(100s));

    RunLimits two_secs(2, std::nullopt);
    EXPECT_TRUE(two_secs.begin_iteration(1999ms));
    EXPECT_FALSE(two_secs.begin_iteration(2s));

    // Whichever limit comes first.
    RunLimits both(2, 100);
    EXPECT_TRUE(both.begin_iteration(1s));
    EXPECT_FALSE(both.begin_iteration(3s));
    RunLimits forever(std::nullopt, std::nullopt);
    EXPECT_TRUE(forever.begin_iteration(std::chrono::hours(1'000'000)));
}

ScriptAction action(double at, std::optional<std::string> description, std::vector<ScriptCommand> commands = {}) {
    return ScriptAction{at, std::move(description), std::move(commands)};
}

TEST(DueActions, EachRunsOnceInOrderWhenItsTimeHasCome) {
    std::vector<ScriptAction> actions{action(0.0, "a"), action(1.0, "b"), action(1.0, "c"), action(5.0, "d"),
                                      action(NAN, "never")};
    DueActions due(&actions);
    std::string ran;
    auto record = [&](const ScriptAction& a) { ran += *a.description; };
    due.run_due(0.0, record);
    EXPECT_EQ(ran, "a");
    due.run_due(0.999, record);
    EXPECT_EQ(ran, "a");
    due.run_due(1.0, record);
    EXPECT_EQ(ran, "abc");
    due.run_due(1e9, record);
    EXPECT_EQ(ran, "abcd");
    due.run_due(INFINITY, record);
    EXPECT_EQ(ran, "abcd");

    DueActions no_script(nullptr);
    no_script.run_due(1e9, record);
    EXPECT_EQ(ran, "abcd");
}

TEST(ActionLine, OnlyWithADescription) {
    EXPECT_EQ(action_line(action(1.5, "partition heals")), "[script @ 1.5s] partition heals");
    EXPECT_EQ(action_line(action(0.25, "x")), "[script @ 0.2s] x");
    EXPECT_EQ(action_line(action(2.0, std::nullopt)), std::nullopt);
    EXPECT_EQ(action_line(action(3.0, "two\nlines \x1b[2J")), "[script @ 3.0s] two\\nlines \\x1b[2J");
    EXPECT_EQ(action_line(action(4.0, "csi \xc2\x9b" "2J \xe2\x80\xae" "abc")),
              "[script @ 4.0s] csi \\u{9b}2J \\u{202e}abc");
}

TEST(WaitForPrinter, OneNoticeOnlyWhenAnInterruptedWaitOutlastsThePatience) {
    using Clock = std::chrono::steady_clock;
    struct Case {
        const char* name;
        bool interrupted;                                // the loop saw the interrupt
        std::optional<std::chrono::milliseconds> clear;  // else when RUNNING is cleared during the wait
        std::chrono::milliseconds printer;               // when the printer is done
        bool notice;
    };
    const Case cases[] = {
        {"no interrupt, slow printer", false, std::nullopt, 1000ms, false},
        {"interrupt seen by the loop, printer done", true, std::nullopt, 0ms, false},
        {"interrupt seen by the loop, slow printer", true, std::nullopt, 1500ms, true},
        {"interrupt during the wait, slow printer", false, 200ms, 1500ms, true},
        {"interrupt before the wait, unseen by the loop", false, 0ms, 1500ms, true},
        {"interrupt during the wait, printer done", false, 200ms, 0ms, false},
    };
    for (const Case& c : cases) {
        std::atomic<bool> running{!c.interrupted};
        const auto start = Clock::now();
        if (c.clear == 0ms) running = false;
        std::thread clearer;
        if (c.clear && *c.clear > 0ms) {
            clearer = std::thread([&] {
                std::this_thread::sleep_until(start + *c.clear);
                running = false;
            });
        }
        auto done_within = [&](std::chrono::nanoseconds wait) {
            const auto done_at = start + c.printer;
            std::this_thread::sleep_until(std::min(done_at, Clock::now() + wait));
            return Clock::now() >= done_at;
        };
        std::vector<Clock::duration> notices;
        wait_for_printer(done_within, c.interrupted, running, [&] { notices.push_back(Clock::now() - start); });
        if (clearer.joinable()) clearer.join();
        EXPECT_GE(Clock::now() - start, c.printer) << c.name;
        ASSERT_EQ(notices.size(), c.notice ? 1u : 0u) << c.name;
        if (c.notice) {
            EXPECT_GE(notices[0], c.clear.value_or(0ms) + LOG_CATCH_UP_PATIENCE) << c.name;
        }
    }
}

ChannelConfigSpec preset(const char* name) { return ChannelConfigSpec{ChannelConfigSpec::Preset{name}}; }

TEST(ControlOrders, ScriptCommandsBecomeControlMessages) {
    using C = ExchangeControlMessage;
    const ChannelConfig custom{5.0f, 1.0f, 0.5f, 0.1f};
    const ChannelConfig disaster = *ChannelConfig::from_preset_name("disaster");

    auto one_exchange = [](const ScriptCommand& cmd) {
        auto orders = control_orders(cmd, 5);
        EXPECT_EQ(orders.size(), 1u);
        return std::get<ExchangeControlMessage>(orders.at(0)).kind;
    };

    auto d = std::get<C::SetDefaultConfig>(
        one_exchange(ScriptCommand{ScriptCommand::SetDefaultConfig{ChannelConfigSpec{ChannelConfigSpec::Custom{custom}}}}));
    EXPECT_EQ(d.config, custom);

    auto set = std::get<C::SetRouteConfig>(
        one_exchange(ScriptCommand{SetRouteConfigAction{3, 1, 7, preset("DISASTER")}}));
    EXPECT_EQ(set.route, (RouteDescriptor{1, 3}));
    EXPECT_EQ(set.config, disaster);
    EXPECT_EQ(set.priority, 7);

    auto unset = std::get<C::UnsetRouteConfig>(one_exchange(ScriptCommand{UnsetRouteConfigAction{4, 0, 2}}));
    EXPECT_EQ(unset.route, (RouteDescriptor{0, 4}));
    EXPECT_EQ(unset.priority, 2);

    auto node = std::get<C::SetRoutesForNode>(one_exchange(ScriptCommand{SetRoutesForNodeAction{2, 9, preset("long-distance")}}));
    EXPECT_EQ(node.node, 2u);
    EXPECT_EQ(node.config, *ChannelConfig::from_preset_name("long_distance"));
    EXPECT_EQ(node.priority, 9);

    auto unode = std::get<C::UnsetRoutesForNode>(one_exchange(ScriptCommand{UnsetRoutesForNodeAction{1, 3}}));
    EXPECT_EQ(unode.node, 1u);
    EXPECT_EQ(unode.priority, 3);

    auto hood = std::get<C::DefineNeighborhood>(
        one_exchange(ScriptCommand{DefineNeighborhoodAction{{3, 0, 2}, 1, ChannelConfigSpec{ChannelConfigSpec::Custom{custom}}}}));
    EXPECT_EQ(hood.nodes, (std::vector<size_t>{3, 0, 2}));
    EXPECT_EQ(hood.config, custom);
    EXPECT_EQ(hood.priority, 1);

    auto uhood = std::get<C::UnsetNeighborhood>(one_exchange(ScriptCommand{UnsetNeighborhoodAction{{4, 1}, 0}}));
    EXPECT_EQ(uhood.nodes, (std::vector<size_t>{4, 1}));

    // No route joins a node to itself.
    EXPECT_TRUE(control_orders(ScriptCommand{SetRouteConfigAction{2, 2, 0, preset("local")}}, 5).empty());
    EXPECT_TRUE(control_orders(ScriptCommand{UnsetRouteConfigAction{2, 2, 0}}, 5).empty());
}

TEST(ControlOrders, NodeControlSelectsNodesInOrder) {
    auto targets = [](const NodeSelector& selector, NodeControlMessage m, size_t n) {
        std::vector<size_t> out;
        for (const ControlOrder& o : control_orders(ScriptCommand{NodeControlAction{selector, m}}, n)) {
            const auto& order = std::get<NodeOrder>(o);
            EXPECT_EQ(order.message, m);
            out.push_back(order.node);
        }
        return out;
    };
    EXPECT_EQ(targets(NodeSelector{NodeSelector::All{}}, NodeControlMessage::Pause, 3),
              (std::vector<size_t>{0, 1, 2}));
    EXPECT_EQ(targets(NodeSelector{NodeSelector::List{{4, 1, 1, 3, 0}}}, NodeControlMessage::Finish, 3),
              (std::vector<size_t>{1, 1, 0}));
    EXPECT_TRUE(targets(NodeSelector{NodeSelector::List{}}, NodeControlMessage::Resume, 3).empty());
}

}  // namespace
}  // namespace vesk
