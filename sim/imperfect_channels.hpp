#pragma once
// The imperfect network of a threaded run: one exchange thread takes every
// message a node sends, decides per target whether the copy is lost and how
// long it travels, and hands it to the target's inbound channel once due.
// The scheduling and route-table steps are plain member functions that take
// the clock reading as an argument, so they run without a thread.
#include <algorithm>
#include <array>
#include <chrono>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cmath>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "base/channel.hpp"
#include "base/contract.hpp"
#include "base/normal.hpp"
#include "base/random.hpp"
#include "base/text.hpp"

namespace vesk {

// ---- link parameters ----

struct ChannelConfig {
    float latency_base_ms = 2.0f;
    float latency_jitter_log_mean = 0.0f;
    float latency_jitter_log_stddev = 0.0f;
    float packetdrop_prob = 0.0f;

    bool operator==(const ChannelConfig&) const = default;

    // Lower-cases ASCII A-Z only and then matches exactly.
    static std::optional<ChannelConfig> from_preset_name(std::string_view name);
};

struct ChannelPreset {
    std::string_view name;
    ChannelConfig config;
};

// The presets in the order every list of them is printed; the alias
// "long-distance" is accepted by from_preset_name but not listed.
extern const std::array<ChannelPreset, 5> CHANNEL_PRESETS;

void debug(std::string& out, const ChannelConfig& c);

// ---- route table ----

// An unordered pair of node indexes, smaller first.
struct RouteDescriptor {
    size_t low = 0;
    size_t high = 0;

    bool operator==(const RouteDescriptor&) const = default;
    auto operator<=>(const RouteDescriptor&) const = default;

    // None when a equals b.
    static std::optional<RouteDescriptor> make(size_t a, size_t b) {
        if (a == b) return std::nullopt;
        return RouteDescriptor{std::min(a, b), std::max(a, b)};
    }
};

// A lower config_priority is the stronger claim.
struct RouteConfig {
    ChannelConfig body;
    uint8_t config_priority = 0;

    bool operator==(const RouteConfig&) const = default;
};

void debug(std::string& out, const RouteDescriptor& r);
void debug(std::string& out, const RouteConfig& r);

}  // namespace vesk

template <>
struct std::hash<vesk::RouteDescriptor> {
    size_t operator()(const vesk::RouteDescriptor& r) const noexcept {
        size_t h = std::hash<size_t>{}(r.low);
        return h ^ (std::hash<size_t>{}(r.high) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2));
    }
};

namespace vesk {

// ---- log events ----

struct ExchangeLogEvent {
    struct DefaultConfigChanged {
        ChannelConfig config;
        bool operator==(const DefaultConfigChanged&) const = default;
    };
    struct RouteConfigSet {
        RouteDescriptor route;
        RouteConfig config;
        bool operator==(const RouteConfigSet&) const = default;
    };
    struct RouteConfigUnset {
        RouteDescriptor route;
        bool operator==(const RouteConfigUnset&) const = default;
    };
    using Kind = std::variant<DefaultConfigChanged, RouteConfigSet, RouteConfigUnset>;

    Kind kind;

    bool operator==(const ExchangeLogEvent&) const = default;
};

// "RouteConfigSet(RouteDescriptor(0, 3), RouteConfig { ... })", no wrapper.
void debug(std::string& out, const ExchangeLogEvent& e);

template <class S>
concept ExchangeLogsink = requires(S& sink, ExchangeLogEvent event) {
    { sink.send(std::move(event)) } -> std::same_as<void>;
};

// ---- control messages ----

struct ExchangeControlMessage {
    struct SetRoutesForNode {
        size_t node = 0;
        ChannelConfig config;
        uint8_t priority = 0;
    };
    struct UnsetRoutesForNode {
        size_t node = 0;
        uint8_t priority = 0;
    };
    struct DefineNeighborhood {
        std::vector<size_t> nodes;
        ChannelConfig config;
        uint8_t priority = 0;
    };
    struct UnsetNeighborhood {
        std::vector<size_t> nodes;
        uint8_t priority = 0;
    };
    struct SetRouteConfig {
        RouteDescriptor route;
        ChannelConfig config;
        uint8_t priority = 0;
    };
    struct UnsetRouteConfig {
        RouteDescriptor route;
        uint8_t priority = 0;
    };
    struct SetDefaultConfig {
        ChannelConfig config;
    };
    using Kind = std::variant<SetRoutesForNode, UnsetRoutesForNode, DefineNeighborhood, UnsetNeighborhood,
                              SetRouteConfig, UnsetRouteConfig, SetDefaultConfig>;

