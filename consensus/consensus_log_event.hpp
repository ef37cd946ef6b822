#pragma once
// The protocol's event vocabulary: what each state-machine step met, in order,
// and the text form the event log prints for it.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "base/saturating.hpp"
#include "base/indirect.hpp"
#include "base/text.hpp"
#include "consensus/certificate.hpp"
#include "consensus/types.hpp"
#include "hash/hash.hpp"

namespace vesk {


// ---- UnparkEvent: the condition that releases parked messages ----
namespace unpark {

// The block of `producer` for slot `block_height` was processed locally.
struct BlockProcessed {
    BlsPubkey producer;
    uint64_t block_height = 0;
    bool operator==(const BlockProcessed&) const = default;
};
// The leader changed to `new_leader` for slot `block_height`.
struct LeaderRotated {
    BlsPubkey new_leader;
    uint64_t block_height = 0;
    bool operator==(const LeaderRotated&) const = default;
};
// The chain tip reached slot `block_height`.
struct ChainStateReached {
    uint64_t block_height = 0;
    bool operator==(const ChainStateReached&) const = default;
};

}  // namespace unpark

// Compared and hashed as a whole (std::variant's == and std::hash), since it
// keys the parked-message map.
using UnparkEvent = std::variant<unpark::BlockProcessed, unpark::LeaderRotated, unpark::ChainStateReached>;

namespace unpark {

void debug(std::string& out, const BlockProcessed& e);
void debug(std::string& out, const LeaderRotated& e);
void debug(std::string& out, const ChainStateReached& e);
void debug(std::string& out, const UnparkEvent& e);
// The alternate form: one field a line, indented by four blanks, each
// followed by a comma, and the closing brace on a line of its own.
void debug_pretty(std::string& out, const UnparkEvent& e);

namespace detail {
inline size_t mix(size_t seed, size_t v) { return seed ^ (v + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2)); }
}  // namespace detail

}  // namespace unpark

// ---- VoteWithheldReason: why a follower did not vote for a proposal ----
namespace withheld {

struct VotingDisabled { bool operator==(const VotingDisabled&) const = default; };
struct PersistenceContextChanged { bool operator==(const PersistenceContextChanged&) const = default; };
struct NotInQuorum { bool operator==(const NotInQuorum&) const = default; };
struct DoesNotExtendHead { bool operator==(const DoesNotExtendHead&) const = default; };
struct LeaderViewIneligible { bool operator==(const LeaderViewIneligible&) const = default; };
struct LockedByPriorVote {
    uint64_t prior_vote_slot = 0;
    uint64_t prior_vote_leader_view = 0;
    bool operator==(const LockedByPriorVote&) const = default;
};

}  // namespace withheld

using VoteWithheldReason =
    std::variant<withheld::VotingDisabled, withheld::PersistenceContextChanged, withheld::NotInQuorum,
                 withheld::DoesNotExtendHead, withheld::LeaderViewIneligible, withheld::LockedByPriorVote>;

namespace withheld {

void debug(std::string& out, const VotingDisabled& r);
void debug(std::string& out, const PersistenceContextChanged& r);
void debug(std::string& out, const NotInQuorum& r);
void debug(std::string& out, const DoesNotExtendHead& r);
void debug(std::string& out, const LeaderViewIneligible& r);
void debug(std::string& out, const LockedByPriorVote& r);
void debug(std::string& out, const VoteWithheldReason& r);

}  // namespace withheld

