#include "sim/imperfect_channels.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <map>
#include <memory>
#include <new>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace vesk {
namespace {

using namespace std::chrono_literals;
using Ctl = ExchangeControlMessage;
using Target = TargetAddress<std::string>;
using Egress = Message<int, Target>;

constexpr float INF = std::numeric_limits<float>::infinity();
constexpr float NaN = std::numeric_limits<float>::quiet_NaN();
const ChannelConfig LOCAL{2.0f, 0.0f, 0.0f, 0.0f};

struct RecordingSink {
    std::shared_ptr<std::vector<ExchangeLogEvent>> events = std::make_shared<std::vector<ExchangeLogEvent>>();
    void send(ExchangeLogEvent e) { events->push_back(std::move(e)); }
};

// An exchange driven by hand: no thread, a fixed clock reading, a seed.
struct Net {
    std::pair<Sender<Egress>, Receiver<Egress>> egress = make_channel<Egress>();
    std::pair<Sender<Ctl>, Receiver<Ctl>> control = make_channel<Ctl>();
    std::vector<Receiver<int>> inbound;
    RecordingSink sink;
    std::optional<Exchange<int, std::string, RecordingSink>> ex;

    explicit Net(size_t n, ChannelConfig def = LOCAL, uint64_t seed = 1) {
        std::vector<Sender<int>> senders;
        std::unordered_map<std::string, size_t> ids;
        for (size_t i = 0; i < n; ++i) {
            auto [tx, rx] = make_channel<int>();
            senders.push_back(std::move(tx));
            inbound.push_back(std::move(rx));
            ids.emplace(std::string(1, static_cast<char>('a' + i)), i);
        }
        ex.emplace(std::move(egress.second), std::move(control.second), std::move(ids), def,
                   ChaCha12Rng::from_seed_u64(seed), std::move(senders), sink);
    }

