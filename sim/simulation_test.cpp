#include "sim/simulation.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace vesk {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Long enough for any loaded machine; no test waits this long when it passes.
constexpr auto GENEROUS = 60s;

// A message whose token dies with the last copy, so a test can see a node
// thread drop it.
struct TestMsg {
    int value = 0;
    std::shared_ptr<int> token = std::make_shared<int>(0);
};

using Id = BlsPubkey;
using Event = ConsensusLogEvent;
using Logic = NodeLogic<Id, Event, TestMsg>;
using Result = NodeLogicResult<TestMsg, Id, Event>;
using LogicMessage = NodeLogicMessage<TestMsg, Id>;
using Record = ChannelRecord<Id, Event>;
using Node = VirtualNode<Id, Event, TestMsg>;
using Egress = Message<TestMsg, TargetAddress<Id>>;
using M = ExtendedLogMessage<Event>;
using S = ExtendedLogSource<Id>;

BlsPubkey key(uint8_t first) {
    BlsPubkey k;
    k.bytes.fill(0x55);
    k.bytes[0] = first;
    return k;
}

struct Step {
    enum Kind { Tick, Receive } kind;
    int value = 0;  // the message received
    Clock::time_point at;
};

// What a fake node did, shared with the test thread.
struct FakeState {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<Step> steps;
    bool destroyed = false;
    std::atomic<bool> can_receive{true};
    std::atomic<bool> tick_requested{false};
    // Broadcast a message on the first tick.
    bool broadcast_on_first_tick = false;

    void record(Step s) {
        {
            std::lock_guard lock(mutex);
            steps.push_back(s);
        }
        cv.notify_all();
    }
    template <class Pred>
    bool wait_for(Pred pred) {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, GENEROUS, [&] { return pred(steps); });
    }
    std::vector<Step> snapshot() {
        std::lock_guard lock(mutex);
        return steps;
    }
};

size_t count(const std::vector<Step>& steps, Step::Kind k) {
    size_t n = 0;
    for (const Step& s : steps) n += s.kind == k;
    return n;
}

class FakeNode : public Logic {
public:
    FakeNode(Id id, std::shared_ptr<FakeState> state) : id_(id), state_(std::move(state)) {}
    ~FakeNode() override {
        {
            std::lock_guard lock(state_->mutex);
            state_->destroyed = true;
        }
        state_->cv.notify_all();
    }

    Result tick() override {
        state_->record({Step::Tick, 0, Clock::now()});
        Result r;
        if (state_->broadcast_on_first_tick && !broadcast_done_) {
            broadcast_done_ = true;
            r.messages.push_back(LogicMessage{typename LogicMessage::Broadcast{std::nullopt, TestMsg{7}}});
        }
        return r;
    }
    // Logs the value it got and answers the first node.
    Result receive(TestMsg m) override {
        state_->record({Step::Receive, m.value, Clock::now()});
        Result r;
        r.logs.push_back(LogEvent<Id, Event>{events::VeskProposing{static_cast<uint64_t>(m.value)}, Timestamp{5}, id_});
        if (m.value == 7) {
            r.messages.push_back(LogicMessage{typename LogicMessage::Unicast{key(0), 1.0f, TestMsg{8}}});
        }
        return r;
    }
    bool can_receive() const override { return state_->can_receive; }
    bool tick_requested() const override { return state_->tick_requested; }
    Id get_id() const override { return id_; }

private:
    Id id_;
    std::shared_ptr<FakeState> state_;
    bool broadcast_done_ = false;
};

std::optional<NodeControlMessage> control_of(const Record& r) {
    if (const auto* c = std::get_if<M::NodeControl>(&r.message.value)) return c->message;
    return std::nullopt;
}

// One VirtualNode with the far ends of all its channels.
struct Rig {
    std::shared_ptr<FakeState> state = std::make_shared<FakeState>();
    Receiver<Egress> egress_rx;
    Receiver<Record> log_rx;
    Sender<TestMsg> inbound_tx;
    Sender<NodeControlMessage> control_tx;
    std::unique_ptr<Node> node;

    explicit Rig(TickInterval interval, size_t index = 0) : Rig(make_channel<Egress>(), make_channel<Record>(),
                                                                make_channel<TestMsg>(),
                                                                make_channel<NodeControlMessage>(), interval, index) {}

