#include "consensus/consensus_log_event.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/text.hpp"

namespace vesk {
namespace {

BlsPubkey key(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    BlsPubkey k;
    k.bytes.fill(0x77);
    k.bytes[0] = a;
    k.bytes[1] = b;
    k.bytes[2] = c;
    k.bytes[3] = d;
    return k;
}

// 31 zero bytes and then `last`: Base58 is 31 ones and one more digit.
Hash small_hash(uint8_t last) {
    Hash h;
    h.bytes[31] = last;
    return h;
}

const BlsPubkey K1 = key(0x0a, 0x1b, 0x2c, 0x3d);
const BlsPubkey K2 = key(0xe4, 0xf5, 0x06, 0x17);
const Hash H1 = small_hash(1);
const Hash H2 = small_hash(2);
const Hash H3 = small_hash(3);

QuorumCertificate sample_certificate(uint64_t slot) {
    QuorumCertificate qc;
    qc.quorum_view_id = H1;
    qc.message.slot = slot;
    qc.message.leader_view = 2;
    qc.message.vesk_id = K2;
    qc.message.timestamp = -5;
    qc.bitmap = 0b1011;
    return qc;
}
const QuorumCertificate QC = sample_certificate(21);

// Expected texts name the shared values by $K1, $K2, $H1, $H2, $H3 and $QC.
std::string expand(std::string text) {
    const std::pair<std::string, std::string> subs[] = {
        {"$K1", "BlsPubkey(0a1b2c3d..)"},
        {"$K2", "BlsPubkey(e4f50617..)"},
        {"$H1", std::string(31, '1') + "2"},
        {"$H2", std::string(31, '1') + "3"},
        {"$H3", std::string(31, '1') + "4"},
        {"$QC", to_debug(QC)},
    };
    for (const auto& [from, to] : subs) {
        for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
            text.replace(at, from.size(), to);
        }
    }
    return text;
}

struct Row {
    ConsensusLogEvent event;
    std::string text;
};

// One row per kind, in declaration order, every field a distinct value.
std::vector<Row> every_kind() {
    using namespace events;
    return {
        {VerifyingProduceReadiness{}, "VerifyingProduceReadiness"},
        {ProduceReady{}, "ProduceReady"},
        {PeerConnected{.peer = K1}, "PeerConnected { peer: $K1 }"},
        {PingUnauthorized{.peer = K1}, "PingUnauthorized { peer: $K1 }"},
        {PingInvalid{.peer = K2}, "PingInvalid { peer: $K2 }"},
        {PongUnauthorized{.peer = K1}, "PongUnauthorized { peer: $K1 }"},
        {PongInvalid{.peer = K2}, "PongInvalid { peer: $K2 }"},
        {VeskProposing{.slot = 12}, "VeskProposing { slot: 12 }"},
        {VeskProgressCheck{}, "VeskProgressCheck"},
        {BaseProgressCheck{.vesk_id = K1}, "BaseProgressCheck { vesk_id: $K1 }"},
        {IgnoredProposalAsVesk{}, "IgnoredProposalAsVesk"},
        {IgnoredOldProposal{.slot = 3}, "IgnoredOldProposal { slot: 3 }"},
        {SignerNotInQuorum{.signer = K2}, "SignerNotInQuorum { signer: $K2 }"},
        {ReceivedVote{.slot = 4, .from = K1}, "ReceivedVote { slot: 4, from: $K1 }"},
        {VoteMismatch{.slot = 5, .from = K2}, "VoteMismatch { slot: 5, from: $K2 }"},
        {VoterUnknown{}, "VoterUnknown"},
        {DuplicateVote{.from = K1}, "DuplicateVote { from: $K1 }"},
        {QuorumReached{.slot = 6, .vote_count = 3, .voting_stake = 40, .total_stake = 50},
         "QuorumReached { slot: 6, vote_count: 3, voting_stake: 40, total_stake: 50 }"},
        {QuorumPending{.slot = 7, .vote_count = 2, .voting_stake = 2, .total_stake = 5},
         "QuorumPending { slot: 7, vote_count: 2, voting_stake: 2, total_stake: 5 }"},
        {QuorumPendingSelfVote{.slot = 8, .vote_count = 4, .voting_stake = 9, .total_stake = 11},
         "QuorumPendingSelfVote { slot: 8, vote_count: 4, voting_stake: 9, total_stake: 11 }"},
        {QuorumUnknown{.slot = 9, .msg_kind = "Certificate"}, "QuorumUnknown { slot: 9, msg_kind: \"Certificate\" }"},
        {QuorumMismatch{.slot = 10, .expected = H1, .received = H2},
         "QuorumMismatch { slot: 10, expected: $H1, received: $H2 }"},
        {VeskDeferringNonMonotonicProposal{.slot = 4, .timestamp_delta_ms = -12},
         "VeskDeferringNonMonotonicProposal { slot: 4, timestamp_delta_ms: -12 }"},
        {NoProposalPending{}, "NoProposalPending"},
        {ReceivedProposal{.slot = 11, .producer = K1}, "ReceivedProposal { slot: 11, producer: $K1 }"},
        {ProposalAlreadySigned{.slot = 12, .producer = K2}, "ProposalAlreadySigned { slot: 12, producer: $K2 }"},
        {NewProposalTimestamp{.slot = 13, .producer = K1, .timestamp = 1700000000123},
         "NewProposalTimestamp { slot: 13, producer: $K1, timestamp: 1700000000123 }"},
        {ProposalTimestampSkewed{.slot = 14, .producer = K2, .timestamp_delta_ms = 2500},
         "ProposalTimestampSkewed { slot: 14, producer: $K2, timestamp_delta_ms: 2500 }"},
        {ProposalTimestampNonMonotonic{.slot = 15, .producer = K1},
         "ProposalTimestampNonMonotonic { slot: 15, producer: $K1 }"},
        {ProposalDiscontiguous{.slot = 16}, "ProposalDiscontiguous { slot: 16 }"},
        {ProposalUnknownBlock{.slot = 17, .producer = K2}, "ProposalUnknownBlock { slot: 17, producer: $K2 }"},
        {ProcessedBankConflict{.slot = 18, .producer = K1}, "ProcessedBankConflict { slot: 18, producer: $K1 }"},
        {SignedProposal{.slot = 19}, "SignedProposal { slot: 19 }"},
        {IgnoredSignatureAsBase{}, "IgnoredSignatureAsBase"},
        {CertificateValid{.quorum_certificate = QC}, "CertificateValid { quorum_certificate: $QC }"},
        {CertificateInvalid{.slot = 20}, "CertificateInvalid { slot: 20 }"},
        {CertificateAlreadyKnown{.slot = 21}, "CertificateAlreadyKnown { slot: 21 }"},
        {CertificateSuperseded{.slot = 22, .vesk_id = K1, .current_slot = 23, .current_vesk_id = K2},
         "CertificateSuperseded { slot: 22, vesk_id: $K1, current_slot: 23, current_vesk_id: $K2 }"},
        {SameViewQcConflict{.slot = 24, .leader_view = 3, .vesk_id = K2, .qc_id = H1, .conflicting_qc_id = H2},
         "SameViewQcConflict { slot: 24, leader_view: 3, vesk_id: $K2, qc_id: $H1, conflicting_qc_id: $H2 }"},
        {VoteWithheld{.slot = 9, .reason = withheld::NotInQuorum{}}, "VoteWithheld { slot: 9, reason: NotInQuorum }"},
        {VoteLockPending{.slot = 25, .qc_id = H3, .leader_view = 4, .parent_qc = QC},
         "VoteLockPending { slot: 25, qc_id: $H3, leader_view: 4, parent_qc: $QC }"},
        {BlockReplayed{.slot = 26}, "BlockReplayed { slot: 26 }"},
        {BlindSigningGap{.slot = 27, .producer = K1, .local_bank_hash = H1, .leader_proof_hash = H2},
         "BlindSigningGap { slot: 27, producer: $K1, local_bank_hash: $H1, leader_proof_hash: $H2 }"},
        {EntriesHashMismatch{.slot = 28, .computed_entries_hash = H1, .proposed_entries_hash = H2,
                             .entry_hashes = {H3, H1}},
         "EntriesHashMismatch { slot: 28, computed_entries_hash: $H1, proposed_entries_hash: $H2, "
         "entry_hashes: [$H3, $H1] }"},
        {EntryEquivocation{.slot = 29, .entry_id = 5}, "EntryEquivocation { slot: 29, entry_id: 5 }"},
        {AnnouncementHashMismatch{
             .producer_id = K2, .slot = 30, .entry_id = 6, .announced_hash = H1, .observed_hash = H3},
         "AnnouncementHashMismatch { producer_id: $K2, slot: 30, entry_id: 6, announced_hash: $H1, "
         "observed_hash: $H3 }"},
        {WaitingForEntries{.slot = 31, .have = 2, .expected = 7},
         "WaitingForEntries { slot: 31, have: 2, expected: 7 }"},
        {EntryReceived{.slot = 32, .entry_id = 8, .entry_hash = H2},
         "EntryReceived { slot: 32, entry_id: 8, entry_hash: $H2 }"},
        {EquivocationDetected{.slot = 33, .conflicting_hash = 99},
         "EquivocationDetected { slot: 33, conflicting_hash: 99 }"},
        {StaleVoteIgnored{.slot = 34, .current_slot = 35}, "StaleVoteIgnored { slot: 34, current_slot: 35 }"},
        {LeaderRotated{.old_leader = K1, .new_leader = K2, .from_slot = 36, .reason = "timeout"},
         "LeaderRotated { old_leader: $K1, new_leader: $K2, from_slot: 36, reason: \"timeout\" }"},
        {LivenessLapCompleted{.slot = 37, .laps = 2, .quorum_size = 6},
         "LivenessLapCompleted { slot: 37, laps: 2, quorum_size: 6 }"},
        {StateSyncRequested{.from_slot = 38, .to_peer = K1}, "StateSyncRequested { from_slot: 38, to_peer: $K1 }"},
        {StateSyncResponseReceived{.from_peer = K2, .to_slot = 39},
         "StateSyncResponseReceived { from_peer: $K2, to_slot: 39 }"},
        {StateSyncCompleted{.to_slot = 40}, "StateSyncCompleted { to_slot: 40 }"},
        {StateSyncRejectedInvalidSignature{.from_peer = K1},
         "StateSyncRejectedInvalidSignature { from_peer: $K1 }"},
        {VoteSignatureInvalid{.from = K2}, "VoteSignatureInvalid { from: $K2 }"},
        {ProposalSignatureInvalid{.slot = 41}, "ProposalSignatureInvalid { slot: 41 }"},
        {RecoveryProposalRejected{.slot = 42}, "RecoveryProposalRejected { slot: 42 }"},
        {CertificateSlotGap{.slot = 43, .current_slot = 44}, "CertificateSlotGap { slot: 43, current_slot: 44 }"},
        {EpochTransitionPending{.new_view_id = "view-2"}, "EpochTransitionPending { new_view_id: \"view-2\" }"},
        {ProposalEntryCountExceedsCap{.slot = 45, .entry_count = 1025},
         "ProposalEntryCountExceedsCap { slot: 45, entry_count: 1025 }"},
        {EntryRejectedExceedsCap{.slot = 46, .entry_id = 9, .entry_count = 1024},
         "EntryRejectedExceedsCap { slot: 46, entry_id: 9, entry_count: 1024 }"},
        {EntryAuthInvalid{.slot = 47, .entry_id = 10, .claimed_signer = K1},
         "EntryAuthInvalid { slot: 47, entry_id: 10, claimed_signer: $K1 }"},
        {StateSyncRequestAuthInvalid{.requester = K2}, "StateSyncRequestAuthInvalid { requester: $K2 }"},
        {StateSyncResponseAuthInvalid{.responder = K1}, "StateSyncResponseAuthInvalid { responder: $K1 }"},
        {StateSyncResponseUnknownQuorum{.responder = K2, .slot = 48},
         "StateSyncResponseUnknownQuorum { responder: $K2, slot: 48 }"},
        {StateSyncResponseUnsolicited{.responder = K1, .slot = 49},
         "StateSyncResponseUnsolicited { responder: $K1, slot: 49 }"},
        {EpochTransitionAuthInvalid{.claimed_signer = K2}, "EpochTransitionAuthInvalid { claimed_signer: $K2 }"},
        {QcRequested{.from_peer = K1, .slot = 50}, "QcRequested { from_peer: $K1, slot: 50 }"},
        {QcRequestAuthInvalid{.requester = K2}, "QcRequestAuthInvalid { requester: $K2 }"},
        {QcRequestMissing{.from_peer = K1, .slot = 51}, "QcRequestMissing { from_peer: $K1, slot: 51 }"},
        {QcResponseReceived{.from_peer = K2, .slot = 52}, "QcResponseReceived { from_peer: $K2, slot: 52 }"},
        {QcResponseAuthInvalid{.responder = K1}, "QcResponseAuthInvalid { responder: $K1 }"},
        {QcResponseQcInvalid{.from_peer = K2, .slot = 53}, "QcResponseQcInvalid { from_peer: $K2, slot: 53 }"},
        {ProposalAheadOfTip{.slot = 54, .producer = K1}, "ProposalAheadOfTip { slot: 54, producer: $K1 }"},
        {ShredsAvailableRequested{.from_peer = K2, .from_slot = 55},
         "ShredsAvailableRequested { from_peer: $K2, from_slot: 55 }"},
        {ShredsAvailableAuthInvalid{.requester = K1}, "ShredsAvailableAuthInvalid { requester: $K1 }"},
        {ShredsAvailableServed{.to_peer = K2, .from_slot = 56, .blocks = 3},
         "ShredsAvailableServed { to_peer: $K2, from_slot: 56, blocks: 3 }"},
        {ShredsCatalogAuthInvalid{.responder = K1}, "ShredsCatalogAuthInvalid { responder: $K1 }"},
        {ShredsCatalogAccepted{.from_peer = K2, .blocks = 4}, "ShredsCatalogAccepted { from_peer: $K2, blocks: 4 }"},
        {ShredsCatalogIgnored{.from_peer = K1}, "ShredsCatalogIgnored { from_peer: $K1 }"},
        {ShredsFetchRequested{.from_peer = K2, .slot = 57, .start_index = 64},
         "ShredsFetchRequested { from_peer: $K2, slot: 57, start_index: 64 }"},
        {ShredsFetchAuthInvalid{.peer = K1}, "ShredsFetchAuthInvalid { peer: $K1 }"},
        {ShredsFetchServed{.to_peer = K2, .slot = 58, .shreds = 32},
         "ShredsFetchServed { to_peer: $K2, slot: 58, shreds: 32 }"},
        {ShredsFetchProgress{.from_peer = K1, .slot = 59, .shreds = 16},
         "ShredsFetchProgress { from_peer: $K1, slot: 59, shreds: 16 }"},
        {ShredsFetchUncorrelated{.from_peer = K2}, "ShredsFetchUncorrelated { from_peer: $K2 }"},
        {ShredsCatchupFetchComplete{.blocks = 5}, "ShredsCatchupFetchComplete { blocks: 5 }"},
        {ShredsBehindServed{.to_peer = K1, .from_slot = 60, .tip_slot = 61},
         "ShredsBehindServed { to_peer: $K1, from_slot: 60, tip_slot: 61 }"},
        {ShredsCatchupBehind{.from_peer = K2, .tip_slot = 62}, "ShredsCatchupBehind { from_peer: $K2, tip_slot: 62 }"},
        {ShredsCatchupDeferralExpired{.target_slot = 63}, "ShredsCatchupDeferralExpired { target_slot: 63 }"},
        {ShredsBehindAuthInvalid{.responder = K1}, "ShredsBehindAuthInvalid { responder: $K1 }"},
        {ShredsBehindIgnored{.from_peer = K2}, "ShredsBehindIgnored { from_peer: $K2 }"},
        {ParkedUntilEvent{.event = unpark::ChainStateReached{.block_height = 7}, .msg_kind = "BlockProposal"},
         "ParkedUntilEvent { event: ChainStateReached { block_height: 7 }, msg_kind: \"BlockProposal\" }"},
        {ParkFailed{.msg_kind = "BlockSignature"}, "ParkFailed { msg_kind: \"BlockSignature\" }"},
    };
}

TEST(ConsensusLogEvent, EveryKindInDeclarationOrderWithItsFields) {
    const auto rows = every_kind();
    ASSERT_EQ(std::variant_size_v<ConsensusLogEvent>, 95u);
    ASSERT_EQ(rows.size(), 95u);
    for (size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i].event.index(), i) << rows[i].text;
        EXPECT_EQ(to_debug(rows[i].event), expand(rows[i].text));
    }
}

