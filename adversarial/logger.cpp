#include "adversarial/logger.hpp"

#include "base/text.hpp"

namespace vesk {

namespace {

struct KindText {
    const SimEvent::Kind& kind;
};

void debug(std::string& out, const KindText& k) {
    std::visit(
        [&](const auto& v) {
            using K = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<K, SimEvent::Started>) {
                DebugStruct(out, "Started").finish();
            } else if constexpr (std::is_same_v<K, SimEvent::LeaderFinalized>) {
                DebugStruct(out, "LeaderFinalized").field("slot", v.slot).field("node", v.node).finish();
            } else if constexpr (std::is_same_v<K, SimEvent::MessageDropped>) {
                DebugStruct(out, "MessageDropped").field("from", v.from).field("to", v.to).finish();
            } else if constexpr (std::is_same_v<K, SimEvent::InvariantViolated>) {
                DebugStruct(out, "InvariantViolated")
                    .field("invariant", v.invariant)
                    .field("message", v.message)
                    .finish();
            } else {
                DebugStruct(out, "Note").field("text", v.text).finish();
            }
        },
        k.kind);
}

}  // namespace

void debug(std::string& out, const SimEvent& e) {
    DebugStruct(out, "SimEvent").field("round", e.round).field("kind", KindText{e.kind}).finish();
}

}  // namespace vesk