    Rig(std::pair<Sender<Egress>, Receiver<Egress>> e, std::pair<Sender<Record>, Receiver<Record>> l,
        std::pair<Sender<TestMsg>, Receiver<TestMsg>> i,
        std::pair<Sender<NodeControlMessage>, Receiver<NodeControlMessage>> c, TickInterval interval, size_t index)
        : egress_rx(std::move(e.second)),
          log_rx(std::move(l.second)),
          inbound_tx(std::move(i.first)),
          control_tx(std::move(c.first)),
          node(std::make_unique<Node>(index, std::make_unique<FakeNode>(key(1), state),
                                      EgressHelper<TestMsg, Id>(std::move(e.first), index), std::move(l.first),
                                      std::move(i.second), std::move(c.second), interval)) {}

    // The next control record on the log, skipping node records.
    std::optional<NodeControlMessage> next_control() {
        for (;;) {
            Received<Record> got = log_rx.recv_until(Clock::now() + GENEROUS);
            if (got.status != RecvStatus::Value) return std::nullopt;
            if (auto c = control_of(*got.value)) return c;
        }
    }
};

// Runs a rig's node loop on a thread of its own, as the runtime does. On the
// way out it closes the control channel first, so that a failed test still
// ends the thread it joins.
class NodeThread {
public:
    explicit NodeThread(Rig& rig) : rig_(rig) {
        thread_ = std::thread([this, node = std::move(rig.node)]() mutable {
            run_thread_body([&] { node->run_thread(); });
            node.reset();
            {
                std::lock_guard lock(mutex_);
                done_ = true;
            }
            cv_.notify_all();
        });
    }
    ~NodeThread() {
        { Sender<NodeControlMessage> gone = std::move(rig_.control_tx); }
        if (thread_.joinable()) thread_.join();
    }
    bool wait_done() {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, GENEROUS, [&] { return done_; });
    }
    bool done() {
        std::lock_guard lock(mutex_);
        return done_;
    }

private:
    Rig& rig_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool done_ = false;
    std::thread thread_;
};

// Waits until every token has died, that is, every copy has been dropped.
bool wait_dropped(const std::vector<std::weak_ptr<int>>& tokens) {
    auto end = Clock::now() + GENEROUS;
    while (Clock::now() < end) {
        bool all = true;
        for (const auto& t : tokens) all = all && t.expired();
        if (all) return true;
        std::this_thread::sleep_for(1ms);
    }
    return false;
}

// ---- plain steps ----

TEST(VirtualNodeSchedule, ElapsedIsZeroWhenTheClockReadsEarlier) {
    Deadline t = Clock::now();
    EXPECT_EQ(elapsed_since(t, t + 5ms), TickInterval::zero());
    EXPECT_EQ(elapsed_since(t + 5ms, t), TickInterval(5ms));
}

TEST(VirtualNodeSchedule, WaitEndsOneIntervalAfterTheLastTick) {
    Deadline t = Clock::now();
    TickSchedule s{t, 1s};
    EXPECT_EQ(s.wait_until(t + 500ms), t + 1s);
    // A receive in between leaves `last` alone, so the deadline stays.
    EXPECT_EQ(s.wait_until(t + 700ms), t + 1s);
    EXPECT_EQ(s.wait_until(t + 1s), std::nullopt);
    EXPECT_EQ(s.wait_until(t + 3s), std::nullopt);
    EXPECT_EQ(s.wait_until(t - 1s), t);
}

TEST(VirtualNodeSchedule, ZeroIntervalIsAlwaysDue) {
    Deadline t = Clock::now();
    TickSchedule s{t, TickInterval::zero()};
    EXPECT_EQ(s.wait_until(t), std::nullopt);
    EXPECT_EQ(s.wait_until(t - 1s), std::nullopt);
}

TEST(VirtualNodeSchedule, UnrepresentableDeadlineMeansNone) {
    Deadline t = NO_DEADLINE - 1s;
    TickSchedule s{t, TickInterval::max()};
    EXPECT_EQ(s.wait_until(t), NO_DEADLINE);
}

