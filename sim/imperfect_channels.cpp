#include "sim/imperfect_channels.hpp"

#include <cmath>
#include <limits>
#include <unordered_map>

#include "base/saturating.hpp"

namespace vesk {

static_assert(std::is_same_v<Deadline::duration, std::chrono::nanoseconds>,
              "queue keys have nanosecond resolution");

const std::array<ChannelPreset, 5> CHANNEL_PRESETS = {{
    {"local", ChannelConfig{2.0f, 0.0f, 0.0f, 0.0f}},
    {"long_distance", ChannelConfig{120.0f, 1.5f, 0.3f, 0.001f}},
    {"regional", ChannelConfig{80.0f, 1.0f, 0.2f, 0.0005f}},
    {"congested", ChannelConfig{80.0f, 3.0f, 1.2f, 0.05f}},
    {"disaster", ChannelConfig{200.0f, 4.0f, 1.5f, 0.3f}},
}};

std::optional<ChannelConfig> ChannelConfig::from_preset_name(std::string_view name) {
    std::string lower(name);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    if (lower == "long-distance") lower = "long_distance";
    for (const ChannelPreset& p : CHANNEL_PRESETS) {
        if (p.name == lower) return p.config;
    }
    return std::nullopt;
}

void debug(std::string& out, const ChannelConfig& c) {
    DebugStruct(out, "ChannelConfig")
        .field("latency_base_ms", c.latency_base_ms)
        .field("latency_jitter_log_mean", c.latency_jitter_log_mean)
        .field("latency_jitter_log_stddev", c.latency_jitter_log_stddev)
        .field("packetdrop_prob", c.packetdrop_prob)
        .finish();
}

void debug(std::string& out, const RouteDescriptor& r) { DebugTuple(out, "RouteDescriptor").field(r.low).field(r.high).finish(); }

void debug(std::string& out, const RouteConfig& r) {
    DebugStruct(out, "RouteConfig")
        .field("body", r.body)
        .field("config_priority", static_cast<unsigned>(r.config_priority))
        .finish();
}

void debug(std::string& out, const ExchangeLogEvent& e) {
    using E = ExchangeLogEvent;
    std::visit(
        [&](const auto& v) {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::same_as<T, E::DefaultConfigChanged>) {
                DebugTuple(out, "DefaultConfigChanged").field(v.config).finish();
            } else if constexpr (std::same_as<T, E::RouteConfigSet>) {
                DebugTuple(out, "RouteConfigSet").field(v.route).field(v.config).finish();
            } else {
                DebugTuple(out, "RouteConfigUnset").field(v.route).finish();
            }
        },
        e.kind);
}

// Each route is visited once, at its first pair: a list that repeats ids
// would otherwise cost the square of its length in route changes and log
// lines that repeat one another. Only the first occurrence of an id can
// start a new route, and it is new only with later first occurrences and,
// once, with the id's own second occurrence; so the work is the square of
// the distinct ids plus one pass over the list.
void for_each_neighbourhood_route(const std::vector<size_t>& nodes, const std::function<void(RouteDescriptor)>& f) {
    constexpr size_t NONE = std::numeric_limits<size_t>::max();
    struct Distinct {
        size_t id;
        size_t first;
        size_t second;  // NONE when listed once
    };
    std::vector<Distinct> distinct;
    std::unordered_map<size_t, size_t> rank;
    for (size_t pos = 0; pos < nodes.size(); ++pos) {
        auto [it, fresh] = rank.try_emplace(nodes[pos], distinct.size());
        if (fresh) {
            distinct.push_back({nodes[pos], pos, NONE});
        } else if (distinct[it->second].second == NONE) {
            distinct[it->second].second = pos;
        }
    }
    for (size_t k = 0; k < distinct.size(); ++k) {
        const Distinct& a = distinct[k];
        bool self_pending = a.second != NONE;
        for (size_t m = k + 1; m < distinct.size(); ++m) {
            if (self_pending && a.second < distinct[m].first) {
                f(RouteDescriptor{a.id, a.id});
                self_pending = false;
            }
            f(RouteDescriptor{std::min(a.id, distinct[m].id), std::max(a.id, distinct[m].id)});
        }
        if (self_pending) f(RouteDescriptor{a.id, a.id});
    }
}

std::optional<int64_t> seconds_to_nanos(float seconds) {
    if (std::isnan(seconds) || seconds <= 0.0f) return 0;
    if (std::isinf(seconds)) return std::nullopt;
    // seconds = m * 2^e exactly, m a 24-bit integer; the product with 1e9 is
    // formed exactly so the rounding is the only inexact step.
    int exp2 = 0;
    float mant = std::frexp(seconds, &exp2);
    auto m = static_cast<u128>(std::ldexp(mant, 24));
    int e = exp2 - 24;
    u128 product = m * 1'000'000'000u;
    u128 ns;
    if (e >= 0) {
        if (e >= 64) return std::nullopt;
        ns = product << e;
        if ((ns >> e) != product) return std::nullopt;
    } else {
        int s = -e;
        if (s >= 100) return 0;
        u128 q = product >> s;
        u128 rem = product - (q << s);
        u128 half = u128{1} << (s - 1);
        if (rem > half || (rem == half && (q & 1) != 0)) ++q;
        ns = q;
    }
    if (ns > static_cast<u128>(std::numeric_limits<int64_t>::max())) return std::nullopt;
    return static_cast<int64_t>(ns);
}

std::optional<int64_t> delay_nanos(float base_ms, float jitter_ms, std::optional<float> extra_ms) {
    float ms = base_ms + jitter_ms;
    if (extra_ms) ms = ms + *extra_ms;
    if (std::isnan(ms) || ms < 0.0f) return 0;
    float seconds = ms / 1000.0f;
    return seconds_to_nanos(seconds);
}

std::optional<Deadline> checked_add(Deadline t, int64_t ns) {
    int64_t sum;
    if (__builtin_add_overflow(t.time_since_epoch().count(), ns, &sum)) return std::nullopt;
    return Deadline(std::chrono::nanoseconds(sum));
}

}  // namespace vesk