    Kind kind;
};

// ---- messages in transit ----

template <class Id>
struct TargetAddress {
    struct Unicast {
        Id id;
    };
    struct NodeIndex {
        size_t index = 0;
    };
    // Every node, the sender included.
    struct Broadcast {};
    using Kind = std::variant<Unicast, NodeIndex, Broadcast>;

    Kind kind;
};

// Target is a TargetAddress on the egress channel and a node index once
// queued; a queued copy has its extra delay already applied.
template <class Msg, class Target>
struct Message {
    Msg message;
    size_t from = 0;
    Target to;
    std::optional<float> delay_ms;
};

// ---- the plain steps of scheduling ----

// One 32-bit draw as a float in [0, 1).
inline float unit_from_word(uint32_t w) { return static_cast<float>(w >> 8) * 0x1p-24f; }

// Whether a copy with drop probability p is lost against the draw u; a
// negative or not-a-number p never drops.
inline bool drop_copy(float p, float u) { return p > u; }

// Delay of one copy in whole nanoseconds from its parts (32-bit float
// arithmetic), or none when the copy is lost: an infinite delay, or one the
// clock cannot hold. A negative or not-a-number delay counts as zero.
std::optional<int64_t> delay_nanos(float base_ms, float jitter_ms, std::optional<float> extra_ms);

// Whole nanoseconds of a float number of seconds, rounded to the nearest
// (ties to even); none for infinities and values of 2^63 ns or more;
// negative and not-a-number give zero.
std::optional<int64_t> seconds_to_nanos(float seconds);

// t + ns, or none beyond the clock's range.
std::optional<Deadline> checked_add(Deadline t, int64_t ns);

inline constexpr int COLLISION_CANDIDATES = 1000;

// The queue key for a copy due at `due`: the first free of due, due + 1 µs,
// ..., due + 999 µs, and when all are taken the first free nanosecond after
// the last of them; none only at the clock's end. With the key comes the
// insertion hint: the first entry after it.
template <class V>
std::optional<std::pair<Deadline, typename std::map<Deadline, V>::const_iterator>> free_slot(
    const std::map<Deadline, V>& queue, Deadline due) {
    auto it = queue.lower_bound(due);
    Deadline candidate = due;
    for (int k = 0;; ++k) {
        while (it != queue.end() && it->first < candidate) ++it;
        if (it == queue.end() || it->first != candidate) return std::pair{candidate, it};
        // Past the last candidate, step by one nanosecond.
        std::optional<Deadline> next =
            k + 1 < COLLISION_CANDIDATES ? checked_add(due, int64_t{k + 1} * 1000) : checked_add(candidate, 1);
        if (!next) return std::nullopt;
        candidate = *next;
    }
}

// The routes of a neighbourhood: those of the list positions i < j in the
// order (0, 1), (0, 2), ..., (1, 2), ..., each route at its first pair only.
// A node listed twice yields its route to itself, stored but never used.
void for_each_neighbourhood_route(const std::vector<size_t>& nodes, const std::function<void(RouteDescriptor)>& f);

// ---- the exchange ----

template <class Msg, class Id, ExchangeLogsink Sink>
class Exchange {
public:
    using Egress = Message<Msg, TargetAddress<Id>>;
    using Queued = Message<Msg, size_t>;
    using Clock = std::chrono::steady_clock;

    Exchange(Receiver<Egress> egress, Receiver<ExchangeControlMessage> control, std::unordered_map<Id, size_t> ids,
             ChannelConfig default_config, ChaCha12Rng rng, std::vector<Sender<Msg>> inbound, Sink logger)
        : egress_(std::move(egress)),
          control_(std::move(control)),
          ids_(std::move(ids)),
          default_(default_config),
          rng_(std::move(rng)),
          inbound_(std::move(inbound)),
          logger_(std::move(logger)) {}