// ---- ConsensusLogEvent ----
// Kinds in declaration order; fields print in member order. Some kind names
// equal UnparkEvent or message names, hence the namespace.
namespace events {

struct VerifyingProduceReadiness { bool operator==(const VerifyingProduceReadiness&) const = default; };
struct ProduceReady { bool operator==(const ProduceReady&) const = default; };
struct PeerConnected {
    BlsPubkey peer;
    bool operator==(const PeerConnected&) const = default;
};
struct PingUnauthorized {
    BlsPubkey peer;
    bool operator==(const PingUnauthorized&) const = default;
};
struct PingInvalid {
    BlsPubkey peer;
    bool operator==(const PingInvalid&) const = default;
};
struct PongUnauthorized {
    BlsPubkey peer;
    bool operator==(const PongUnauthorized&) const = default;
};
struct PongInvalid {
    BlsPubkey peer;
    bool operator==(const PongInvalid&) const = default;
};
struct VeskProposing {
    uint64_t slot = 0;
    bool operator==(const VeskProposing&) const = default;
};
struct VeskProgressCheck { bool operator==(const VeskProgressCheck&) const = default; };
struct BaseProgressCheck {
    BlsPubkey vesk_id;
    bool operator==(const BaseProgressCheck&) const = default;
};
struct IgnoredProposalAsVesk { bool operator==(const IgnoredProposalAsVesk&) const = default; };
struct IgnoredOldProposal {
    uint64_t slot = 0;
    bool operator==(const IgnoredOldProposal&) const = default;
};
struct SignerNotInQuorum {
    BlsPubkey signer;
    bool operator==(const SignerNotInQuorum&) const = default;
};
struct ReceivedVote {
    uint64_t slot = 0;
    BlsPubkey from;
    bool operator==(const ReceivedVote&) const = default;
};
struct VoteMismatch {
    uint64_t slot = 0;
    BlsPubkey from;
    bool operator==(const VoteMismatch&) const = default;
};
struct VoterUnknown { bool operator==(const VoterUnknown&) const = default; };
struct DuplicateVote {
    BlsPubkey from;
    bool operator==(const DuplicateVote&) const = default;
};
struct QuorumReached {
    uint64_t slot = 0;
    size_t vote_count = 0;
    u128 voting_stake = 0;
    u128 total_stake = 0;
    bool operator==(const QuorumReached&) const = default;
};
struct QuorumPending {
    uint64_t slot = 0;
    size_t vote_count = 0;
    u128 voting_stake = 0;
    u128 total_stake = 0;
    bool operator==(const QuorumPending&) const = default;
};
struct QuorumPendingSelfVote {
    uint64_t slot = 0;
    size_t vote_count = 0;
    u128 voting_stake = 0;
    u128 total_stake = 0;
    bool operator==(const QuorumPendingSelfVote&) const = default;
};
struct QuorumUnknown {
    uint64_t slot = 0;
    std::string msg_kind;
    bool operator==(const QuorumUnknown&) const = default;
};
struct QuorumMismatch {
    uint64_t slot = 0;
    Hash expected;
    Hash received;
    bool operator==(const QuorumMismatch&) const = default;
};
struct VeskDeferringNonMonotonicProposal {
    uint64_t slot = 0;
    int64_t timestamp_delta_ms = 0;
    bool operator==(const VeskDeferringNonMonotonicProposal&) const = default;
};
struct NoProposalPending { bool operator==(const NoProposalPending&) const = default; };
struct ReceivedProposal {
    uint64_t slot = 0;
    BlsPubkey producer;
    bool operator==(const ReceivedProposal&) const = default;
};
struct ProposalAlreadySigned {
    uint64_t slot = 0;
    BlsPubkey producer;
    bool operator==(const ProposalAlreadySigned&) const = default;
};
struct NewProposalTimestamp {
    uint64_t slot = 0;
    BlsPubkey producer;
    int64_t timestamp = 0;
    bool operator==(const NewProposalTimestamp&) const = default;
};
struct ProposalTimestampSkewed {
    uint64_t slot = 0;
    BlsPubkey producer;
    int64_t timestamp_delta_ms = 0;
    bool operator==(const ProposalTimestampSkewed&) const = default;
};
struct ProposalTimestampNonMonotonic {
    uint64_t slot = 0;
    BlsPubkey producer;
    bool operator==(const ProposalTimestampNonMonotonic&) const = default;
};
struct ProposalDiscontiguous {
    uint64_t slot = 0;
    bool operator==(const ProposalDiscontiguous&) const = default;
};
struct ProposalUnknownBlock {
    uint64_t slot = 0;
    BlsPubkey producer;
    bool operator==(const ProposalUnknownBlock&) const = default;
};
struct ProcessedBankConflict {
    uint64_t slot = 0;
    BlsPubkey producer;
    bool operator==(const ProcessedBankConflict&) const = default;
};
struct SignedProposal {
    uint64_t slot = 0;
    bool operator==(const SignedProposal&) const = default;
};
struct IgnoredSignatureAsBase { bool operator==(const IgnoredSignatureAsBase&) const = default; };
struct CertificateValid {
    Indirect<QuorumCertificate> quorum_certificate;
    bool operator==(const CertificateValid&) const = default;
};
struct CertificateInvalid {
    uint64_t slot = 0;
    bool operator==(const CertificateInvalid&) const = default;
};
struct CertificateAlreadyKnown {
    uint64_t slot = 0;
    bool operator==(const CertificateAlreadyKnown&) const = default;
};
struct CertificateSuperseded {
    uint64_t slot = 0;
    BlsPubkey vesk_id;
    uint64_t current_slot = 0;
    BlsPubkey current_vesk_id;
    bool operator==(const CertificateSuperseded&) const = default;
};
struct SameViewQcConflict {
    uint64_t slot = 0;
    uint64_t leader_view = 0;
    BlsPubkey vesk_id;
    Hash qc_id;
    Hash conflicting_qc_id;
    bool operator==(const SameViewQcConflict&) const = default;
};
struct VoteWithheld {
    uint64_t slot = 0;
    VoteWithheldReason reason;
    bool operator==(const VoteWithheld&) const = default;
};
struct VoteLockPending {
    uint64_t slot = 0;
    Hash qc_id;
    uint64_t leader_view = 0;
    Indirect<QuorumCertificate> parent_qc;
    bool operator==(const VoteLockPending&) const = default;
};
struct BlockReplayed {
    uint64_t slot = 0;
    bool operator==(const BlockReplayed&) const = default;
};
struct BlindSigningGap {
    uint64_t slot = 0;
    BlsPubkey producer;
    Hash local_bank_hash;
    Hash leader_proof_hash;
    bool operator==(const BlindSigningGap&) const = default;
};
struct EntriesHashMismatch {
    uint64_t slot = 0;
    Hash computed_entries_hash;
    Hash proposed_entries_hash;
    std::vector<Hash> entry_hashes;
    bool operator==(const EntriesHashMismatch&) const = default;
};
struct EntryEquivocation {
    uint64_t slot = 0;
    uint64_t entry_id = 0;
    bool operator==(const EntryEquivocation&) const = default;
};
struct AnnouncementHashMismatch {
    BlsPubkey producer_id;
    uint64_t slot = 0;
    uint64_t entry_id = 0;
    Hash announced_hash;
    Hash observed_hash;
    bool operator==(const AnnouncementHashMismatch&) const = default;
};
struct WaitingForEntries {
    uint64_t slot = 0;
    uint64_t have = 0;
    uint64_t expected = 0;
    bool operator==(const WaitingForEntries&) const = default;
};
struct EntryReceived {
    uint64_t slot = 0;
    uint64_t entry_id = 0;
    Hash entry_hash;
    bool operator==(const EntryReceived&) const = default;
};
struct EquivocationDetected {
    uint64_t slot = 0;
    uint64_t conflicting_hash = 0;  // a number despite its name
    bool operator==(const EquivocationDetected&) const = default;
};
struct StaleVoteIgnored {
    uint64_t slot = 0;
    uint64_t current_slot = 0;
    bool operator==(const StaleVoteIgnored&) const = default;
};
struct LeaderRotated {
    BlsPubkey old_leader;
    BlsPubkey new_leader;
    uint64_t from_slot = 0;
    std::string reason;
    bool operator==(const LeaderRotated&) const = default;
};
struct LivenessLapCompleted {
    uint64_t slot = 0;
    uint64_t laps = 0;
    size_t quorum_size = 0;
    bool operator==(const LivenessLapCompleted&) const = default;
};
struct StateSyncRequested {
    uint64_t from_slot = 0;
    BlsPubkey to_peer;
    bool operator==(const StateSyncRequested&) const = default;
};
struct StateSyncResponseReceived {
    BlsPubkey from_peer;
    uint64_t to_slot = 0;
    bool operator==(const StateSyncResponseReceived&) const = default;
};
struct StateSyncCompleted {
    uint64_t to_slot = 0;
    bool operator==(const StateSyncCompleted&) const = default;
};
struct StateSyncRejectedInvalidSignature {
    BlsPubkey from_peer;
    bool operator==(const StateSyncRejectedInvalidSignature&) const = default;
};
struct VoteSignatureInvalid {
    BlsPubkey from;
    bool operator==(const VoteSignatureInvalid&) const = default;
};
struct ProposalSignatureInvalid {
    uint64_t slot = 0;
    bool operator==(const ProposalSignatureInvalid&) const = default;
};
struct RecoveryProposalRejected {
    uint64_t slot = 0;
    bool operator==(const RecoveryProposalRejected&) const = default;
};
struct CertificateSlotGap {
    uint64_t slot = 0;
    uint64_t current_slot = 0;
    bool operator==(const CertificateSlotGap&) const = default;
};
struct EpochTransitionPending {
    std::string new_view_id;
    bool operator==(const EpochTransitionPending&) const = default;
};
struct ProposalEntryCountExceedsCap {
    uint64_t slot = 0;
    uint64_t entry_count = 0;
    bool operator==(const ProposalEntryCountExceedsCap&) const = default;
};
struct EntryRejectedExceedsCap {
    uint64_t slot = 0;
    uint64_t entry_id = 0;
    uint64_t entry_count = 0;
    bool operator==(const EntryRejectedExceedsCap&) const = default;
};
struct EntryAuthInvalid {
    uint64_t slot = 0;
    uint64_t entry_id = 0;
    BlsPubkey claimed_signer;
    bool operator==(const EntryAuthInvalid&) const = default;
};
struct StateSyncRequestAuthInvalid {
    BlsPubkey requester;
    bool operator==(const StateSyncRequestAuthInvalid&) const = default;
};
struct StateSyncResponseAuthInvalid {
    BlsPubkey responder;
    bool operator==(const StateSyncResponseAuthInvalid&) const = default;
};
struct StateSyncResponseUnknownQuorum {
    BlsPubkey responder;
    uint64_t slot = 0;
    bool operator==(const StateSyncResponseUnknownQuorum&) const = default;
};
struct StateSyncResponseUnsolicited {
    BlsPubkey responder;
    uint64_t slot = 0;
    bool operator==(const StateSyncResponseUnsolicited&) const = default;
};
struct EpochTransitionAuthInvalid {
    BlsPubkey claimed_signer;
    bool operator==(const EpochTransitionAuthInvalid&) const = default;
};
struct QcRequested {
    BlsPubkey from_peer;
    uint64_t slot = 0;
    bool operator==(const QcRequested&) const = default;
};
struct QcRequestAuthInvalid {
    BlsPubkey requester;
    bool operator==(const QcRequestAuthInvalid&) const = default;
};
struct QcRequestMissing {
    BlsPubkey from_peer;
    uint64_t slot = 0;
    bool operator==(const QcRequestMissing&) const = default;
};
struct QcResponseReceived {
    BlsPubkey from_peer;
    uint64_t slot = 0;
    bool operator==(const QcResponseReceived&) const = default;
};
struct QcResponseAuthInvalid {
    BlsPubkey responder;
    bool operator==(const QcResponseAuthInvalid&) const = default;
};
struct QcResponseQcInvalid {
    BlsPubkey from_peer;
    uint64_t slot = 0;
    bool operator==(const QcResponseQcInvalid&) const = default;
};
struct ProposalAheadOfTip {
    uint64_t slot = 0;
    BlsPubkey producer;
    bool operator==(const ProposalAheadOfTip&) const = default;
};
struct ShredsAvailableRequested {
    BlsPubkey from_peer;
    uint64_t from_slot = 0;
    bool operator==(const ShredsAvailableRequested&) const = default;
};
struct ShredsAvailableAuthInvalid {
    BlsPubkey requester;
    bool operator==(const ShredsAvailableAuthInvalid&) const = default;
};
struct ShredsAvailableServed {
    BlsPubkey to_peer;
    uint64_t from_slot = 0;
    size_t blocks = 0;
    bool operator==(const ShredsAvailableServed&) const = default;
};
struct ShredsCatalogAuthInvalid {
    BlsPubkey responder;
    bool operator==(const ShredsCatalogAuthInvalid&) const = default;
};
struct ShredsCatalogAccepted {
    BlsPubkey from_peer;
    size_t blocks = 0;
    bool operator==(const ShredsCatalogAccepted&) const = default;
};
struct ShredsCatalogIgnored {
    BlsPubkey from_peer;
    bool operator==(const ShredsCatalogIgnored&) const = default;
};
struct ShredsFetchRequested {
    BlsPubkey from_peer;
    uint64_t slot = 0;
    uint32_t start_index = 0;
    bool operator==(const ShredsFetchRequested&) const = default;
};
struct ShredsFetchAuthInvalid {
    BlsPubkey peer;
    bool operator==(const ShredsFetchAuthInvalid&) const = default;
};
struct ShredsFetchServed {
    BlsPubkey to_peer;
    uint64_t slot = 0;
    size_t shreds = 0;
    bool operator==(const ShredsFetchServed&) const = default;
};
struct ShredsFetchProgress {
    BlsPubkey from_peer;
    uint64_t slot = 0;
    size_t shreds = 0;
    bool operator==(const ShredsFetchProgress&) const = default;
};
struct ShredsFetchUncorrelated {
    BlsPubkey from_peer;
    bool operator==(const ShredsFetchUncorrelated&) const = default;
};
struct ShredsCatchupFetchComplete {
    size_t blocks = 0;
    bool operator==(const ShredsCatchupFetchComplete&) const = default;
};
struct ShredsBehindServed {
    BlsPubkey to_peer;
    uint64_t from_slot = 0;
    uint64_t tip_slot = 0;
    bool operator==(const ShredsBehindServed&) const = default;
};
struct ShredsCatchupBehind {
    BlsPubkey from_peer;
    uint64_t tip_slot = 0;
    bool operator==(const ShredsCatchupBehind&) const = default;
};
struct ShredsCatchupDeferralExpired {
    uint64_t target_slot = 0;
    bool operator==(const ShredsCatchupDeferralExpired&) const = default;
};
struct ShredsBehindAuthInvalid {
    BlsPubkey responder;
    bool operator==(const ShredsBehindAuthInvalid&) const = default;
};
struct ShredsBehindIgnored {
    BlsPubkey from_peer;
    bool operator==(const ShredsBehindIgnored&) const = default;
};
struct ParkedUntilEvent {
    UnparkEvent event;
    std::string msg_kind;
    bool operator==(const ParkedUntilEvent&) const = default;
};
struct ParkFailed {
    std::string msg_kind;
    bool operator==(const ParkFailed&) const = default;
};

}  // namespace events

