#pragma once
// Notices two different block proposals from one producer for one slot.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "consensus/certificate.hpp"
#include "consensus/types.hpp"

namespace vesk {

struct ReportedHeader {
    uint64_t slot = 0;
    uint64_t block_id = 0;
    // The producer's member index in the slot's quorum view.
    size_t producer_index = 0;

    bool operator==(const ReportedHeader&) const = default;
};

struct EquivocationRecord {
    uint64_t slot = 0;
    size_t producer_index = 0;
    ReportedHeader first;   // the earlier block id
    ReportedHeader second;  // the header just reported
    uint8_t first_tag = 0;
    uint8_t second_tag = 0;

    bool operator==(const EquivocationRecord&) const = default;
};

struct SlotProducerIndex {
    uint64_t slot = 0;
    size_t producer_index = 0;

    bool operator==(const SlotProducerIndex&) const = default;
};

}  // namespace vesk

template <>
struct std::hash<vesk::SlotProducerIndex> {
    size_t operator()(const vesk::SlotProducerIndex& k) const noexcept {
        return std::hash<uint64_t>{}(k.slot) * 0x9e3779b97f4a7c15ULL ^ std::hash<size_t>{}(k.producer_index);
    }
};

namespace vesk {

// The first 8 bytes, little-endian, of SHA-256(entries_hash || slot as u64 LE).
uint64_t proposal_block_id(const BlockProposalMessage& p);

// The tag a state machine reports its headers with: the first byte of its own key.
inline uint8_t equivocation_tag(const BlsPubkey& own) { return own.bytes[0]; }

class EquivocationDetector {
public:
    // Slots kept below the tip: the floor after a tip move is tip - RETAINED_SLOTS.
    static constexpr uint64_t RETAINED_SLOTS = 500;
    // Saturates at 0, so an early tip prunes nothing.
    static uint64_t prune_floor(uint64_t tip_slot);

    // Every equivocation found, in the order found.
    std::vector<EquivocationRecord> records;
    // Every block id reported for a slot and producer, with the tag of its latest report.
    std::unordered_map<SlotProducerIndex, std::unordered_map<uint64_t, uint8_t>> seen;

    // A record when another block id was already reported for the header's
    // slot and producer; the header is remembered either way.
    std::optional<EquivocationRecord> report_header(const ReportedHeader& header, uint8_t tag);
    // Forgets seen ids and records of slots below the floor.
    void prune_below(uint64_t floor);
};

void debug(std::string& out, const ReportedHeader& h);
void debug(std::string& out, const EquivocationRecord& r);

}  // namespace vesk