TEST(ConsensusLogEvent, EdgeValuesPrintInFull) {
    const u128 two_pow_64 = u128{1} << 64;
    const Row rows[] = {
        {events::VoteWithheld{.slot = 9, .reason = withheld::LockedByPriorVote{8, 1}},
         "VoteWithheld { slot: 9, reason: LockedByPriorVote { prior_vote_slot: 8, prior_vote_leader_view: 1 } }"},
        {events::EntriesHashMismatch{
             .slot = 2, .computed_entries_hash = H1, .proposed_entries_hash = H2, .entry_hashes = {}},
         "EntriesHashMismatch { slot: 2, computed_entries_hash: $H1, proposed_entries_hash: $H2, entry_hashes: [] }"},
        {events::EntriesHashMismatch{
             .slot = 2, .computed_entries_hash = H1, .proposed_entries_hash = H2, .entry_hashes = {H3}},
         "EntriesHashMismatch { slot: 2, computed_entries_hash: $H1, proposed_entries_hash: $H2, entry_hashes: [$H3] }"},
        {events::QuorumReached{.slot = 1, .vote_count = 1, .voting_stake = two_pow_64, .total_stake = two_pow_64},
         "QuorumReached { slot: 1, vote_count: 1, voting_stake: 18446744073709551616, "
         "total_stake: 18446744073709551616 }"},
        {events::QuorumPending{.slot = 0, .vote_count = 0, .voting_stake = 0, .total_stake = U128_MAX},
         "QuorumPending { slot: 0, vote_count: 0, voting_stake: 0, "
         "total_stake: 340282366920938463463374607431768211455 }"},
        {events::NewProposalTimestamp{
             .slot = UINT64_MAX, .producer = K1, .timestamp = std::numeric_limits<int64_t>::min()},
         "NewProposalTimestamp { slot: 18446744073709551615, producer: $K1, timestamp: -9223372036854775808 }"},
        {events::ProposalTimestampSkewed{.slot = 3, .producer = K2, .timestamp_delta_ms = -1},
         "ProposalTimestampSkewed { slot: 3, producer: $K2, timestamp_delta_ms: -1 }"},
        {events::ShredsFetchRequested{.from_peer = K1, .slot = 4, .start_index = UINT32_MAX},
         "ShredsFetchRequested { from_peer: $K1, slot: 4, start_index: 4294967295 }"},
    };
    for (const auto& row : rows) EXPECT_EQ(to_debug(row.event), expand(row.text));
}