using ConsensusLogEvent = std::variant<
    events::VerifyingProduceReadiness,
    events::ProduceReady,
    events::PeerConnected,
    events::PingUnauthorized,
    events::PingInvalid,
    events::PongUnauthorized,
    events::PongInvalid,
    events::VeskProposing,
    events::VeskProgressCheck,
    events::BaseProgressCheck,
    events::IgnoredProposalAsVesk,
    events::IgnoredOldProposal,
    events::SignerNotInQuorum,
    events::ReceivedVote,
    events::VoteMismatch,
    events::VoterUnknown,
    events::DuplicateVote,
    events::QuorumReached,
    events::QuorumPending,
    events::QuorumPendingSelfVote,
    events::QuorumUnknown,
    events::QuorumMismatch,
    events::VeskDeferringNonMonotonicProposal,
    events::NoProposalPending,
    events::ReceivedProposal,
    events::ProposalAlreadySigned,
    events::NewProposalTimestamp,
    events::ProposalTimestampSkewed,
    events::ProposalTimestampNonMonotonic,
    events::ProposalDiscontiguous,
    events::ProposalUnknownBlock,
    events::ProcessedBankConflict,
    events::SignedProposal,
    events::IgnoredSignatureAsBase,
    events::CertificateValid,
    events::CertificateInvalid,
    events::CertificateAlreadyKnown,
    events::CertificateSuperseded,
    events::SameViewQcConflict,
    events::VoteWithheld,
    events::VoteLockPending,
    events::BlockReplayed,
    events::BlindSigningGap,
    events::EntriesHashMismatch,
    events::EntryEquivocation,
    events::AnnouncementHashMismatch,
    events::WaitingForEntries,
    events::EntryReceived,
    events::EquivocationDetected,
    events::StaleVoteIgnored,
    events::LeaderRotated,
    events::LivenessLapCompleted,
    events::StateSyncRequested,
    events::StateSyncResponseReceived,
    events::StateSyncCompleted,
    events::StateSyncRejectedInvalidSignature,
    events::VoteSignatureInvalid,
    events::ProposalSignatureInvalid,
    events::RecoveryProposalRejected,
    events::CertificateSlotGap,
    events::EpochTransitionPending,
    events::ProposalEntryCountExceedsCap,
    events::EntryRejectedExceedsCap,
    events::EntryAuthInvalid,
    events::StateSyncRequestAuthInvalid,
    events::StateSyncResponseAuthInvalid,
    events::StateSyncResponseUnknownQuorum,
    events::StateSyncResponseUnsolicited,
    events::EpochTransitionAuthInvalid,
    events::QcRequested,
    events::QcRequestAuthInvalid,
    events::QcRequestMissing,
    events::QcResponseReceived,
    events::QcResponseAuthInvalid,
    events::QcResponseQcInvalid,
    events::ProposalAheadOfTip,
    events::ShredsAvailableRequested,
    events::ShredsAvailableAuthInvalid,
    events::ShredsAvailableServed,
    events::ShredsCatalogAuthInvalid,
    events::ShredsCatalogAccepted,
    events::ShredsCatalogIgnored,
    events::ShredsFetchRequested,
    events::ShredsFetchAuthInvalid,
    events::ShredsFetchServed,
    events::ShredsFetchProgress,
    events::ShredsFetchUncorrelated,
    events::ShredsCatchupFetchComplete,
    events::ShredsBehindServed,
    events::ShredsCatchupBehind,
    events::ShredsCatchupDeferralExpired,
    events::ShredsBehindAuthInvalid,
    events::ShredsBehindIgnored,
    events::ParkedUntilEvent,
    events::ParkFailed>;

