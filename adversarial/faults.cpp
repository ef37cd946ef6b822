#include "adversarial/faults.hpp"

#include "base/text.hpp"

namespace vesk {

namespace {

// Rounds of a flip-flop partition count from the start of its window.
bool flip_flop_partitioned(const ScheduledFault& s, const Fault::FlipFlopPartition& f, uint64_t round) {
    if (f.period == 0) return true;
    return ((round - s.start) / f.period) % 2 == 0;
}

}  // namespace

std::vector<Fault> active_faults(std::span<const ScheduledFault> schedule, uint64_t round) {
    std::vector<Fault> out;
    for (const ScheduledFault& s : schedule) {
        if (!s.is_active(round)) continue;
        if (const auto* ff = std::get_if<Fault::FlipFlopPartition>(&s.fault.value)) {
            if (!flip_flop_partitioned(s, *ff, round)) continue;
        }
        out.push_back(s.fault);
    }
    return out;
}

bool is_crashed(size_t node, uint64_t round, std::span<const Fault> active) {
    bool crashed = false;
    for (const Fault& f : active) {
        if (const auto* c = std::get_if<Fault::Crash>(&f.value)) {
            if (c->node == node) crashed = crashed || round >= c->at_round;
        } else if (const auto* r = std::get_if<Fault::Recover>(&f.value)) {
            if (r->node == node) crashed = crashed && round < r->at_round;
        }
    }
    return crashed;
}

void debug(std::string& out, const Fault& f) {
    std::visit(
        [&](const auto& v) {
            using V = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<V, Fault::Partition>) {
                DebugStruct(out, "Partition").field("group_a", v.group_a).field("group_b", v.group_b).finish();
            } else if constexpr (std::is_same_v<V, Fault::DropMessages>) {
                DebugStruct(out, "DropMessages").field("node", v.node).finish();
            } else if constexpr (std::is_same_v<V, Fault::Crash>) {
                DebugStruct(out, "Crash").field("node", v.node).field("at_round", v.at_round).finish();
            } else if constexpr (std::is_same_v<V, Fault::Recover>) {
                DebugStruct(out, "Recover").field("node", v.node).field("at_round", v.at_round).finish();
            } else {
                DebugStruct(out, "FlipFlopPartition")
                    .field("group_a", v.group_a)
                    .field("group_b", v.group_b)
                    .field("period", v.period)
                    .finish();
            }
        },
        f.value);
}

void debug(std::string& out, const ScheduledFault& f) {
    DebugTuple(out, "").field(f.start).field(f.end).field(f.fault).finish();
}

}  // namespace vesk