    std::vector<std::string> log() const {
        std::vector<std::string> out;
        for (const auto& e : *sink.events) out.push_back(to_debug(e));
        return out;
    }
    // (offset from `base`, target) of every queued copy, in queue order.
    std::vector<std::pair<std::chrono::nanoseconds, size_t>> queued(Deadline base) const {
        std::vector<std::pair<std::chrono::nanoseconds, size_t>> out;
        ex->for_each_queued([&](Deadline due, const auto& m) { out.emplace_back(due - base, m.to); });
        return out;
    }
    std::vector<int> drain(size_t node) {
        std::vector<int> out;
        for (;;) {
            Received<int> r = inbound[node].try_recv();
            if (r.status != RecvStatus::Value) return out;
            out.push_back(*r.value);
        }
    }
};

Egress broadcast(size_t from, int value, std::optional<float> delay = std::nullopt) {
    return Egress{value, from, Target{Target::Broadcast{}}, delay};
}
Egress unicast(size_t from, std::string to, int value, std::optional<float> delay = std::nullopt) {
    return Egress{value, from, Target{Target::Unicast{std::move(to)}}, delay};
}
Egress to_index(size_t from, size_t to, int value) { return Egress{value, from, Target{Target::NodeIndex{to}}, {}}; }

const Deadline T0 = Deadline(1000s);

std::string route_text(size_t a, size_t b) { return to_debug(*RouteDescriptor::make(a, b)); }
std::string route_of(const std::string& event) {
    auto start = event.find("RouteDescriptor(");
    return event.substr(start, event.find(')', start) - start + 1);
}

// ---- presets and text forms ----

TEST(ChannelConfig, PresetNamesFoldAsciiCaseOnly) {
    ASSERT_EQ(CHANNEL_PRESETS.size(), 5u);
    const char* order[] = {"local", "long_distance", "regional", "congested", "disaster"};
    for (size_t i = 0; i < 5; ++i) EXPECT_EQ(CHANNEL_PRESETS[i].name, order[i]);

    struct Case {
        const char* name;
        std::optional<ChannelConfig> want;
    };
    const ChannelConfig long_distance{120.0f, 1.5f, 0.3f, 0.001f};
    const Case cases[] = {
        {"local", LOCAL},
        {"LOCAL", LOCAL},
        {"Congested", ChannelConfig{80.0f, 3.0f, 1.2f, 0.05f}},
        {"long-distance", long_distance},
        {"Long-Distance", long_distance},
        {"LONG_DISTANCE", long_distance},
        {"regional", ChannelConfig{80.0f, 1.0f, 0.2f, 0.0005f}},
        {"DisasteR", ChannelConfig{200.0f, 4.0f, 1.5f, 0.3f}},
        {"long distance", std::nullopt},
        {"", std::nullopt},
        {" local", std::nullopt},
        {"local ", std::nullopt},
        {"longdistance", std::nullopt},
        {"\xC4\xBD" "ocal", std::nullopt},  // a non-ASCII capital is not folded
    };
    for (const Case& c : cases) EXPECT_EQ(ChannelConfig::from_preset_name(c.name), c.want) << c.name;
}

TEST(ChannelConfig, TextForms) {
    EXPECT_EQ(to_debug(LOCAL),
              "ChannelConfig { latency_base_ms: 2.0, latency_jitter_log_mean: 0.0, latency_jitter_log_stddev: 0.0, "
              "packetdrop_prob: 0.0 }");
    EXPECT_EQ(to_debug(*ChannelConfig::from_preset_name("regional")),
              "ChannelConfig { latency_base_ms: 80.0, latency_jitter_log_mean: 1.0, latency_jitter_log_stddev: 0.2, "
              "packetdrop_prob: 0.0005 }");
    EXPECT_EQ(to_debug(ChannelConfig{-0.0f, INF, NaN, 5e-5f}),
              "ChannelConfig { latency_base_ms: -0.0, latency_jitter_log_mean: inf, latency_jitter_log_stddev: NaN, "
              "packetdrop_prob: 5e-5 }");
    EXPECT_EQ(route_text(3, 0), "RouteDescriptor(0, 3)");
    EXPECT_EQ(to_debug(ExchangeLogEvent{ExchangeLogEvent::RouteConfigSet{*RouteDescriptor::make(0, 3), {LOCAL, 1}}}),
              "RouteConfigSet(RouteDescriptor(0, 3), RouteConfig { body: ChannelConfig { latency_base_ms: 2.0, "
              "latency_jitter_log_mean: 0.0, latency_jitter_log_stddev: 0.0, packetdrop_prob: 0.0 }, "
              "config_priority: 1 })");
    EXPECT_EQ(to_debug(ExchangeLogEvent{ExchangeLogEvent::RouteConfigUnset{*RouteDescriptor::make(0, 3)}}),
              "RouteConfigUnset(RouteDescriptor(0, 3))");
    EXPECT_EQ(to_debug(ExchangeLogEvent{ExchangeLogEvent::DefaultConfigChanged{ChannelConfig{120.0f, 1.5f, 0.3f, 0.001f}}}),
              "DefaultConfigChanged(ChannelConfig { latency_base_ms: 120.0, latency_jitter_log_mean: 1.5, "
              "latency_jitter_log_stddev: 0.3, packetdrop_prob: 0.001 })");
    EXPECT_EQ(to_debug(RouteConfig{LOCAL, 255}), "RouteConfig { body: " + to_debug(LOCAL) + ", config_priority: 255 }");
}

TEST(RouteDescriptor, UnorderedPairWithoutSelfRoutes) {
    EXPECT_EQ(RouteDescriptor::make(2, 2), std::nullopt);
    EXPECT_EQ(RouteDescriptor::make(5, 1), (RouteDescriptor{1, 5}));
    EXPECT_EQ(RouteDescriptor::make(1, 5), RouteDescriptor::make(5, 1));
}

// ---- route table ----

TEST(Exchange, PriorityRules) {
    const ChannelConfig a{10.0f, 0, 0, 0}, b{20.0f, 0, 0, 0};
    struct Case {
        const char* what;
        uint8_t existing;
        bool set;  // else unset
        uint8_t priority;
        bool logged;
        std::optional<RouteConfig> after;
    };
    const Case cases[] = {
        {"weaker set is ignored", 3, true, 5, false, RouteConfig{a, 3}},
        {"equal set replaces", 3, true, 3, true, RouteConfig{b, 3}},
        {"stronger set replaces", 3, true, 0, true, RouteConfig{b, 0}},
        {"weaker unset leaves", 3, false, 4, false, RouteConfig{a, 3}},
        {"equal unset removes", 4, false, 4, true, std::nullopt},
        {"stronger unset removes", 7, false, 4, true, std::nullopt},
        {"unset 0 removes anything", 0, false, 0, true, std::nullopt},
        {"unset 0 removes 255", 255, false, 0, true, std::nullopt},
    };
    const RouteDescriptor r = *RouteDescriptor::make(0, 3);
    for (const Case& c : cases) {
        Net net(4);
        net.ex->apply(Ctl{Ctl::SetRouteConfig{r, a, c.existing}});
        net.sink.events->clear();
        if (c.set) {
            net.ex->apply(Ctl{Ctl::SetRouteConfig{r, b, c.priority}});
        } else {
            net.ex->apply(Ctl{Ctl::UnsetRouteConfig{r, c.priority}});
        }
        ASSERT_EQ(net.sink.events->size(), c.logged ? 1u : 0u) << c.what;
        if (c.logged) {
            ExchangeLogEvent want = c.after ? ExchangeLogEvent{ExchangeLogEvent::RouteConfigSet{r, *c.after}}
                                            : ExchangeLogEvent{ExchangeLogEvent::RouteConfigUnset{r}};
            EXPECT_EQ(net.sink.events->front(), want) << c.what;
        }
        auto it = net.ex->routes().find(r);
        EXPECT_EQ(it == net.ex->routes().end() ? std::nullopt : std::optional(it->second), c.after) << c.what;
    }
}

TEST(Exchange, UnsetWithoutEntryLogsNothing) {
    Net net(4);
    net.ex->apply(Ctl{Ctl::UnsetRouteConfig{*RouteDescriptor::make(1, 2), 0}});
    net.ex->apply(Ctl{Ctl::UnsetRoutesForNode{1, 0}});
    EXPECT_TRUE(net.sink.events->empty());
}

TEST(Exchange, GroupControlsLogEachPairInOrder) {
    const ChannelConfig c{7.0f, 0, 0, 0};
    struct Case {
        const char* what;
        std::vector<Ctl> setup;
        Ctl control;
        std::vector<std::string> routes;
    };
    const std::vector<Case> cases = {
        {"neighbourhood 2, 0, 1", {}, Ctl{Ctl::DefineNeighborhood{{2, 0, 1}, c, 1}},
         {route_text(0, 2), route_text(1, 2), route_text(0, 1)}},
        {"neighbourhood of one", {}, Ctl{Ctl::DefineNeighborhood{{2}, c, 1}}, {}},
        {"neighbourhood of none", {}, Ctl{Ctl::DefineNeighborhood{{}, c, 1}}, {}},
        {"node listed twice", {}, Ctl{Ctl::DefineNeighborhood{{1, 1}, c, 1}}, {"RouteDescriptor(1, 1)"}},
        {"routes for node 1", {}, Ctl{Ctl::SetRoutesForNode{1, c, 1}},
         {route_text(0, 1), route_text(1, 2), route_text(1, 3)}},
        {"unset routes for node 1", {Ctl{Ctl::SetRoutesForNode{1, c, 1}}}, Ctl{Ctl::UnsetRoutesForNode{1, 1}},
         {route_text(0, 1), route_text(1, 2), route_text(1, 3)}},
        {"unset neighbourhood 3, 1, 0", {Ctl{Ctl::DefineNeighborhood{{0, 1, 3}, c, 1}}},
         Ctl{Ctl::UnsetNeighborhood{{3, 1, 0}, 1}}, {route_text(1, 3), route_text(0, 3), route_text(0, 1)}},
    };
    for (const Case& k : cases) {
        Net net(4);
        for (const Ctl& s : k.setup) net.ex->apply(s);
        net.sink.events->clear();
        net.ex->apply(k.control);
        std::vector<std::string> got;
        for (const std::string& line : net.log()) got.push_back(route_of(line));
        EXPECT_EQ(got, k.routes) << k.what;
    }
}

// The neighbourhood commands as a plain loop over every pair of list
// positions: the table it leaves and the routes it logs, in order.
struct PairwiseModel {
    std::map<RouteDescriptor, RouteConfig> table;
    std::vector<RouteDescriptor> logged;