TEST(VirtualNodePinning, NodesTakeTheAllowedProcessorsInTurn) {
    std::vector<size_t> two{3, 5};
    EXPECT_EQ(pinned_processor(0, two), 3u);
    EXPECT_EQ(pinned_processor(1, two), 5u);
    EXPECT_EQ(pinned_processor(2, two), 3u);
    EXPECT_EQ(pinned_processor(3, two), 5u);
    EXPECT_EQ(pinned_processor(0, {}), std::nullopt);
    EXPECT_EQ(pinned_processor(0, {1024}), std::nullopt);
    EXPECT_EQ(pinned_processor(1, {0, 1023}), 1023u);
}

TEST(VirtualNodePinning, AllowedProcessorsAreAscending) {
    std::vector<size_t> p = allowed_processors();
    ASSERT_FALSE(p.empty());
    for (size_t i = 1; i < p.size(); ++i) EXPECT_LT(p[i - 1], p[i]);
}

TEST(VirtualNodeDispatch, MessagesGoToEgressAndRecordsAreWrapped) {
    Rig rig(1s, 2);
    Result r;
    r.messages.push_back(LogicMessage{typename LogicMessage::Unicast{key(9), 2.5f, TestMsg{1}}});
    r.messages.push_back(LogicMessage{typename LogicMessage::Broadcast{std::nullopt, TestMsg{2}}});
    r.logs.push_back(LogEvent<Id, Event>{events::VeskProposing{3}, Timestamp{42}, key(4)});
    rig.node->dispatch(std::move(r));

    Received<Egress> a = rig.egress_rx.try_recv();
    ASSERT_EQ(a.status, RecvStatus::Value);
    EXPECT_EQ(a.value->message.value, 1);
    EXPECT_EQ(a.value->from, 2u);
    EXPECT_EQ(a.value->delay_ms, 2.5f);
    ASSERT_TRUE(std::holds_alternative<TargetAddress<Id>::Unicast>(a.value->to.kind));
    EXPECT_EQ(std::get<TargetAddress<Id>::Unicast>(a.value->to.kind).id, key(9));
    Received<Egress> b = rig.egress_rx.try_recv();
    ASSERT_EQ(b.status, RecvStatus::Value);
    EXPECT_EQ(b.value->message.value, 2);
    EXPECT_EQ(b.value->delay_ms, std::nullopt);
    EXPECT_TRUE(std::holds_alternative<TargetAddress<Id>::Broadcast>(b.value->to.kind));

    Received<Record> l = rig.log_rx.try_recv();
    ASSERT_EQ(l.status, RecvStatus::Value);
    EXPECT_EQ(l.value->timestamp, Timestamp{42});
    ASSERT_TRUE(std::holds_alternative<S::Node>(l.value->source.value));
    EXPECT_EQ(std::get<S::Node>(l.value->source.value).id, key(4));
    ASSERT_TRUE(std::holds_alternative<M::Consensus>(l.value->message.value));
    EXPECT_EQ(std::get<M::Consensus>(l.value->message.value).event, Event{events::VeskProposing{3}});
}

TEST(VirtualNodeDispatch, SendsToGoneReceiversAreDropped) {
    Rig rig(1s);
    { Receiver<Egress> gone = std::move(rig.egress_rx); }
    { Receiver<Record> gone = std::move(rig.log_rx); }
    Result r;
    r.messages.push_back(LogicMessage{typename LogicMessage::Broadcast{std::nullopt, TestMsg{2}}});
    r.logs.push_back(LogEvent<Id, Event>{events::VeskProposing{3}, Timestamp{42}, key(4)});
    rig.node->dispatch(std::move(r));
    EXPECT_TRUE(rig.node->on_control(NodeControlMessage::Pause));
}

TEST(VirtualNodeSteps, ReceiveTicksAgainWhenTheNodeAsks) {
    Rig rig(1s);
    rig.node->on_inbound(TestMsg{1});
    rig.state->tick_requested = true;
    rig.node->on_inbound(TestMsg{2});
    std::vector<Step> steps = rig.state->snapshot();
    ASSERT_EQ(steps.size(), 3u);
    EXPECT_EQ(steps[0].kind, Step::Receive);
    EXPECT_EQ(steps[1].kind, Step::Receive);
    EXPECT_EQ(steps[1].value, 2);
    EXPECT_EQ(steps[2].kind, Step::Tick);
}