    // Serves control first, never waits past the earliest due delivery, and
    // stops waiting on a channel once it has closed.
    [[noreturn]] void run() {
        bool control_open = true;
        bool egress_open = true;
        for (;;) {
            Deadline now = Clock::now();
            Deadline limit;
            if (queue_.empty()) {
                limit = checked_add(now, 1'000'000'000).value_or(NO_DEADLINE);
            } else {
                limit = queue_.begin()->first;
                if (limit < now) {
                    deliver_outstanding(now);
                    continue;
                }
            }
            auto got = select(control_open ? &control_ : nullptr, egress_open ? &egress_ : nullptr, limit,
                              SelectMode::PreferFirst);
            switch (got.from) {
                case SelectFrom::Timeout:
                    deliver_outstanding(Clock::now());
                    break;
                case SelectFrom::First:
                    if (got.first) {
                        apply(*got.first);
                    } else {
                        control_open = false;
                    }
                    break;
                case SelectFrom::Second:
                    if (got.second) {
                        schedule(std::move(*got.second), [] { return Clock::now(); });
                    } else {
                        egress_open = false;
                    }
                    break;
            }
        }
    }

    void apply(const ExchangeControlMessage& control) {
        using C = ExchangeControlMessage;
        std::visit(
            [&](const auto& m) {
                using T = std::decay_t<decltype(m)>;
                if constexpr (std::same_as<T, C::SetDefaultConfig>) {
                    default_ = m.config;
                    logger_.send(ExchangeLogEvent{ExchangeLogEvent::DefaultConfigChanged{m.config}});
                } else if constexpr (std::same_as<T, C::SetRouteConfig>) {
                    set_route_config(m.route, m.config, m.priority);
                } else if constexpr (std::same_as<T, C::UnsetRouteConfig>) {
                    unset_route_config(m.route, m.priority);
                } else if constexpr (std::same_as<T, C::SetRoutesForNode>) {
                    for_node_routes(m.node, [&](RouteDescriptor r) { set_route_config(r, m.config, m.priority); });
                } else if constexpr (std::same_as<T, C::UnsetRoutesForNode>) {
                    for_node_routes(m.node, [&](RouteDescriptor r) { unset_route_config(r, m.priority); });
                } else if constexpr (std::same_as<T, C::DefineNeighborhood>) {
                    for_each_neighbourhood_route(m.nodes,
                                                 [&](RouteDescriptor r) { set_route_config(r, m.config, m.priority); });
                } else {
                    static_assert(std::same_as<T, C::UnsetNeighborhood>);
                    for_each_neighbourhood_route(m.nodes,
                                                 [&](RouteDescriptor r) { unset_route_config(r, m.priority); });
                }
            },
            control.kind);
    }

    // An equal or weaker (larger-numbered) entry is replaced.
    void set_route_config(RouteDescriptor route, ChannelConfig config, uint8_t priority) {
        auto it = routes_.find(route);
        if (it != routes_.end() && it->second.config_priority < priority) return;
        RouteConfig entry{config, priority};
        routes_.insert_or_assign(route, entry);
        logger_.send(ExchangeLogEvent{ExchangeLogEvent::RouteConfigSet{route, entry}});
    }

    // An equal or weaker entry is removed.
    void unset_route_config(RouteDescriptor route, uint8_t priority) {
        auto it = routes_.find(route);
        if (it == routes_.end() || it->second.config_priority < priority) return;
        routes_.erase(it);
        logger_.send(ExchangeLogEvent{ExchangeLogEvent::RouteConfigUnset{route}});
    }

    // The configuration of the copy from `from` to `to`; a node's copy to
    // itself always takes the default.
    ChannelConfig config_for(size_t from, size_t to) const {
        if (from == to) return default_;
        auto it = routes_.find(RouteDescriptor{std::min(from, to), std::max(from, to)});
        return it == routes_.end() ? default_ : it->second.body;
    }

    // Queues the surviving copies of `m`; `now` is read once per target.
    template <class NowFn>
        requires std::invocable<NowFn&> && std::same_as<std::invoke_result_t<NowFn&>, Deadline>
    void schedule(Egress m, NowFn&& now) {
        std::vector<size_t> targets;
        const size_t n = inbound_.size();
        std::visit(
            [&](auto& t) {
                using T = std::decay_t<decltype(t)>;
                if constexpr (std::same_as<T, typename TargetAddress<Id>::Unicast>) {
                    auto it = ids_.find(t.id);
                    if (it != ids_.end()) targets.push_back(it->second);
                } else if constexpr (std::same_as<T, typename TargetAddress<Id>::NodeIndex>) {
                    targets.push_back(t.index);
                } else {
                    for (size_t i = 0; i < n; ++i) targets.push_back(i);
                }
            },
            m.to.kind);
        for (size_t t : targets) {
            // No inbound channel to hand the copy to.
            if (t >= n) continue;
            ChannelConfig c = config_for(m.from, t);
            if (drop_copy(c.packetdrop_prob, unit_from_word(rng_.next_u32()))) continue;
            float jitter = 0.0f;
            if (c.latency_jitter_log_stddev > 0.0f) {
                auto z = static_cast<float>(standard_normal(rng_));
                // An infinite deviation is an infinite jitter: the copy never arrives.
                if (c.latency_jitter_log_stddev == std::numeric_limits<float>::infinity()) continue;
                jitter = std::exp(c.latency_jitter_log_mean + c.latency_jitter_log_stddev * z);
            }
            std::optional<int64_t> ns = delay_nanos(c.latency_base_ms, jitter, m.delay_ms);
            if (!ns) continue;
            std::optional<Deadline> due = checked_add(now(), *ns);
            if (!due) continue;
            auto slot = free_slot(queue_, *due);
            if (!slot) continue;
            queue_.emplace_hint(slot->second, slot->first, store(Queued{m.message, m.from, t, std::nullopt}));
        }
    }
    void schedule(Egress m, Deadline now) {
        schedule(std::move(m), [now] { return now; });
    }

    // Sends every copy due strictly before `now`, in due order.
    void deliver_outstanding(Deadline now) {
        auto end = queue_.lower_bound(now);
        // A send cannot touch the queue, so sending in place and erasing the
        // range after is the same as taking the due part out first.
        for (auto it = queue_.begin(); it != end; ++it) {
            std::optional<Queued>& q = slots_[it->second];
            inbound_[q->to].send(std::move(q->message));
            q.reset();
            free_slots_.push_back(it->second);
        }
        queue_.erase(queue_.begin(), end);
    }

    size_t queue_size() const { return queue_.size(); }
    // f(due, queued copy) in queue order.
    template <class F>
    void for_each_queued(F&& f) const {
        for (const auto& [due, slot] : queue_) f(due, *slots_[slot]);
    }
    const std::unordered_map<RouteDescriptor, RouteConfig>& routes() const { return routes_; }
    const ChannelConfig& default_config() const { return default_; }
    Sink& logger() { return logger_; }

private:
    size_t store(Queued q) {
        if (free_slots_.empty()) {
            slots_.push_back(std::move(q));
            return slots_.size() - 1;
        }
        size_t i = free_slots_.back();
        free_slots_.pop_back();
        slots_[i] = std::move(q);
        return i;
    }

    template <class F>
    void for_node_routes(size_t x, F&& f) {
        for (size_t m = 0; m < inbound_.size(); ++m) {
            if (m != x) f(RouteDescriptor{std::min(x, m), std::max(x, m)});
        }
    }

    Receiver<Egress> egress_;
    Receiver<ExchangeControlMessage> control_;
    std::unordered_map<RouteDescriptor, RouteConfig> routes_;
    std::unordered_map<Id, size_t> ids_;
    ChannelConfig default_;
    ChaCha12Rng rng_;
    std::vector<Sender<Msg>> inbound_;
    // The delivery queue: due instant to a slot of `slots_`. The copies live
    // outside the tree so that a lookup walks small nodes.
    std::map<Deadline, size_t> queue_;
    std::vector<std::optional<Queued>> slots_;
    std::vector<size_t> free_slots_;
    Sink logger_;
};

// ---- the nodes' side ----

template <class Msg, class Id>
class EgressHelper {
public:
    using Egress = Message<Msg, TargetAddress<Id>>;

