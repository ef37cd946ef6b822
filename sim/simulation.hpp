#pragma once
// The threaded runtime: one pinned thread per node that ticks it on a fixed
// schedule, feeds it what the exchange delivers and obeys pause, resume and
// finish orders; the exchange and the printer run on threads of their own.
// The loop's choices are plain functions of a clock reading, so they can be
// checked without a thread.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <future>
#include <memory>
#include <optional>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "base/channel.hpp"
#include "base/contract.hpp"
#include "base/processors.hpp"
#include "sim/imperfect_channels.hpp"
#include "sim/logging.hpp"
#include "sim/node_control.hpp"
#include "sim/node_logic.hpp"
#include "sim/timestamp.hpp"

namespace vesk {

// ---- the plain steps of the node loop ----

using TickInterval = std::chrono::nanoseconds;

// now − last, or zero when the clock reads earlier than last.
inline TickInterval elapsed_since(Deadline now, Deadline last) {
    if (now < last) return TickInterval::zero();
    return std::chrono::duration_cast<TickInterval>(now - last);
}

// The end of the wait of one turn; no deadline when it cannot be represented.
inline Deadline wait_deadline(Deadline now, TickInterval remaining) {
    return checked_add(now, remaining.count()).value_or(NO_DEADLINE);
}

// The regular ticks of one node, measured from the start of the last one so
// that neither a tick's cost nor a receive moves them.
struct TickSchedule {
    Deadline last;
    TickInterval interval;

    // The end of this turn's wait, or none when a tick is due now.
    std::optional<Deadline> wait_until(Deadline now) const {
        TickInterval elapsed = elapsed_since(now, last);
        if (elapsed >= interval) return std::nullopt;
        return wait_deadline(now, interval - elapsed);
    }
};

// The processor node `index` is pinned to: position (index mod length) of
// the allowed list; none when the list is empty or names a processor the
// platform call cannot take.
std::optional<size_t> pinned_processor(size_t index, const std::vector<size_t>& allowed);

// Pins the calling thread to one processor alone; the outcome is not checked
// because an unpinned node still runs correctly.
void pin_current_thread(size_t processor);

// ---- log channel ----

template <class Id, class Event>
using ChannelRecord = LogEvent<ExtendedLogSource<Id>, ExtendedLogMessage<Event>>;

// The exchange's log sink.
template <class Id, class Event>
class ExchangeLogger {
public:
    explicit ExchangeLogger(Sender<ChannelRecord<Id, Event>> log) : log_(std::move(log)) {}

    void send(ExchangeLogEvent event) {
        using M = ExtendedLogMessage<Event>;
        using S = ExtendedLogSource<Id>;
        log_.send(ChannelRecord<Id, Event>{M{typename M::Exchange{std::move(event)}}, Timestamp::now(),
                                           S{typename S::Exchange{}}});
    }

private:
    Sender<ChannelRecord<Id, Event>> log_;
};

// ---- one node thread ----

template <class Id, class Event, class Msg>
class VirtualNode {
public:
    using Logic = NodeLogic<Id, Event, Msg>;
    using Result = NodeLogicResult<Msg, Id, Event>;
    using Clock = std::chrono::steady_clock;

    size_t index = 0;
    std::unique_ptr<Logic> logic;
    EgressHelper<Msg, Id> egress;
    Sender<ChannelRecord<Id, Event>> log;
    Receiver<Msg> inbound;
    Receiver<NodeControlMessage> control;
    TickInterval tick_interval{};
    bool paused = false;

    VirtualNode(size_t index, std::unique_ptr<Logic> logic, EgressHelper<Msg, Id> egress,
                Sender<ChannelRecord<Id, Event>> log, Receiver<Msg> inbound, Receiver<NodeControlMessage> control,
                TickInterval tick_interval)
        : index(index),
          logic(std::move(logic)),
          egress(std::move(egress)),
          log(std::move(log)),
          inbound(std::move(inbound)),
          control(std::move(control)),
          tick_interval(tick_interval) {}

    // Sends are never waited on, and one whose receiver is gone is dropped.
    void dispatch(Result result) {
        using LogicMessage = NodeLogicMessage<Msg, Id>;
        for (auto& m : result.messages) {
            if (auto* u = std::get_if<typename LogicMessage::Unicast>(&m.value)) {
                egress.send_unicast(u->to, std::move(u->msg), u->delay);
            } else {
                auto& b = std::get<typename LogicMessage::Broadcast>(m.value);
                egress.send_broadcast(std::move(b.msg), b.delay);
            }
        }
        using M = ExtendedLogMessage<Event>;
        using S = ExtendedLogSource<Id>;
        for (auto& r : result.logs) {
            log.send(ChannelRecord<Id, Event>{M{typename M::Consensus{std::move(r.message)}}, r.timestamp,
                                              S{typename S::Node{std::move(r.source)}}});
        }
    }