TEST(VirtualNodeSteps, PausedNodeDropsMessagesAndSkipsTicks) {
    Rig rig(1s);
    EXPECT_TRUE(rig.node->on_control(NodeControlMessage::Pause));
    EXPECT_TRUE(rig.node->on_control(NodeControlMessage::Pause));
    EXPECT_TRUE(rig.node->paused);
    TestMsg m{1};
    std::weak_ptr<int> token = m.token;
    rig.node->on_inbound(std::move(m));
    rig.node->on_scheduled_tick();
    EXPECT_TRUE(token.expired());
    EXPECT_TRUE(rig.state->snapshot().empty());
    EXPECT_TRUE(rig.node->on_control(NodeControlMessage::Resume));
    EXPECT_TRUE(rig.node->on_control(NodeControlMessage::Resume));
    EXPECT_FALSE(rig.node->paused);
    rig.node->on_scheduled_tick();
    EXPECT_EQ(count(rig.state->snapshot(), Step::Tick), 1u);
    EXPECT_FALSE(rig.node->on_control(NodeControlMessage::Finish));

    // Every order is logged, repeated ones included, with the node as source.
    const NodeControlMessage expected[] = {NodeControlMessage::Pause, NodeControlMessage::Pause,
                                           NodeControlMessage::Resume, NodeControlMessage::Resume,
                                           NodeControlMessage::Finish};
    for (NodeControlMessage e : expected) {
        Received<Record> r = rig.log_rx.try_recv();
        ASSERT_EQ(r.status, RecvStatus::Value);
        EXPECT_EQ(control_of(*r.value), e);
        ASSERT_TRUE(std::holds_alternative<S::Node>(r.value->source.value));
        EXPECT_EQ(std::get<S::Node>(r.value->source.value).id, key(1));
    }
    EXPECT_EQ(rig.log_rx.try_recv().status, RecvStatus::Timeout);
}

// ---- the loop on a real thread ----

TEST(VirtualNodeLoop, FirstTickComesTwoIntervalsAfterStart) {
    const TickInterval interval = 30ms;
    Rig rig(interval);
    // Waits in its channel until the first sleep ends.
    rig.inbound_tx.send(TestMsg{1});
    Clock::time_point start = Clock::now();
    NodeThread t(rig);
    ASSERT_TRUE(rig.state->wait_for([](const auto& s) { return count(s, Step::Tick) >= 3; }));
    std::vector<Step> steps = rig.state->snapshot();
    ASSERT_EQ(count(steps, Step::Receive), 1u);
    for (const Step& s : steps) {
        if (s.kind == Step::Receive) {
            EXPECT_GE(s.at - start, interval);
        }
    }
    size_t k = 0;
    for (const Step& s : steps) {
        if (s.kind != Step::Tick) continue;
        EXPECT_GE(s.at - start, interval * (k + 2)) << "tick " << k;
        ++k;
    }
    rig.control_tx.send(NodeControlMessage::Finish);
    EXPECT_TRUE(t.wait_done());
}

TEST(VirtualNodeLoop, ReceiveBetweenTicksKeepsTheSchedule) {
    const TickInterval interval = 40ms;
    Rig rig(interval);
    Clock::time_point start = Clock::now();
    NodeThread t(rig);
    ASSERT_TRUE(rig.state->wait_for([](const auto& s) { return count(s, Step::Tick) >= 1; }));
    rig.inbound_tx.send(TestMsg{5});
    ASSERT_TRUE(rig.state->wait_for([](const auto& s) { return count(s, Step::Tick) >= 4; }));
    std::vector<Step> steps = rig.state->snapshot();
    EXPECT_EQ(count(steps, Step::Receive), 1u);
    // No extra tick was asked for, so the k-th tick is still a scheduled one.
    size_t k = 0;
    for (const Step& s : steps) {
        if (s.kind != Step::Tick) continue;
        EXPECT_GE(s.at - start, interval * (k + 2)) << "tick " << k;
        ++k;
    }
    rig.control_tx.send(NodeControlMessage::Finish);
    EXPECT_TRUE(t.wait_done());
}

