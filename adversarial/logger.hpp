#pragma once
// The harness's own log of a scenario run.
#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace vesk {

struct SimEvent {
    // The first event of every run.
    struct Started {
        bool operator==(const Started&) const = default;
    };
    // The leader's tip passed the last recorded slot.
    struct LeaderFinalized {
        uint64_t slot = 0;
        size_t node = 0;
        bool operator==(const LeaderFinalized&) const = default;
    };
    // The fault filter dropped a delivery.
    struct MessageDropped {
        size_t from = 0;
        size_t to = 0;
        bool operator==(const MessageDropped&) const = default;
    };
    // An invariant failed after the last round.
    struct InvariantViolated {
        std::string invariant;
        std::string message;
        bool operator==(const InvariantViolated&) const = default;
    };
    struct Note {
        std::string text;
        bool operator==(const Note&) const = default;
    };
    using Kind = std::variant<Started, LeaderFinalized, MessageDropped, InvariantViolated, Note>;

    uint64_t round = 0;
    Kind kind;

    bool operator==(const SimEvent&) const = default;

    template <class K>
    bool is() const {
        return std::holds_alternative<K>(kind);
    }
    template <class K>
    const K* get_if() const {
        return std::get_if<K>(&kind);
    }
};

struct SimLog {
    std::vector<SimEvent> events;  // in the order appended

    void push(uint64_t round, SimEvent::Kind kind) { events.push_back(SimEvent{round, std::move(kind)}); }
    bool operator==(const SimLog&) const = default;
};

void debug(std::string& out, const SimEvent& e);

}  // namespace vesk