TEST(ConsensusLogEvent, TextFieldsAreQuotedWithEscapes) {
    const std::pair<std::string, std::string> cases[] = {
        {"", "\"\""},
        {"say \"hi\"", "\"say \\\"hi\\\"\""},
        {"a\\b", "\"a\\\\b\""},
        {"\t\r\n", "\"\\t\\r\\n\""},
        {std::string("x\0y", 3), "\"x\\0y\""},
        {"\x01\x1f\x7f", "\"\\u{1}\\u{1f}\\u{7f}\""},
        {"caf\xc3\xa9", "\"caf\xc3\xa9\""},
    };
    for (const auto& [text, quoted] : cases) {
        EXPECT_EQ(to_debug(ConsensusLogEvent{events::ParkFailed{text}}), "ParkFailed { msg_kind: " + quoted + " }");
        EXPECT_EQ(to_debug(ConsensusLogEvent{events::LeaderRotated{K1, K2, 5, text}}),
                  expand("LeaderRotated { old_leader: $K1, new_leader: $K2, from_slot: 5, reason: ") + quoted + " }");
    }
}

TEST(VoteWithheldReason, EveryKindInOrder) {
    const std::pair<VoteWithheldReason, std::string> rows[] = {
        {withheld::VotingDisabled{}, "VotingDisabled"},
        {withheld::PersistenceContextChanged{}, "PersistenceContextChanged"},
        {withheld::NotInQuorum{}, "NotInQuorum"},
        {withheld::DoesNotExtendHead{}, "DoesNotExtendHead"},
        {withheld::LeaderViewIneligible{}, "LeaderViewIneligible"},
        {withheld::LockedByPriorVote{.prior_vote_slot = 8, .prior_vote_leader_view = 1},
         "LockedByPriorVote { prior_vote_slot: 8, prior_vote_leader_view: 1 }"},
    };
    ASSERT_EQ(std::variant_size_v<VoteWithheldReason>, std::size(rows));
    for (size_t i = 0; i < std::size(rows); ++i) {
        EXPECT_EQ(rows[i].first.index(), i);
        EXPECT_EQ(to_debug(rows[i].first), rows[i].second);
        EXPECT_EQ(to_debug(ConsensusLogEvent{events::VoteWithheld{3, rows[i].first}}),
                  "VoteWithheld { slot: 3, reason: " + rows[i].second + " }");
    }
}