TEST(VirtualNodeLoop, PauseDropsInboundAndResumeTicksAgain) {
    Rig rig(10ms);
    NodeThread t(rig);
    ASSERT_TRUE(rig.state->wait_for([](const auto& s) { return count(s, Step::Tick) >= 1; }));
    rig.control_tx.send(NodeControlMessage::Pause);
    ASSERT_EQ(rig.next_control(), NodeControlMessage::Pause);
    // Nothing reaches the node once the Pause record is out.
    size_t ticks_at_pause = count(rig.state->snapshot(), Step::Tick);

    std::vector<std::weak_ptr<int>> tokens;
    for (int i = 0; i < 5; ++i) {
        TestMsg m{100 + i};
        tokens.push_back(m.token);
        rig.inbound_tx.send(std::move(m));
    }
    ASSERT_TRUE(wait_dropped(tokens));
    std::vector<Step> paused = rig.state->snapshot();
    EXPECT_EQ(count(paused, Step::Tick), ticks_at_pause);
    EXPECT_EQ(count(paused, Step::Receive), 0u);

    rig.control_tx.send(NodeControlMessage::Resume);
    ASSERT_EQ(rig.next_control(), NodeControlMessage::Resume);
    ASSERT_TRUE(rig.state->wait_for([&](const auto& s) { return count(s, Step::Tick) > ticks_at_pause; }));
    rig.inbound_tx.send(TestMsg{9});
    ASSERT_TRUE(rig.state->wait_for([](const auto& s) { return count(s, Step::Receive) == 1; }));
    EXPECT_EQ(count(rig.state->snapshot(), Step::Receive), 1u);

    rig.control_tx.send(NodeControlMessage::Finish);
    EXPECT_EQ(rig.next_control(), NodeControlMessage::Finish);
    EXPECT_TRUE(t.wait_done());
}

TEST(VirtualNodeLoop, FinishEndsTheThreadAndLaterOrdersGoNowhere) {
    Rig rig(10ms);
    NodeThread t(rig);
    rig.control_tx.send(NodeControlMessage::Finish);
    EXPECT_EQ(rig.next_control(), NodeControlMessage::Finish);
    ASSERT_TRUE(t.wait_done());
    EXPECT_FALSE(rig.control_tx.send(NodeControlMessage::Pause));
    EXPECT_FALSE(rig.inbound_tx.send(TestMsg{1}));
    {
        std::lock_guard lock(rig.state->mutex);
        EXPECT_TRUE(rig.state->destroyed);
    }
}

TEST(VirtualNodeLoop, ClosedControlChannelEndsTheThreadWithoutARecord) {
    Rig rig(10ms);
    NodeThread t(rig);
    rig.control_tx.send(NodeControlMessage::Pause);
    EXPECT_EQ(rig.next_control(), NodeControlMessage::Pause);
    { Sender<NodeControlMessage> gone = std::move(rig.control_tx); }
    ASSERT_TRUE(t.wait_done());
    EXPECT_EQ(rig.log_rx.try_recv().status, RecvStatus::Disconnected);
}

TEST(VirtualNodeLoop, ClosedInboundChannelIsIgnored) {
    Rig rig(10ms);
    NodeThread t(rig);
    { Sender<TestMsg> gone = std::move(rig.inbound_tx); }
    ASSERT_TRUE(rig.state->wait_for([](const auto& s) { return count(s, Step::Tick) >= 3; }));
    rig.control_tx.send(NodeControlMessage::Finish);
    EXPECT_EQ(rig.next_control(), NodeControlMessage::Finish);
    EXPECT_TRUE(t.wait_done());
}

TEST(VirtualNodeLoop, NodeThatCannotReceiveLeavesMessagesQueued) {
    Rig rig(10ms);
    rig.state->can_receive = false;
    NodeThread t(rig);
    TestMsg m{3};
    std::weak_ptr<int> token = m.token;
    rig.inbound_tx.send(std::move(m));
    ASSERT_TRUE(rig.state->wait_for([](const auto& s) { return count(s, Step::Tick) >= 3; }));
    rig.control_tx.send(NodeControlMessage::Pause);
    EXPECT_EQ(rig.next_control(), NodeControlMessage::Pause);
    EXPECT_FALSE(token.expired());
    EXPECT_EQ(count(rig.state->snapshot(), Step::Receive), 0u);

    // Resume first: a paused node that may receive would drop the message.
    rig.control_tx.send(NodeControlMessage::Resume);
    EXPECT_EQ(rig.next_control(), NodeControlMessage::Resume);
    rig.state->can_receive = true;
    ASSERT_TRUE(rig.state->wait_for([](const auto& s) { return count(s, Step::Receive) == 1; }));
    for (const Step& s : rig.state->snapshot()) {
        if (s.kind == Step::Receive) {
            EXPECT_EQ(s.value, 3);
        }
    }
    rig.control_tx.send(NodeControlMessage::Finish);
    EXPECT_TRUE(t.wait_done());
}

