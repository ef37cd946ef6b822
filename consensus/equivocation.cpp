#include "consensus/equivocation.hpp"

#include <vector>

#include "base/bytes.hpp"
#include "base/saturating.hpp"
#include "base/text.hpp"
#include "hash/hash.hpp"

namespace vesk {

uint64_t proposal_block_id(const BlockProposalMessage& p) {
    const std::vector<uint8_t> slot = ByteWriter(8).u64(p.slot).take();
    const Hash digest = hashv({p.entries_hash.span(), slot});
    uint64_t id = 0;
    for (size_t i = 0; i < 8; ++i) id |= static_cast<uint64_t>(digest.bytes[i]) << (8 * i);
    return id;
}

uint64_t EquivocationDetector::prune_floor(uint64_t tip_slot) { return sat_sub(tip_slot, RETAINED_SLOTS); }

std::optional<EquivocationRecord> EquivocationDetector::report_header(const ReportedHeader& header, uint8_t tag) {
    auto& ids = seen[SlotProducerIndex{header.slot, header.producer_index}];
    // With several earlier ids any would do; the smallest keeps the choice
    // independent of the hash table's layout.
    std::optional<std::pair<uint64_t, uint8_t>> earlier;
    for (const auto& [id, stored_tag] : ids) {
        if (id != header.block_id && (!earlier || id < earlier->first)) earlier.emplace(id, stored_tag);
    }
    ids.insert_or_assign(header.block_id, tag);
    if (!earlier) return std::nullopt;
    EquivocationRecord record{
        .slot = header.slot,
        .producer_index = header.producer_index,
        .first = ReportedHeader{header.slot, earlier->first, header.producer_index},
        .second = header,
        .first_tag = earlier->second,
        .second_tag = tag,
    };
    records.push_back(record);
    return record;
}

void EquivocationDetector::prune_below(uint64_t floor) {
    std::erase_if(seen, [floor](const auto& entry) { return entry.first.slot < floor; });
    std::erase_if(records, [floor](const EquivocationRecord& r) { return r.slot < floor; });
}

void debug(std::string& out, const ReportedHeader& h) {
    DebugStruct(out, "ReportedHeader")
        .field("slot", h.slot)
        .field("block_id", h.block_id)
        .field("producer_index", h.producer_index)
        .finish();
}

void debug(std::string& out, const EquivocationRecord& r) {
    DebugStruct(out, "EquivocationRecord")
        .field("slot", r.slot)
        .field("producer_index", r.producer_index)
        .field("first", r.first)
        .field("second", r.second)
        .field("first_tag", r.first_tag)
        .field("second_tag", r.second_tag)
        .finish();
}

}  // namespace vesk