namespace events {

void debug(std::string& out, const VerifyingProduceReadiness& e);
void debug(std::string& out, const ProduceReady& e);
void debug(std::string& out, const PeerConnected& e);
void debug(std::string& out, const PingUnauthorized& e);
void debug(std::string& out, const PingInvalid& e);
void debug(std::string& out, const PongUnauthorized& e);
void debug(std::string& out, const PongInvalid& e);
void debug(std::string& out, const VeskProposing& e);
void debug(std::string& out, const VeskProgressCheck& e);
void debug(std::string& out, const BaseProgressCheck& e);
void debug(std::string& out, const IgnoredProposalAsVesk& e);
void debug(std::string& out, const IgnoredOldProposal& e);
void debug(std::string& out, const SignerNotInQuorum& e);
void debug(std::string& out, const ReceivedVote& e);
void debug(std::string& out, const VoteMismatch& e);
void debug(std::string& out, const VoterUnknown& e);
void debug(std::string& out, const DuplicateVote& e);
void debug(std::string& out, const QuorumReached& e);
void debug(std::string& out, const QuorumPending& e);
void debug(std::string& out, const QuorumPendingSelfVote& e);
void debug(std::string& out, const QuorumUnknown& e);
void debug(std::string& out, const QuorumMismatch& e);
void debug(std::string& out, const VeskDeferringNonMonotonicProposal& e);
void debug(std::string& out, const NoProposalPending& e);
void debug(std::string& out, const ReceivedProposal& e);
void debug(std::string& out, const ProposalAlreadySigned& e);
void debug(std::string& out, const NewProposalTimestamp& e);
void debug(std::string& out, const ProposalTimestampSkewed& e);
void debug(std::string& out, const ProposalTimestampNonMonotonic& e);
void debug(std::string& out, const ProposalDiscontiguous& e);
void debug(std::string& out, const ProposalUnknownBlock& e);
void debug(std::string& out, const ProcessedBankConflict& e);
void debug(std::string& out, const SignedProposal& e);
void debug(std::string& out, const IgnoredSignatureAsBase& e);
void debug(std::string& out, const CertificateValid& e);
void debug(std::string& out, const CertificateInvalid& e);
void debug(std::string& out, const CertificateAlreadyKnown& e);
void debug(std::string& out, const CertificateSuperseded& e);
void debug(std::string& out, const SameViewQcConflict& e);
void debug(std::string& out, const VoteWithheld& e);
void debug(std::string& out, const VoteLockPending& e);
void debug(std::string& out, const BlockReplayed& e);
void debug(std::string& out, const BlindSigningGap& e);
void debug(std::string& out, const EntriesHashMismatch& e);
void debug(std::string& out, const EntryEquivocation& e);
void debug(std::string& out, const AnnouncementHashMismatch& e);
void debug(std::string& out, const WaitingForEntries& e);
void debug(std::string& out, const EntryReceived& e);
void debug(std::string& out, const EquivocationDetected& e);
void debug(std::string& out, const StaleVoteIgnored& e);
void debug(std::string& out, const LeaderRotated& e);
void debug(std::string& out, const LivenessLapCompleted& e);
void debug(std::string& out, const StateSyncRequested& e);
void debug(std::string& out, const StateSyncResponseReceived& e);
void debug(std::string& out, const StateSyncCompleted& e);
void debug(std::string& out, const StateSyncRejectedInvalidSignature& e);
void debug(std::string& out, const VoteSignatureInvalid& e);
void debug(std::string& out, const ProposalSignatureInvalid& e);
void debug(std::string& out, const RecoveryProposalRejected& e);
void debug(std::string& out, const CertificateSlotGap& e);
void debug(std::string& out, const EpochTransitionPending& e);
void debug(std::string& out, const ProposalEntryCountExceedsCap& e);
void debug(std::string& out, const EntryRejectedExceedsCap& e);
void debug(std::string& out, const EntryAuthInvalid& e);
void debug(std::string& out, const StateSyncRequestAuthInvalid& e);
void debug(std::string& out, const StateSyncResponseAuthInvalid& e);
void debug(std::string& out, const StateSyncResponseUnknownQuorum& e);
void debug(std::string& out, const StateSyncResponseUnsolicited& e);
void debug(std::string& out, const EpochTransitionAuthInvalid& e);
void debug(std::string& out, const QcRequested& e);
void debug(std::string& out, const QcRequestAuthInvalid& e);
void debug(std::string& out, const QcRequestMissing& e);
void debug(std::string& out, const QcResponseReceived& e);
void debug(std::string& out, const QcResponseAuthInvalid& e);
void debug(std::string& out, const QcResponseQcInvalid& e);
void debug(std::string& out, const ProposalAheadOfTip& e);
void debug(std::string& out, const ShredsAvailableRequested& e);
void debug(std::string& out, const ShredsAvailableAuthInvalid& e);
void debug(std::string& out, const ShredsAvailableServed& e);
void debug(std::string& out, const ShredsCatalogAuthInvalid& e);
void debug(std::string& out, const ShredsCatalogAccepted& e);
void debug(std::string& out, const ShredsCatalogIgnored& e);
void debug(std::string& out, const ShredsFetchRequested& e);
void debug(std::string& out, const ShredsFetchAuthInvalid& e);
void debug(std::string& out, const ShredsFetchServed& e);
void debug(std::string& out, const ShredsFetchProgress& e);
void debug(std::string& out, const ShredsFetchUncorrelated& e);
void debug(std::string& out, const ShredsCatchupFetchComplete& e);
void debug(std::string& out, const ShredsBehindServed& e);
void debug(std::string& out, const ShredsCatchupBehind& e);
void debug(std::string& out, const ShredsCatchupDeferralExpired& e);
void debug(std::string& out, const ShredsBehindAuthInvalid& e);
void debug(std::string& out, const ShredsBehindIgnored& e);
void debug(std::string& out, const ParkedUntilEvent& e);
void debug(std::string& out, const ParkFailed& e);
// The event's text: the bare name of a kind without fields, else
// "Name { field: value, ... }".
void debug(std::string& out, const ConsensusLogEvent& e);

}  // namespace events

using events::debug;
using unpark::debug;
using unpark::debug_pretty;
using withheld::debug;

}  // namespace vesk

template <>
struct std::hash<vesk::unpark::BlockProcessed> {
    size_t operator()(const vesk::unpark::BlockProcessed& e) const noexcept {
        return vesk::unpark::detail::mix(std::hash<vesk::BlsPubkey>{}(e.producer), e.block_height);
    }
};
template <>
struct std::hash<vesk::unpark::LeaderRotated> {
    size_t operator()(const vesk::unpark::LeaderRotated& e) const noexcept {
        return vesk::unpark::detail::mix(std::hash<vesk::BlsPubkey>{}(e.new_leader), e.block_height);
    }
};
template <>
struct std::hash<vesk::unpark::ChainStateReached> {
    size_t operator()(const vesk::unpark::ChainStateReached& e) const noexcept {
        return std::hash<uint64_t>{}(e.block_height);
    }
};