TEST(VirtualNodeLoop, ZeroIntervalTicksWithoutASleep) {
    Rig rig(TickInterval::zero());
    rig.state->can_receive = false;
    // The loop never waits, so only ending the thread from inside stops it.
    struct Stopper : FakeNode {
        using FakeNode::FakeNode;
        int ticks = 0;
        Result tick() override {
            if (++ticks == 50) contract_fail("stop the endless ticks");
            return FakeNode::tick();
        }
    };
    rig.node->logic = std::make_unique<Stopper>(key(1), rig.state);
    NodeThread t(rig);
    ASSERT_TRUE(t.wait_done());
    EXPECT_EQ(count(rig.state->snapshot(), Step::Tick), 49u);
}

TEST(VirtualNodeLoop, IntervalBeyondTheClockNeverTicksButObeysOrders) {
    // The longest interval, and one that the type holds but whose end the
    // clock cannot represent.
    const TickInterval since_epoch = std::chrono::duration_cast<TickInterval>(Clock::now().time_since_epoch());
    for (TickInterval interval : {TickInterval::max(), TickInterval::max() - since_epoch / 2}) {
        Rig rig(interval);
        NodeThread t(rig);
        rig.inbound_tx.send(TestMsg{4});
        ASSERT_TRUE(rig.state->wait_for([](const auto& s) { return count(s, Step::Receive) == 1; }));
        rig.control_tx.send(NodeControlMessage::Pause);
        EXPECT_EQ(rig.next_control(), NodeControlMessage::Pause);
        rig.control_tx.send(NodeControlMessage::Finish);
        EXPECT_EQ(rig.next_control(), NodeControlMessage::Finish);
        ASSERT_TRUE(t.wait_done());
        EXPECT_EQ(count(rig.state->snapshot(), Step::Tick), 0u);
    }
}

// ---- the whole simulation ----

TEST(Simulation, FakeNodesTalkThroughTheExchangeAndLogToTheSink) {
    constexpr size_t N = 3;
    std::vector<std::shared_ptr<FakeState>> states;
    std::vector<std::unique_ptr<Logic>> nodes;
    for (size_t i = 0; i < N; ++i) {
        states.push_back(std::make_shared<FakeState>());
        nodes.push_back(std::make_unique<FakeNode>(key(static_cast<uint8_t>(i)), states.back()));
    }
    states[1]->broadcast_on_first_tick = true;
    auto [sink_tx, sink_rx] = make_channel<Record>();
    auto sim = std::make_unique<Simulation<Id, Event, TestMsg>>(Simulation<Id, Event, TestMsg>::start_simulation_with_log_sink(
        std::move(nodes), 10ms, *ChannelConfig::from_preset_name("local"), 11, std::move(sink_tx)));
    EXPECT_FALSE(sim->printer_thread.has_value());
    ASSERT_EQ(sim->node_controls.size(), N);
    ASSERT_EQ(sim->node_threads.size(), N);

    // Node 1's broadcast reaches every node, itself included; each answers
    // node 0, which therefore also gets three answers.
    for (size_t i = 0; i < N; ++i) {
        ASSERT_TRUE(states[i]->wait_for([](const auto& s) {
            for (const Step& st : s) {
                if (st.kind == Step::Receive && st.value == 7) return true;
            }
            return false;
        })) << i;
    }
    ASSERT_TRUE(states[0]->wait_for([](const auto& s) {
        size_t answers = 0;
        for (const Step& st : s) answers += st.kind == Step::Receive && st.value == 8;
        return answers == N;
    }));

    sim->exchange_control.send(ExchangeControlMessage{ExchangeControlMessage::SetDefaultConfig{ChannelConfig{}}});
    sim->node_controls[2].send(NodeControlMessage::Pause);

    bool saw_exchange = false;
    bool saw_pause = false;
    std::vector<size_t> consensus_per_node(N, 0);
    auto end = Clock::now() + GENEROUS;
    // A node's answer may overtake its own record, so read until all are in.
    auto all_in = [&] {
        for (size_t n : consensus_per_node) {
            if (n == 0) return false;
        }
        return saw_exchange && saw_pause;
    };
    while (!all_in() && Clock::now() < end) {
        Received<Record> got = sink_rx.recv_until(end);
        ASSERT_EQ(got.status, RecvStatus::Value);
        const Record& r = *got.value;
        if (std::holds_alternative<M::Exchange>(r.message.value)) {
            EXPECT_TRUE(std::holds_alternative<S::Exchange>(r.source.value));
            saw_exchange = true;
        } else if (auto c = control_of(r)) {
            EXPECT_EQ(*c, NodeControlMessage::Pause);
            EXPECT_EQ(std::get<S::Node>(r.source.value).id, key(2));
            saw_pause = true;
        } else {
            const Id& from = std::get<S::Node>(r.source.value).id;
            ++consensus_per_node[from.bytes[0]];
        }
    }
    EXPECT_TRUE(saw_exchange);
    EXPECT_TRUE(saw_pause);
    for (size_t i = 0; i < N; ++i) EXPECT_GE(consensus_per_node[i], 1u) << i;

    // Dropping the handle ends every node thread, the paused one included.
    sim.reset();
    for (size_t i = 0; i < N; ++i) {
        std::unique_lock lock(states[i]->mutex);
        EXPECT_TRUE(states[i]->cv.wait_for(lock, GENEROUS, [&] { return states[i]->destroyed; })) << i;
    }
}