    EgressHelper(Sender<Egress> egress, size_t index) : egress_(std::move(egress)), index_(index) {}

    // Discarded when the exchange is gone.
    void send_unicast(const Id& to, Msg message, std::optional<float> delay_ms) const {
        egress_.send(Egress{std::move(message), index_, TargetAddress<Id>{typename TargetAddress<Id>::Unicast{to}},
                            delay_ms});
    }
    void send_broadcast(Msg message, std::optional<float> delay_ms) const {
        egress_.send(Egress{std::move(message), index_, TargetAddress<Id>{typename TargetAddress<Id>::Broadcast{}},
                            delay_ms});
    }
    size_t index() const { return index_; }

private:
    Sender<Egress> egress_;
    size_t index_;
};

// The generator of the exchange: from the seed's PCG32 expansion, else from
// operating-system entropy.
inline ChaCha12Rng exchange_rng(std::optional<uint64_t> seed) {
    return seed ? ChaCha12Rng::from_seed_u64(*seed) : ChaCha12Rng::from_entropy();
}

template <class Msg, class Id>
struct ExchangeHandle {
    Sender<ExchangeControlMessage> control;
    std::vector<EgressHelper<Msg, Id>> egress;
    std::vector<Receiver<Msg>> inbound;
    std::thread thread;

