#include "consensus/equivocation.hpp"

#include <gtest/gtest.h>

#include <limits>

#include "base/text.hpp"

namespace vesk {
namespace {

struct Step {
    ReportedHeader header;
    uint8_t tag = 0;
    std::optional<EquivocationRecord> expected;
};

struct SequenceCase {
    const char* name;
    std::vector<Step> steps;
};

EquivocationRecord record(ReportedHeader first, uint8_t first_tag, ReportedHeader second, uint8_t second_tag) {
    return EquivocationRecord{second.slot, second.producer_index, first, second, first_tag, second_tag};
}

constexpr uint64_t MAX_SLOT = std::numeric_limits<uint64_t>::max();
constexpr size_t MAX_INDEX = std::numeric_limits<size_t>::max();

TEST(EquivocationDetectorTest, ReportSequences) {
    const ReportedHeader a{5, 100, 2}, b{5, 200, 2}, c{5, 50, 2};
    const std::vector<SequenceCase> cases = {
        {"same header twice", {{a, 1, {}}, {a, 1, {}}}},
        {"two ids for one slot and producer", {{a, 1, {}}, {b, 7, record(a, 1, b, 7)}}},
        {"other producer or other slot", {{a, 1, {}}, {{5, 200, 3}, 1, {}}, {{6, 200, 2}, 1, {}}}},
        {"repeat replaces the stored tag", {{a, 1, {}}, {a, 9, {}}, {b, 7, record(a, 9, b, 7)}}},
        {"third id gives another record",
         {{a, 1, {}}, {b, 2, record(a, 1, b, 2)}, {c, 3, record(a, 1, c, 3)}}},
        {"old id again after a conflict", {{a, 1, {}}, {b, 2, record(a, 1, b, 2)}, {a, 4, record(b, 2, a, 4)}}},
        {"extreme slot and index",
         {{{MAX_SLOT, 1, MAX_INDEX}, 0, {}},
          {{MAX_SLOT, 2, MAX_INDEX}, 255, record({MAX_SLOT, 1, MAX_INDEX}, 0, {MAX_SLOT, 2, MAX_INDEX}, 255)}}},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        EquivocationDetector detector;
        std::vector<EquivocationRecord> found;
        for (size_t i = 0; i < tc.steps.size(); ++i) {
            SCOPED_TRACE(i);
            const Step& step = tc.steps[i];
            auto got = detector.report_header(step.header, step.tag);
            EXPECT_EQ(got, step.expected);
            if (got) found.push_back(*got);
            // Every reported id stays known with the tag of its latest report.
            auto& ids = detector.seen.at(SlotProducerIndex{step.header.slot, step.header.producer_index});
            EXPECT_EQ(ids.at(step.header.block_id), step.tag);
        }
        EXPECT_EQ(detector.records, found);
    }
}

TEST(EquivocationDetectorTest, PruneBelowDropsOnlyLowerSlotsAndKeepsOrder) {
    EquivocationDetector detector;
    for (uint64_t slot : {10, 9, 11, 9}) {
        const size_t producer = detector.records.size();  // keeps the four records apart
        detector.report_header({slot, 1, producer}, 0);
        detector.report_header({slot, 2, producer}, 0);
    }
    ASSERT_EQ(detector.records.size(), 4u);

    detector.prune_below(10);

    std::vector<std::pair<uint64_t, size_t>> left;
    for (const auto& r : detector.records) left.emplace_back(r.slot, r.producer_index);
    EXPECT_EQ(left, (std::vector<std::pair<uint64_t, size_t>>{{10, 0}, {11, 2}}));
    EXPECT_EQ(detector.seen.size(), 2u);
    // A pruned slot is forgotten; a kept one still conflicts.
    EXPECT_EQ(detector.report_header({9, 3, 1}, 0), std::nullopt);
    EXPECT_NE(detector.report_header({10, 3, 0}, 0), std::nullopt);

    detector.prune_below(MAX_SLOT);
    EXPECT_TRUE(detector.records.empty());
    EXPECT_TRUE(detector.seen.empty());
}

TEST(EquivocationDetectorTest, PruneFloorSaturates) {
    const std::vector<std::pair<uint64_t, uint64_t>> cases = {
        {0, 0}, {499, 0}, {500, 0}, {501, 1}, {MAX_SLOT, MAX_SLOT - 500}};
    for (auto [tip, floor] : cases) EXPECT_EQ(EquivocationDetector::prune_floor(tip), floor) << tip;
}

TEST(EquivocationDetectorTest, BlockIdKnownAnswers) {
    BlockProposalMessage zero;
    EXPECT_EQ(proposal_block_id(zero), 0x8c833bf21dce342cULL);

    BlockProposalMessage p;
    for (size_t i = 0; i < 32; ++i) p.entries_hash.bytes[i] = static_cast<uint8_t>(i);
    p.slot = 7;
    EXPECT_EQ(proposal_block_id(p), 0x327b99ca195fbf4aULL);
}

TEST(EquivocationDetectorTest, BlockIdDependsOnlyOnEntriesHashAndSlot) {
    BlockProposalMessage base;
    base.slot = 42;
    base.entries_hash.bytes[0] = 1;
    const uint64_t id = proposal_block_id(base);

    BlockProposalMessage other = base;
    other.parent_qc_id.bytes[0] = 9;
    other.leader_view = 3;
    other.entry_count = 4;
    other.proof_hash.bytes[1] = 5;
    other.vesk_id.bytes[2] = 6;
    other.timestamp = -1;
    other.recovery = true;
    EXPECT_EQ(proposal_block_id(other), id);

    BlockProposalMessage moved = base;
    moved.slot = 43;
    EXPECT_NE(proposal_block_id(moved), id);
    BlockProposalMessage changed = base;
    changed.entries_hash.bytes[31] = 1;
    EXPECT_NE(proposal_block_id(changed), id);
}

TEST(EquivocationDetectorTest, RecordDebugForm) {
    EXPECT_EQ(to_debug(record({5, 100, 2}, 1, {5, 200, 2}, 255)),
              "EquivocationRecord { slot: 5, producer_index: 2, "
              "first: ReportedHeader { slot: 5, block_id: 100, producer_index: 2 }, "
              "second: ReportedHeader { slot: 5, block_id: 200, producer_index: 2 }, "
              "first_tag: 1, second_tag: 255 }");
}

}  // namespace
}  // namespace vesk