TEST(UnparkEvent, NormalAndPrettyForms) {
    struct Case {
        UnparkEvent event;
        std::string normal;
        std::string pretty;
    };
    const Case cases[] = {
        {unpark::BlockProcessed{.producer = K2, .block_height = 3},
         "BlockProcessed { producer: $K2, block_height: 3 }",
         "BlockProcessed {\n    producer: $K2,\n    block_height: 3,\n}"},
        {unpark::LeaderRotated{.new_leader = K1, .block_height = 12},
         "LeaderRotated { new_leader: $K1, block_height: 12 }",
         "LeaderRotated {\n    new_leader: $K1,\n    block_height: 12,\n}"},
        {unpark::ChainStateReached{.block_height = 7}, "ChainStateReached { block_height: 7 }",
         "ChainStateReached {\n    block_height: 7,\n}"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(to_debug(c.event), expand(c.normal));
        std::string pretty;
        debug_pretty(pretty, c.event);
        EXPECT_EQ(pretty, expand(c.pretty));
        // The event text always embeds the normal form.
        EXPECT_EQ(to_debug(ConsensusLogEvent{events::ParkedUntilEvent{c.event, "Certificate"}}),
                  "ParkedUntilEvent { event: " + expand(c.normal) + ", msg_kind: \"Certificate\" }");
    }
}

TEST(UnparkEvent, EqualityAndHashingAreByKindAndEveryField) {
    const UnparkEvent distinct[] = {
        unpark::BlockProcessed{K1, 5}, unpark::BlockProcessed{K2, 5}, unpark::BlockProcessed{K1, 6},
        unpark::LeaderRotated{K1, 5},  unpark::LeaderRotated{K2, 5},  unpark::LeaderRotated{K1, 6},
        unpark::ChainStateReached{5},  unpark::ChainStateReached{6},
    };
    std::unordered_map<UnparkEvent, int> map;
    for (size_t i = 0; i < std::size(distinct); ++i) {
        for (size_t j = 0; j < std::size(distinct); ++j) EXPECT_EQ(distinct[i] == distinct[j], i == j) << i << j;
        map[distinct[i]] = static_cast<int>(i);
    }
    ASSERT_EQ(map.size(), std::size(distinct));
    for (size_t i = 0; i < std::size(distinct); ++i) {
        const UnparkEvent copy = distinct[i];
        EXPECT_EQ(std::hash<UnparkEvent>{}(copy), std::hash<UnparkEvent>{}(distinct[i]));
        EXPECT_EQ(map.at(copy), static_cast<int>(i));
    }
}

template <class V, size_t... I>
constexpr size_t largest_other_kind(std::index_sequence<I...>) {
    size_t m = 0;
    ((std::is_same_v<std::variant_alternative_t<I, V>, events::CertificateValid> ||
              std::is_same_v<std::variant_alternative_t<I, V>, events::VoteLockPending>
          ? void()
          : void(m = std::max(m, sizeof(std::variant_alternative_t<I, V>)))),
     ...);
    return m;
}

TEST(ConsensusLogEvent, CertificateKindsAreNoWiderThanTheOthers) {
    constexpr size_t others =
        largest_other_kind<ConsensusLogEvent>(std::make_index_sequence<std::variant_size_v<ConsensusLogEvent>>());
    static_assert(sizeof(events::CertificateValid) <= others);
    static_assert(sizeof(events::VoteLockPending) <= others);
    static_assert(sizeof(ConsensusLogEvent) < sizeof(QuorumCertificate));
    static_assert(std::is_nothrow_move_constructible_v<ConsensusLogEvent>);
}

TEST(ConsensusLogEvent, CopiesOwnTheirCertificate) {
    ConsensusLogEvent original = events::VoteLockPending{.slot = 25, .qc_id = H3, .leader_view = 4, .parent_qc = QC};
    ConsensusLogEvent copy = original;
    EXPECT_EQ(copy, original);

    std::get<events::VoteLockPending>(copy).parent_qc->message.slot = 99;
    EXPECT_NE(copy, original);
    EXPECT_EQ(std::get<events::VoteLockPending>(original).parent_qc->message.slot, 21u);
    EXPECT_EQ(to_debug(original), expand("VoteLockPending { slot: 25, qc_id: $H3, leader_view: 4, parent_qc: $QC }"));

    // Copy-assignment over an event that already holds a certificate.
    ConsensusLogEvent target = events::CertificateValid{sample_certificate(1)};
    const ConsensusLogEvent source = events::CertificateValid{QC};
    target = source;
    EXPECT_EQ(target, source);
    EXPECT_EQ(*std::get<events::CertificateValid>(target).quorum_certificate, QC);

    // Moving leaves the moved-to event intact.
    ConsensusLogEvent moved = std::move(target);
    EXPECT_EQ(to_debug(moved), expand("CertificateValid { quorum_certificate: $QC }"));
}

TEST(ConsensusLogEvent, EqualityComparesKindAndFields) {
    const ConsensusLogEvent a = events::ReceivedVote{4, K1};
    EXPECT_EQ(a, ConsensusLogEvent(events::ReceivedVote{4, K1}));
    EXPECT_NE(a, ConsensusLogEvent(events::ReceivedVote{4, K2}));
    EXPECT_NE(a, ConsensusLogEvent(events::VoteMismatch{4, K1}));
    EXPECT_NE(ConsensusLogEvent(events::EntriesHashMismatch{1, H1, H2, {H3}}),
              ConsensusLogEvent(events::EntriesHashMismatch{1, H1, H2, {}}));
}

}  // namespace
}  // namespace vesk
