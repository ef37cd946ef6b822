#pragma once
// Messages a node cannot act on yet, held under the event that makes them
// useful, bounded by a slot window and by a count per source.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "consensus/consensus_log_event.hpp"
#include "consensus/message.hpp"
#include "consensus/types.hpp"

namespace vesk {

// The validator that sent the message; every kind has one.
BlsPubkey message_source(const ConsensusMessage& msg);

// The message's key, and for a proposal also its signer.
MessageKey parking_key(const ConsensusMessage& msg);

struct ParkedMessage {
    MessageKey key;  // parking_key of msg
    ConsensusMessage msg;
    uint64_t valid_until = 0;

    // Identity is the key alone, so one event never holds two copies.
    bool operator==(const ParkedMessage& o) const { return key == o.key; }
};

// Messages in the order they were first added, unique by key.
class ParkedSet {
public:
    using const_iterator = std::vector<ParkedMessage>::const_iterator;

    // False, leaving the set unchanged, when the key is already present.
    bool insert(ParkedMessage m);
    bool contains(const MessageKey& key) const { return keys_.contains(key); }
    size_t size() const { return items_.size(); }
    bool empty() const { return items_.empty(); }
    const_iterator begin() const { return items_.begin(); }
    const_iterator end() const { return items_.end(); }

    // Removes the messages with valid_until <= floor, keeping the order of
    // the rest, and returns the removed ones.
    std::vector<ParkedMessage> remove_through(uint64_t floor);
    std::vector<ParkedMessage> take_all() &&;

private:
    std::vector<ParkedMessage> items_;
    std::unordered_set<MessageKey> keys_;
};

class ParkedMessages {
public:
    using SourceSizes = std::unordered_map<std::optional<BlsPubkey>, size_t>;
    using Parked = std::unordered_map<UnparkEvent, ParkedSet>;

    // Accepted valid_until slots are slot_floor ..= slot_floor + SLOT_WINDOW.
    static constexpr uint64_t SLOT_WINDOW = 50;

    ParkedMessages(uint64_t slot_floor, size_t src_capacity);

    // True when parked or already parked under the event with the same key;
    // false when outside the slot window or the source is at capacity.
    bool park(ConsensusMessage msg, uint64_t valid_until, const UnparkEvent& event);
    // The event's messages in parking order; the event is forgotten.
    std::vector<ConsensusMessage> unpark(const UnparkEvent& event);
    // Forgets the messages with valid_until <= new_floor; the floor may move
    // either way.
    void cleanup(uint64_t new_floor);

    uint64_t slot_floor() const { return slot_floor_; }
    size_t src_capacity() const { return src_capacity_; }
    const Parked& parked() const { return parked_; }
    // Entries that dropped to 0 stay with the value 0.
    const SourceSizes& src_size() const { return src_size_; }
    // 0 when the source has no entry.
    size_t source_size(const BlsPubkey& source) const;

private:
    void release(const ParkedMessage& m);

    Parked parked_;
    SourceSizes src_size_;
    size_t src_capacity_;
    uint64_t slot_floor_;
};

}  // namespace vesk

template <>
struct std::hash<vesk::ParkedMessage> {
    size_t operator()(const vesk::ParkedMessage& m) const noexcept { return std::hash<vesk::MessageKey>{}(m.key); }
};