    // A scheduled tick; a paused node keeps the schedule but skips the step.
    void on_scheduled_tick() {
        if (!paused) dispatch(logic->tick());
    }

    // A paused node still takes the message off the channel, and drops it.
    void on_inbound(Msg m) {
        if (paused) return;
        dispatch(logic->receive(std::move(m)));
        if (logic->tick_requested()) dispatch(logic->tick());
    }

    // Logs the order, then obeys it; false when the loop must end.
    bool on_control(NodeControlMessage m) {
        using M = ExtendedLogMessage<Event>;
        using S = ExtendedLogSource<Id>;
        log.send(ChannelRecord<Id, Event>{M{typename M::NodeControl{m}}, Timestamp::now(),
                                          S{typename S::Node{logic->get_id()}}});
        switch (m) {
            case NodeControlMessage::Pause:
                paused = true;
                return true;
            case NodeControlMessage::Resume:
                paused = false;
                return true;
            case NodeControlMessage::Finish:
                return false;
        }
        return true;
    }

    void run_node() {
        // An interval whose end the clock cannot represent never elapses:
        // sleeping through it would keep the node from ever reading its
        // control channel, so it goes straight to waiting without a deadline.
        if (tick_interval > TickInterval::zero() && checked_add(Clock::now(), tick_interval.count())) {
            std::this_thread::sleep_for(tick_interval);
        }
        TickSchedule schedule{Clock::now(), tick_interval};
        // A closed inbound channel can never deliver again; leaving it out of
        // the wait keeps the thread from spinning on it.
        bool inbound_open = true;
        for (;;) {
            std::optional<Deadline> deadline = schedule.wait_until(Clock::now());
            if (!deadline) {
                schedule.last = Clock::now();
                on_scheduled_tick();
                continue;
            }
            Receiver<Msg>* source = inbound_open && logic->can_receive() ? &inbound : nullptr;
            auto got = select(source, &control, *deadline, SelectMode::Random);
            switch (got.from) {
                case SelectFrom::Timeout:
                    schedule.last = Clock::now();
                    on_scheduled_tick();
                    break;
                case SelectFrom::First:
                    if (got.first) {
                        on_inbound(std::move(*got.first));
                    } else {
                        inbound_open = false;
                    }
                    break;
                case SelectFrom::Second:
                    if (!got.second || !on_control(*got.second)) return;
                    break;
            }
        }
    }

    // The whole thread: pin, run, then give up the channel ends with the node.
    void run_thread() {
        if (auto p = pinned_processor(index, allowed_processors())) pin_current_thread(*p);
        run_node();
    }
};

// ---- the running simulation ----

template <class Id, class Event, class Msg>
class Simulation {
public:
    using Logic = NodeLogic<Id, Event, Msg>;
    using Record = ChannelRecord<Id, Event>;

    std::vector<Sender<NodeControlMessage>> node_controls;
    Sender<ExchangeControlMessage> exchange_control;
    // Each node thread drops its node when it ends; nothing joins them.
    std::vector<std::thread> node_threads;
    std::thread exchange_thread;
    std::optional<std::thread> printer_thread;
    // Present with the printer: how the log is ended (finish_log), and when
    // the printer is done with it.
    std::optional<ChannelCloser<Record>> log_closer;
    std::shared_future<void> printer_done;
    // The driver's way into the log (log_line).
    std::optional<Sender<Record>> log;

    Simulation(std::vector<Sender<NodeControlMessage>> controls, Sender<ExchangeControlMessage> exchange,
               std::vector<std::thread> nodes, std::thread exchange_thread, std::optional<std::thread> printer,
               std::optional<ChannelCloser<Record>> log_closer, std::shared_future<void> printer_done,
               std::optional<Sender<Record>> log)
        : node_controls(std::move(controls)),
          exchange_control(std::move(exchange)),
          node_threads(std::move(nodes)),
          exchange_thread(std::move(exchange_thread)),
          printer_thread(std::move(printer)),
          log_closer(std::move(log_closer)),
          printer_done(std::move(printer_done)),
          log(std::move(log)) {}
    Simulation(Simulation&&) noexcept = default;
    Simulation& operator=(Simulation&& other) noexcept {
        if (this != &other) {
            release();
            node_controls = std::move(other.node_controls);
            exchange_control = std::move(other.exchange_control);
            node_threads = std::move(other.node_threads);
            exchange_thread = std::move(other.exchange_thread);
            printer_thread = std::move(other.printer_thread);
            log_closer = std::move(other.log_closer);
            printer_done = std::move(other.printer_done);
            log = std::move(other.log);
        }
        return *this;
    }
    ~Simulation() { release(); }

    // A line of the driver's own into the log, after every record sent
    // before it; never refused for a full backlog, and never waited on.
    void log_line(std::string text) {
        using M = ExtendedLogMessage<Event>;
        using S = ExtendedLogSource<Id>;
        if (log) {
            (void)log->send_past_bound(Record{M{typename M::Line{std::move(text)}}, Timestamp::now(),
                                              S{typename S::Named{"driver"}}});
        }
    }