    ExchangeHandle(Sender<ExchangeControlMessage> c, std::vector<EgressHelper<Msg, Id>> e,
                   std::vector<Receiver<Msg>> i, std::thread t)
        : control(std::move(c)), egress(std::move(e)), inbound(std::move(i)), thread(std::move(t)) {}
    ExchangeHandle(ExchangeHandle&&) noexcept = default;
    ExchangeHandle& operator=(ExchangeHandle&& other) noexcept {
        if (this != &other) {
            if (thread.joinable()) thread.detach();
            control = std::move(other.control);
            egress = std::move(other.egress);
            inbound = std::move(other.inbound);
            thread = std::move(other.thread);
        }
        return *this;
    }
    // The exchange never ends, so its thread is left to run on.
    ~ExchangeHandle() {
        if (thread.joinable()) thread.detach();
    }

    template <ExchangeLogsink Sink>
    static ExchangeHandle spawn(size_t n, ChannelConfig default_config, std::unordered_map<Id, size_t> ids,
                                std::optional<uint64_t> seed, Sink logger) {
        using Egress = Message<Msg, TargetAddress<Id>>;
        auto [control_tx, control_rx] = make_channel<ExchangeControlMessage>();
        auto [egress_tx, egress_rx] = make_channel<Egress>();
        std::vector<Sender<Msg>> inbound_tx;
        std::vector<Receiver<Msg>> inbound_rx;
        for (size_t i = 0; i < n; ++i) {
            auto [tx, rx] = make_channel<Msg>();
            inbound_tx.push_back(std::move(tx));
            inbound_rx.push_back(std::move(rx));
        }
        std::vector<EgressHelper<Msg, Id>> helpers;
        for (size_t i = 0; i < n; ++i) helpers.emplace_back(egress_tx, i);
        Exchange<Msg, Id, Sink> exchange(std::move(egress_rx), std::move(control_rx), std::move(ids), default_config,
                                         exchange_rng(seed), std::move(inbound_tx), std::move(logger));
        std::thread thread;
        try {
            thread = std::thread([ex = std::move(exchange)]() mutable { run_thread_body([&] { ex.run(); }); });
        } catch (const std::system_error&) {
            contract_fail("failed to spawn thread");
        }
        return ExchangeHandle(std::move(control_tx), std::move(helpers), std::move(inbound_rx), std::move(thread));
    }
};

}  // namespace vesk