    void apply(const std::vector<size_t>& nodes, std::optional<ChannelConfig> set, uint8_t p) {
        for (size_t i = 0; i < nodes.size(); ++i) {
            for (size_t j = i + 1; j < nodes.size(); ++j) {
                RouteDescriptor r{std::min(nodes[i], nodes[j]), std::max(nodes[i], nodes[j])};
                auto it = table.find(r);
                if (set) {
                    if (it != table.end() && it->second.config_priority < p) continue;
                    table[r] = RouteConfig{*set, p};
                } else {
                    if (it == table.end() || it->second.config_priority < p) continue;
                    table.erase(it);
                }
                logged.push_back(r);
            }
        }
    }
};

TEST(Exchange, NeighbourhoodsVisitEachRouteOnceInPairOrder) {
    const ChannelConfig c{7.0f, 0, 0, 0}, old{9.0f, 0, 0, 0};
    // Entries the command's priority 2 can and cannot replace or remove.
    const std::vector<std::pair<RouteDescriptor, RouteConfig>> before = {
        {{0, 1}, {old, 0}}, {{1, 2}, {old, 5}}, {{0, 0}, {old, 2}}, {{2, 3}, {old, 1}}, {{0, 3}, {old, 3}}};
    // Every list of up to five ids from 0 to 3.
    std::vector<std::vector<size_t>> lists{{}};
    for (size_t start = 0; start < lists.size(); ++start) {
        if (lists[start].size() == 5) continue;
        for (size_t id = 0; id < 4; ++id) {
            lists.push_back(lists[start]);
            lists.back().push_back(id);
        }
    }
    ASSERT_EQ(lists.size(), 1365u);
    for (const std::vector<size_t>& nodes : lists) {
        const bool repeats = std::set<size_t>(nodes.begin(), nodes.end()).size() < nodes.size();
        for (bool set : {true, false}) {
            for (bool filled : {false, true}) {
                Net net(4);
                PairwiseModel model;
                if (filled) {
                    for (const auto& [r, entry] : before) {
                        net.ex->apply(Ctl{Ctl::SetRouteConfig{r, entry.body, entry.config_priority}});
                        model.table[r] = entry;
                    }
                    net.sink.events->clear();
                }
                if (set) {
                    net.ex->apply(Ctl{Ctl::DefineNeighborhood{nodes, c, 2}});
                    model.apply(nodes, c, 2);
                } else {
                    net.ex->apply(Ctl{Ctl::UnsetNeighborhood{nodes, 2}});
                    model.apply(nodes, std::nullopt, 2);
                }
                // The model's log with each route kept at its first line only;
                // without repeated ids nothing is dropped.
                std::vector<RouteDescriptor> want;
                for (const RouteDescriptor& r : model.logged) {
                    if (std::find(want.begin(), want.end(), r) == want.end()) want.push_back(r);
                }
                if (!repeats) {
                    ASSERT_EQ(want, model.logged);
                }
                std::vector<ExchangeLogEvent> want_events;
                for (const RouteDescriptor& r : want) {
                    want_events.push_back(set ? ExchangeLogEvent{ExchangeLogEvent::RouteConfigSet{r, {c, 2}}}
                                              : ExchangeLogEvent{ExchangeLogEvent::RouteConfigUnset{r}});
                }
                const std::string what = ::testing::PrintToString(nodes) + (set ? " set" : " unset") +
                                         (filled ? " over entries" : "");
                EXPECT_EQ(*net.sink.events, want_events) << what;
                std::map<RouteDescriptor, RouteConfig> table(net.ex->routes().begin(), net.ex->routes().end());
                EXPECT_EQ(table, model.table) << what;
            }
        }
    }
}

TEST(Exchange, ALongRepeatedNeighbourhoodLogsEachRouteOnce) {
    std::vector<size_t> nodes;
    for (size_t i = 0; i < 200000; ++i) nodes.push_back(i % 4);
    Net net(4);
    net.ex->apply(Ctl{Ctl::DefineNeighborhood{nodes, LOCAL, 1}});
    std::vector<std::string> got;
    for (const std::string& line : net.log()) got.push_back(route_of(line));
    EXPECT_EQ(got, (std::vector<std::string>{"RouteDescriptor(0, 1)", "RouteDescriptor(0, 2)", "RouteDescriptor(0, 3)",
                                             "RouteDescriptor(0, 0)", "RouteDescriptor(1, 2)", "RouteDescriptor(1, 3)",
                                             "RouteDescriptor(1, 1)", "RouteDescriptor(2, 3)", "RouteDescriptor(2, 2)",
                                             "RouteDescriptor(3, 3)"}));
    net.sink.events->clear();
    net.ex->apply(Ctl{Ctl::UnsetNeighborhood{nodes, 1}});
    EXPECT_EQ(net.sink.events->size(), 10u);
    EXPECT_TRUE(net.ex->routes().empty());
}

TEST(Exchange, NeighbourhoodConfigurationApplies) {
    Net net(4);
    net.ex->apply(Ctl{Ctl::DefineNeighborhood{{2, 0, 1}, ChannelConfig{7.0f, 0, 0, 0}, 1}});
    net.ex->schedule(unicast(0, "c", 1), T0);
    net.ex->schedule(unicast(2, "a", 2), T0 + 1s);
    net.ex->schedule(unicast(0, "d", 3), T0 + 2s);
    using P = std::pair<std::chrono::nanoseconds, size_t>;
    EXPECT_EQ(net.queued(T0), (std::vector<P>{{7ms, 2}, {1s + 7ms, 0}, {2s + 2ms, 3}}));
}

TEST(Exchange, SetDefaultConfigAlwaysLogs) {
    Net net(2);
    net.ex->apply(Ctl{Ctl::SetDefaultConfig{LOCAL}});
    EXPECT_EQ(net.log(), (std::vector<std::string>{"DefaultConfigChanged(" + to_debug(LOCAL) + ")"}));
    const ChannelConfig slow{9.0f, 0, 0, 0};
    net.ex->apply(Ctl{Ctl::SetDefaultConfig{slow}});
    EXPECT_EQ(net.ex->default_config(), slow);
    net.ex->schedule(unicast(0, "b", 1), T0);
    EXPECT_EQ(net.queued(T0).front().first, 9ms);
}

// ---- scheduling ----

TEST(Exchange, BroadcastReachesEveryNodeAndOwnCopyUsesDefault) {
    Net net(4);
    net.ex->apply(Ctl{Ctl::SetRoutesForNode{2, ChannelConfig{10.0f, 0, 0, 0}, 0}});
    net.ex->schedule(broadcast(2, 5), T0);
    using P = std::pair<std::chrono::nanoseconds, size_t>;
    EXPECT_EQ(net.queued(T0), (std::vector<P>{{2ms, 2}, {10ms, 0}, {10ms + 1us, 1}, {10ms + 2us, 3}}));
}

TEST(Exchange, LocalCopiesAreDueAfterTwoMillisecondsAndSpreadOneMicrosecondApart) {
    Net net(3);
    net.ex->schedule(broadcast(0, 7), T0);
    using P = std::pair<std::chrono::nanoseconds, size_t>;
    EXPECT_EQ(net.queued(T0), (std::vector<P>{{2ms, 0}, {2ms + 1us, 1}, {2ms + 2us, 2}}));
}

TEST(Exchange, EqualDueCopiesDeliverInScheduleOrderAndOnlyWhenStrictlyDue) {
    Net net(2);
    net.ex->schedule(unicast(0, "b", 1), T0);
    net.ex->schedule(unicast(1, "b", 2), T0);
    net.ex->deliver_outstanding(T0 + 2ms);
    EXPECT_TRUE(net.drain(1).empty());
    net.ex->deliver_outstanding(T0 + 2ms + 1ns);
    EXPECT_EQ(net.drain(1), std::vector<int>{1});
    net.ex->deliver_outstanding(T0 + 2ms + 1us + 1ns);
    EXPECT_EQ(net.drain(1), std::vector<int>{2});
    EXPECT_TRUE(net.ex->queue_size() == 0);
}

TEST(Exchange, AllCandidateInstantsTakenUsesTheNextFreeInstant) {
    Net net(2);
    for (int i = 0; i < COLLISION_CANDIDATES + 2; ++i) net.ex->schedule(unicast(0, "b", i), T0);
    ASSERT_EQ(net.ex->queue_size(), size_t{COLLISION_CANDIDATES} + 2);
    auto q = net.queued(T0);
    EXPECT_EQ(q[999].first, 2ms + 999us);
    EXPECT_EQ(q[1000].first, 2ms + 999us + 1ns);
    EXPECT_EQ(q[1001].first, 2ms + 999us + 2ns);
    net.ex->deliver_outstanding(T0 + 1s);
    std::vector<int> got = net.drain(1);
    ASSERT_EQ(got.size(), q.size());
    for (size_t i = 0; i < got.size(); ++i) ASSERT_EQ(got[i], static_cast<int>(i));
}

TEST(Exchange, DropProbabilityZeroAndOne) {
    Net never(3, ChannelConfig{2.0f, 0, 0, 0.0f});
    Net always(3, ChannelConfig{2.0f, 0, 0, 1.0f});
    for (int i = 0; i < 200; ++i) {
        never.ex->schedule(broadcast(0, i), T0);
        always.ex->schedule(broadcast(0, i), T0);
    }
    EXPECT_EQ(never.ex->queue_size(), 600u);
    EXPECT_TRUE(always.ex->queue_size() == 0);
}

TEST(Exchange, LostCopyLeavesTheOtherTargets) {
    Net net(3);
    net.ex->apply(Ctl{Ctl::SetRouteConfig{*RouteDescriptor::make(0, 1), ChannelConfig{2.0f, 0, 0, 1.0f}, 0}});
    net.ex->schedule(broadcast(0, 1), T0);
    net.ex->deliver_outstanding(T0 + 1s);
    EXPECT_EQ(net.drain(0), std::vector<int>{1});
    EXPECT_TRUE(net.drain(1).empty());
    EXPECT_EQ(net.drain(2), std::vector<int>{1});
}

// One 32-bit word per target and no normal sample without a positive
// deviation: the drops follow a bare generator with the same seed.
TEST(Exchange, NoJitterWithoutPositiveDeviationEvenWithMeanFive) {
    for (float deviation : {0.0f, -0.0f, -1.0f, NaN}) {
        Net net(2, ChannelConfig{2.0f, 5.0f, deviation, 0.5f}, 77);
        auto bare = ChaCha12Rng::from_seed_u64(77);
        std::vector<int> expected;
        for (int i = 0; i < 64; ++i) {
            net.ex->schedule(unicast(0, "b", i), T0 + std::chrono::seconds(i));
            if (!drop_copy(0.5f, unit_from_word(bare.next_u32()))) expected.push_back(i);
        }
        std::vector<int> got;
        net.ex->for_each_queued([&](Deadline due, const auto& m) {
            EXPECT_EQ(due - T0 - std::chrono::seconds(m.message), 2ms);
            got.push_back(m.message);
        });
        EXPECT_EQ(got, expected) << deviation;
        EXPECT_GT(got.size(), 10u);
    }
}

TEST(Exchange, JitterIsLogNormal) {
    Net net(2, ChannelConfig{80.0f, 3.0f, 1.2f, 0.0f}, 5);
    for (int i = 0; i < 2001; ++i) net.ex->schedule(unicast(0, "b", i), T0 + std::chrono::seconds(i));
    std::vector<double> logs;
    net.ex->for_each_queued([&](Deadline due, const auto& m) {
        auto since_send = due - T0 - std::chrono::seconds(m.message);
        double jitter_ms = std::chrono::duration<double, std::milli>(since_send).count() - 80.0;
        EXPECT_GT(jitter_ms, 0.0);
        logs.push_back(std::log(jitter_ms));
    });
    double mean = 0, sq = 0;
    for (double l : logs) mean += l;
    mean /= static_cast<double>(logs.size());
    for (double l : logs) sq += (l - mean) * (l - mean);
    EXPECT_NEAR(mean, 3.0, 0.15);
    EXPECT_NEAR(std::sqrt(sq / static_cast<double>(logs.size())), 1.2, 0.1);
}

TEST(Exchange, SeededSchedulingIsDeterministic) {
    const ChannelConfig congested = *ChannelConfig::from_preset_name("congested");
    auto run = [&](uint64_t seed) {
        Net net(16, congested, seed);
        for (int i = 0; i < 50; ++i) net.ex->schedule(broadcast(static_cast<size_t>(i % 16), i), T0);
        return net.queued(T0);
    };
    auto first = run(42);
    EXPECT_EQ(first, run(42));
    EXPECT_NE(first, run(43));
    // Some copies lost, most kept.
    EXPECT_LT(first.size(), 800u);
    EXPECT_GT(first.size(), 700u);
}

TEST(Exchange, ExtraDelayIsAdded) {
    Net net(2);
    net.ex->schedule(unicast(0, "b", 1, 5.5f), T0);
    EXPECT_EQ(net.queued(T0).front().first, 7500us);
}

TEST(Exchange, UnknownIdentityAndOutOfRangeIndexProduceNothing) {
    Net net(3);
    net.ex->schedule(unicast(0, "zz", 1), T0);
    net.ex->schedule(to_index(0, 3, 2), T0);
    net.ex->schedule(to_index(0, std::numeric_limits<size_t>::max(), 3), T0);
    EXPECT_TRUE(net.ex->queue_size() == 0);
    EXPECT_TRUE(net.sink.events->empty());
    net.ex->schedule(to_index(0, 2, 4), T0);
    EXPECT_EQ(net.queued(T0), (std::vector<std::pair<std::chrono::nanoseconds, size_t>>{{2ms, 2}}));
}

TEST(Exchange, NoBroadcastTargetsWithoutNodes) {
    Net net(0);
    net.ex->schedule(broadcast(0, 1), T0);
    net.ex->apply(Ctl{Ctl::SetRoutesForNode{0, LOCAL, 0}});
    EXPECT_TRUE(net.ex->queue_size() == 0);
    EXPECT_TRUE(net.sink.events->empty());
}

// Any 32-bit float may come from the command line or a script; none may
// crash the exchange or schedule before the clock reading.
TEST(Exchange, HostileConfigurationsNeverScheduleInThePast) {
    struct Case {
        const char* what;
        ChannelConfig config;
        std::optional<float> extra;
        std::optional<std::chrono::nanoseconds> delay;  // none: lost
    };
    const Case cases[] = {
        {"negative base", {-5.0f, 0, 0, 0}, {}, 0ns},
        {"not-a-number base", {NaN, 0, 0, 0}, {}, 0ns},
        {"infinite base", {INF, 0, 0, 0}, {}, std::nullopt},
        {"minus infinite base", {-INF, 0, 0, 0}, {}, 0ns},
        {"base beyond the clock", {1e30f, 0, 0, 0}, {}, std::nullopt},
        {"largest float base", {std::numeric_limits<float>::max(), 0, 0, 0}, {}, std::nullopt},
        {"minus infinite extra", LOCAL, -INF, 0ns},
        {"not-a-number extra", LOCAL, NaN, 0ns},
        {"infinite extra", LOCAL, INF, std::nullopt},
        {"infinite deviation", {2.0f, 0, INF, 0}, {}, std::nullopt},
        {"jitter overflows", {2.0f, 1000.0f, 0.1f, 0}, {}, std::nullopt},
        {"infinite mean", {2.0f, INF, 1.0f, 0}, {}, std::nullopt},
        {"minus infinite mean", {2.0f, -INF, 1.0f, 0}, {}, 2ms},
        {"not-a-number drop", {2.0f, 0, 0, NaN}, {}, 2ms},
        {"negative drop", {2.0f, 0, 0, -1.0f}, {}, 2ms},
        {"drop above one", {2.0f, 0, 0, 2.0f}, {}, std::nullopt},
    };
    for (const Case& c : cases) {
        Net net(2, c.config);
        net.ex->schedule(unicast(0, "b", 1, c.extra), T0);
        if (!c.delay) {
            EXPECT_TRUE(net.ex->queue_size() == 0) << c.what;
            continue;
        }
        ASSERT_EQ(net.ex->queue_size(), 1u) << c.what;
        EXPECT_EQ(net.queued(T0).front().first, *c.delay) << c.what;
    }
    Net end(2);
    end.ex->schedule(unicast(0, "b", 1), Deadline::max() - 1ms);
    EXPECT_TRUE(end.ex->queue_size() == 0);
}

TEST(Delay, SecondsRoundToNearestNanosecondTiesToEven) {
    struct Case {
        float seconds;
        std::optional<int64_t> ns;
    };
    const Case cases[] = {
        {0.002f, 2'000'000},
        {0x1p-10f, 976'562},      // 976562.5
        {0x3p-10f, 2'929'688},    // 2929687.5
        {0x1p-31f, 0},            // 0.47
        {0x1p-30f, 1},            // 0.93
        {-1.0f, 0},
        {NaN, 0},
        {INF, std::nullopt},
        {9.3e9f, std::nullopt},   // 2^63 ns is about 9.22e9 s
        {0x1p32f, int64_t{1'000'000'000} << 32},
    };
    for (const Case& c : cases) EXPECT_EQ(seconds_to_nanos(c.seconds), c.ns) << c.seconds;
}

// ---- the thread ----

struct ChannelSink {
    Sender<ExchangeLogEvent> tx;
    void send(ExchangeLogEvent e) { tx.send(std::move(e)); }
};

TEST(ExchangeThread, DeliversBroadcastsUnicastsAndLogsControls) {
    auto [log_tx, log_rx] = make_channel<ExchangeLogEvent>();
    std::unordered_map<std::string, size_t> ids{{"a", 0}, {"b", 1}, {"c", 2}};
    auto handle = ExchangeHandle<int, std::string>::spawn(3, LOCAL, ids, 9, ChannelSink{log_tx});
    const auto limit = [] { return std::chrono::steady_clock::now() + 20s; };

    const RouteDescriptor r = *RouteDescriptor::make(0, 2);
    handle.control.send(Ctl{Ctl::SetRouteConfig{r, ChannelConfig{1.0f, 0, 0, 0}, 2}});
    Received<ExchangeLogEvent> event = log_rx.recv_until(limit());
    ASSERT_EQ(event.status, RecvStatus::Value);
    EXPECT_EQ(*event.value, (ExchangeLogEvent{ExchangeLogEvent::RouteConfigSet{r, {{1.0f, 0, 0, 0}, 2}}}));

    handle.egress[0].send_broadcast(42, std::nullopt);
    for (size_t i = 0; i < 3; ++i) {
        Received<int> got = handle.inbound[i].recv_until(limit());
        ASSERT_EQ(got.status, RecvStatus::Value) << i;
        EXPECT_EQ(*got.value, 42);
    }
    handle.egress[2].send_unicast("b", 7, 1.0f);
    Received<int> got = handle.inbound[1].recv_until(limit());
    ASSERT_EQ(got.status, RecvStatus::Value);
    EXPECT_EQ(*got.value, 7);
}

TEST(ExchangeThread, AFailureEndsTheExchangeAndClosesTheInboundChannels) {
    // A sink that fails on the first record.
    struct FailingSink {
        void send(ExchangeLogEvent) { throw std::runtime_error("sink failed"); }
    };
    testing::internal::CaptureStderr();
    auto handle = ExchangeHandle<int, std::string>::spawn(2, LOCAL, {{"a", 0}, {"b", 1}}, 9, FailingSink{});
    handle.control.send(Ctl{Ctl::SetDefaultConfig{LOCAL}});
    const auto limit = std::chrono::steady_clock::now() + 20s;
    for (size_t i = 0; i < 2; ++i) EXPECT_EQ(handle.inbound[i].recv_until(limit).status, RecvStatus::Disconnected) << i;
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "sink failed\n");
}

}  // namespace
}  // namespace vesk