    // The log takes no record after this call; what it holds is still
    // printed (finish_log).
    void close_log() {
        if (log_closer) log_closer->close();
    }

    // Whether the printer is done with the log within `patience` after
    // close_log: every record printed, or the stream failed. Without a
    // printer there is nothing to wait for.
    bool log_done_within(std::chrono::nanoseconds patience) const {
        return !printer_done.valid() || printer_done.wait_for(patience) == std::future_status::ready;
    }

    // The log takes no record after this call, which returns once the
    // printer has printed every record taken before it (or has failed). The
    // other threads run on.
    void finish_log() {
        close_log();
        if (printer_thread && printer_thread->joinable()) printer_thread->join();
    }

    // Without a sink the records go through a bounded channel to a printer
    // on standard output.
    static Simulation start_simulation_with_log_sink(std::vector<std::unique_ptr<Logic>> nodes,
                                                     TickInterval tick_interval, ChannelConfig config,
                                                     std::optional<uint64_t> seed,
                                                     std::optional<Sender<Record>> log_sink) {
        std::optional<std::thread> printer;
        std::vector<std::thread> threads;
        // A thread that cannot be started ends the call; the threads started
        // before it are left to run on, as when a simulation is dropped.
        struct DetachOnFailure {
            std::optional<std::thread>& printer;
            std::vector<std::thread>& threads;
            ~DetachOnFailure() {
                if (printer && printer->joinable()) printer->detach();
                for (std::thread& t : threads) {
                    if (t.joinable()) t.detach();
                }
            }
        } detach_on_failure{printer, threads};
        std::optional<Sender<Record>> log_tx;
        std::optional<ChannelCloser<Record>> log_closer;
        std::shared_future<void> printer_done;
        if (log_sink) {
            log_tx = std::move(*log_sink);
        } else {
            // Bounded so that a slow reader costs records, never memory
            // without end; producers still never wait.
            auto [tx, rx] = make_bounded_channel<Record>(LOG_BACKLOG_RECORDS);
            log_tx = std::move(tx);
            log_closer = rx.closer();
            std::promise<void> done;
            printer_done = done.get_future().share();
            printer = spawn_or_fail(
                [&] { return spawn_log_printer(std::move(rx), standard_output(), std::move(done)); });
        }

        std::unordered_map<Id, size_t> ids;
        for (size_t i = 0; i < nodes.size(); ++i) {
            contract_check(nodes[i] != nullptr, "every simulated node is present");
            ids.insert_or_assign(nodes[i]->get_id(), i);
        }

        auto exchange = ExchangeHandle<Msg, Id>::spawn(nodes.size(), config, std::move(ids), seed,
                                                       ExchangeLogger<Id, Event>(*log_tx));

        std::vector<Sender<NodeControlMessage>> controls;
        controls.reserve(nodes.size());
        // Reserved so that no started thread is lost to a failed growth.
        threads.reserve(nodes.size());
        for (size_t i = 0; i < nodes.size(); ++i) {
            auto [control_tx, control_rx] = make_channel<NodeControlMessage>();
            auto node = std::make_unique<VirtualNode<Id, Event, Msg>>(
                i, std::move(nodes[i]), exchange.egress[i], *log_tx, std::move(exchange.inbound[i]),
                std::move(control_rx), tick_interval);
            threads.push_back(spawn_or_fail([&] {
                return std::thread([node = std::move(node)]() mutable {
                    // The node and its channel ends go when the body ends,
                    // whether it finished or failed.
                    run_thread_body([&] { node->run_thread(); });
                    node.reset();
                });
            }));
            controls.push_back(std::move(control_tx));
        }
        std::thread exchange_thread = std::move(exchange.thread);
        return Simulation(std::move(controls), std::move(exchange.control), std::move(threads),
                          std::move(exchange_thread), std::move(printer), std::move(log_closer),
                          std::move(printer_done), std::move(log_tx));
    }

private:
    template <class F>
    static std::thread spawn_or_fail(F&& spawn) {
        try {
            return spawn();
        } catch (const std::system_error&) {
            contract_fail("failed to spawn thread");
        }
    }

    // Control senders go first, in field order, so every node thread sees
    // its closed control channel; then every thread is left to run on.
    void release() noexcept {
        { auto gone = std::move(node_controls); }
        node_controls.clear();
        { Sender<ExchangeControlMessage> gone = std::move(exchange_control); }
        for (std::thread& t : node_threads) {
            if (t.joinable()) t.detach();
        }
        node_threads.clear();
        if (exchange_thread.joinable()) exchange_thread.detach();
        if (printer_thread && printer_thread->joinable()) printer_thread->detach();
        printer_thread.reset();
        log.reset();
    }
};

}  // namespace vesk