TEST(Simulation, AnyFailureInANodeEndsOnlyThatNode) {
    // Node 0 fails on its first tick with an exception that is not a broken
    // contract; node 1 goes on ticking.
    struct Failing : FakeNode {
        using FakeNode::FakeNode;
        Result tick() override {
            (void)FakeNode::tick();
            throw std::runtime_error("tick failed");
        }
    };
    auto failing = std::make_shared<FakeState>();
    auto healthy = std::make_shared<FakeState>();
    std::vector<std::unique_ptr<Logic>> nodes;
    nodes.push_back(std::make_unique<Failing>(key(0), failing));
    nodes.push_back(std::make_unique<FakeNode>(key(1), healthy));
    auto [sink_tx, sink_rx] = make_channel<Record>();
    testing::internal::CaptureStderr();
    auto sim = Simulation<Id, Event, TestMsg>::start_simulation_with_log_sink(
        std::move(nodes), 10ms, *ChannelConfig::from_preset_name("local"), 5, std::move(sink_tx));
    {
        std::unique_lock lock(failing->mutex);
        ASSERT_TRUE(failing->cv.wait_for(lock, GENEROUS, [&] { return failing->destroyed; }));
    }
    const size_t before = count(healthy->snapshot(), Step::Tick);
    ASSERT_TRUE(healthy->wait_for([&](const auto& s) { return count(s, Step::Tick) >= before + 3; }));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "tick failed\n");
    EXPECT_EQ(count(failing->snapshot(), Step::Tick), 1u);
    // The failed node's control channel is gone with it; the other still obeys.
    EXPECT_FALSE(sim.node_controls[0].send(NodeControlMessage::Pause));
    EXPECT_TRUE(sim.node_controls[1].send(NodeControlMessage::Pause));
}

TEST(Simulation, RepeatedIdentityMapsToItsLastPosition) {
    std::vector<std::shared_ptr<FakeState>> states;
    std::vector<std::unique_ptr<Logic>> nodes;
    for (uint8_t i = 0; i < 3; ++i) {
        states.push_back(std::make_shared<FakeState>());
        // Nodes 0 and 2 share an identity.
        nodes.push_back(std::make_unique<FakeNode>(key(i == 1 ? 1 : 0), states.back()));
    }
    states[1]->broadcast_on_first_tick = true;
    auto [sink_tx, sink_rx] = make_channel<Record>();
    auto sim = Simulation<Id, Event, TestMsg>::start_simulation_with_log_sink(
        std::move(nodes), 10ms, *ChannelConfig::from_preset_name("local"), 3, std::move(sink_tx));
    // Three answers go to key(0), which is node 2.
    ASSERT_TRUE(states[2]->wait_for([](const auto& s) {
        size_t answers = 0;
        for (const Step& st : s) answers += st.kind == Step::Receive && st.value == 8;
        return answers == 3;
    }));
    EXPECT_EQ(count(states[0]->snapshot(), Step::Receive), 1u);
}

}  // namespace
}  // namespace vesk
