#include "consensus/consensus_log_event.hpp"

namespace vesk {

namespace unpark {

void debug(std::string& out, const BlockProcessed& e) {
    DebugStruct(out, "BlockProcessed").field("producer", e.producer).field("block_height", e.block_height).finish();
}

void debug(std::string& out, const LeaderRotated& e) {
    DebugStruct(out, "LeaderRotated").field("new_leader", e.new_leader).field("block_height", e.block_height).finish();
}

void debug(std::string& out, const ChainStateReached& e) {
    DebugStruct(out, "ChainStateReached").field("block_height", e.block_height).finish();
}

void debug(std::string& out, const UnparkEvent& e) {
    std::visit([&](const auto& v) { debug(out, v); }, e);
}

void debug_pretty(std::string& out, const UnparkEvent& e) {
    struct Visitor {
        std::string& out;
        void operator()(const BlockProcessed& v) const {
            PrettyDebugStruct(out, "BlockProcessed")
                .field("producer", v.producer)
                .field("block_height", v.block_height)
                .finish();
        }
        void operator()(const LeaderRotated& v) const {
            PrettyDebugStruct(out, "LeaderRotated")
                .field("new_leader", v.new_leader)
                .field("block_height", v.block_height)
                .finish();
        }
        void operator()(const ChainStateReached& v) const {
            PrettyDebugStruct(out, "ChainStateReached").field("block_height", v.block_height).finish();
        }
    };
    std::visit(Visitor{out}, e);
}

}  // namespace unpark

namespace withheld {

void debug(std::string& out, const VotingDisabled&) { out += "VotingDisabled"; }
void debug(std::string& out, const PersistenceContextChanged&) { out += "PersistenceContextChanged"; }
void debug(std::string& out, const NotInQuorum&) { out += "NotInQuorum"; }
void debug(std::string& out, const DoesNotExtendHead&) { out += "DoesNotExtendHead"; }
void debug(std::string& out, const LeaderViewIneligible&) { out += "LeaderViewIneligible"; }

void debug(std::string& out, const LockedByPriorVote& r) {
    DebugStruct(out, "LockedByPriorVote")
        .field("prior_vote_slot", r.prior_vote_slot)
        .field("prior_vote_leader_view", r.prior_vote_leader_view)
        .finish();
}

void debug(std::string& out, const VoteWithheldReason& r) {
    std::visit([&](const auto& v) { debug(out, v); }, r);
}

}  // namespace withheld

namespace events {

void debug(std::string& out, const VerifyingProduceReadiness&) { out += "VerifyingProduceReadiness"; }

void debug(std::string& out, const ProduceReady&) { out += "ProduceReady"; }

void debug(std::string& out, const PeerConnected& e) {
    DebugStruct(out, "PeerConnected").field("peer", e.peer).finish();
}

void debug(std::string& out, const PingUnauthorized& e) {
    DebugStruct(out, "PingUnauthorized").field("peer", e.peer).finish();
}

void debug(std::string& out, const PingInvalid& e) {
    DebugStruct(out, "PingInvalid").field("peer", e.peer).finish();
}

void debug(std::string& out, const PongUnauthorized& e) {
    DebugStruct(out, "PongUnauthorized").field("peer", e.peer).finish();
}

void debug(std::string& out, const PongInvalid& e) {
    DebugStruct(out, "PongInvalid").field("peer", e.peer).finish();
}

void debug(std::string& out, const VeskProposing& e) {
    DebugStruct(out, "VeskProposing").field("slot", e.slot).finish();
}

void debug(std::string& out, const VeskProgressCheck&) { out += "VeskProgressCheck"; }

void debug(std::string& out, const BaseProgressCheck& e) {
    DebugStruct(out, "BaseProgressCheck").field("vesk_id", e.vesk_id).finish();
}

void debug(std::string& out, const IgnoredProposalAsVesk&) { out += "IgnoredProposalAsVesk"; }

void debug(std::string& out, const IgnoredOldProposal& e) {
    DebugStruct(out, "IgnoredOldProposal").field("slot", e.slot).finish();
}

void debug(std::string& out, const SignerNotInQuorum& e) {
    DebugStruct(out, "SignerNotInQuorum").field("signer", e.signer).finish();
}

void debug(std::string& out, const ReceivedVote& e) {
    DebugStruct(out, "ReceivedVote").field("slot", e.slot).field("from", e.from).finish();
}

void debug(std::string& out, const VoteMismatch& e) {
    DebugStruct(out, "VoteMismatch").field("slot", e.slot).field("from", e.from).finish();
}

void debug(std::string& out, const VoterUnknown&) { out += "VoterUnknown"; }

void debug(std::string& out, const DuplicateVote& e) {
    DebugStruct(out, "DuplicateVote").field("from", e.from).finish();
}

void debug(std::string& out, const QuorumReached& e) {
    DebugStruct(out, "QuorumReached")
        .field("slot", e.slot)
        .field("vote_count", e.vote_count)
        .field("voting_stake", e.voting_stake)
        .field("total_stake", e.total_stake)
        .finish();
}

void debug(std::string& out, const QuorumPending& e) {
    DebugStruct(out, "QuorumPending")
        .field("slot", e.slot)
        .field("vote_count", e.vote_count)
        .field("voting_stake", e.voting_stake)
        .field("total_stake", e.total_stake)
        .finish();
}

void debug(std::string& out, const QuorumPendingSelfVote& e) {
    DebugStruct(out, "QuorumPendingSelfVote")
        .field("slot", e.slot)
        .field("vote_count", e.vote_count)
        .field("voting_stake", e.voting_stake)
        .field("total_stake", e.total_stake)
        .finish();
}

void debug(std::string& out, const QuorumUnknown& e) {
    DebugStruct(out, "QuorumUnknown").field("slot", e.slot).field("msg_kind", e.msg_kind).finish();
}

void debug(std::string& out, const QuorumMismatch& e) {
    DebugStruct(out, "QuorumMismatch")
        .field("slot", e.slot)
        .field("expected", e.expected)
        .field("received", e.received)
        .finish();
}

void debug(std::string& out, const VeskDeferringNonMonotonicProposal& e) {
    DebugStruct(out, "VeskDeferringNonMonotonicProposal")
        .field("slot", e.slot)
        .field("timestamp_delta_ms", e.timestamp_delta_ms)
        .finish();
}

void debug(std::string& out, const NoProposalPending&) { out += "NoProposalPending"; }

void debug(std::string& out, const ReceivedProposal& e) {
    DebugStruct(out, "ReceivedProposal").field("slot", e.slot).field("producer", e.producer).finish();
}

void debug(std::string& out, const ProposalAlreadySigned& e) {
    DebugStruct(out, "ProposalAlreadySigned").field("slot", e.slot).field("producer", e.producer).finish();
}

void debug(std::string& out, const NewProposalTimestamp& e) {
    DebugStruct(out, "NewProposalTimestamp")
        .field("slot", e.slot)
        .field("producer", e.producer)
        .field("timestamp", e.timestamp)
        .finish();
}

void debug(std::string& out, const ProposalTimestampSkewed& e) {
    DebugStruct(out, "ProposalTimestampSkewed")
        .field("slot", e.slot)
        .field("producer", e.producer)
        .field("timestamp_delta_ms", e.timestamp_delta_ms)
        .finish();
}

void debug(std::string& out, const ProposalTimestampNonMonotonic& e) {
    DebugStruct(out, "ProposalTimestampNonMonotonic").field("slot", e.slot).field("producer", e.producer).finish();
}

void debug(std::string& out, const ProposalDiscontiguous& e) {
    DebugStruct(out, "ProposalDiscontiguous").field("slot", e.slot).finish();
}

void debug(std::string& out, const ProposalUnknownBlock& e) {
    DebugStruct(out, "ProposalUnknownBlock").field("slot", e.slot).field("producer", e.producer).finish();
}

void debug(std::string& out, const ProcessedBankConflict& e) {
    DebugStruct(out, "ProcessedBankConflict").field("slot", e.slot).field("producer", e.producer).finish();
}

void debug(std::string& out, const SignedProposal& e) {
    DebugStruct(out, "SignedProposal").field("slot", e.slot).finish();
}

void debug(std::string& out, const IgnoredSignatureAsBase&) { out += "IgnoredSignatureAsBase"; }

void debug(std::string& out, const CertificateValid& e) {
    DebugStruct(out, "CertificateValid").field("quorum_certificate", e.quorum_certificate).finish();
}

void debug(std::string& out, const CertificateInvalid& e) {
    DebugStruct(out, "CertificateInvalid").field("slot", e.slot).finish();
}

void debug(std::string& out, const CertificateAlreadyKnown& e) {
    DebugStruct(out, "CertificateAlreadyKnown").field("slot", e.slot).finish();
}

void debug(std::string& out, const CertificateSuperseded& e) {
    DebugStruct(out, "CertificateSuperseded")
        .field("slot", e.slot)
        .field("vesk_id", e.vesk_id)
        .field("current_slot", e.current_slot)
        .field("current_vesk_id", e.current_vesk_id)
        .finish();
}

void debug(std::string& out, const SameViewQcConflict& e) {
    DebugStruct(out, "SameViewQcConflict")
        .field("slot", e.slot)
        .field("leader_view", e.leader_view)
        .field("vesk_id", e.vesk_id)
        .field("qc_id", e.qc_id)
        .field("conflicting_qc_id", e.conflicting_qc_id)
        .finish();
}

void debug(std::string& out, const VoteWithheld& e) {
    DebugStruct(out, "VoteWithheld").field("slot", e.slot).field("reason", e.reason).finish();
}

void debug(std::string& out, const VoteLockPending& e) {
    DebugStruct(out, "VoteLockPending")
        .field("slot", e.slot)
        .field("qc_id", e.qc_id)
        .field("leader_view", e.leader_view)
        .field("parent_qc", e.parent_qc)
        .finish();
}

void debug(std::string& out, const BlockReplayed& e) {
    DebugStruct(out, "BlockReplayed").field("slot", e.slot).finish();
}

void debug(std::string& out, const BlindSigningGap& e) {
    DebugStruct(out, "BlindSigningGap")
        .field("slot", e.slot)
        .field("producer", e.producer)
        .field("local_bank_hash", e.local_bank_hash)
        .field("leader_proof_hash", e.leader_proof_hash)
        .finish();
}

void debug(std::string& out, const EntriesHashMismatch& e) {
    DebugStruct(out, "EntriesHashMismatch")
        .field("slot", e.slot)
        .field("computed_entries_hash", e.computed_entries_hash)
        .field("proposed_entries_hash", e.proposed_entries_hash)
        .field("entry_hashes", e.entry_hashes)
        .finish();
}

void debug(std::string& out, const EntryEquivocation& e) {
    DebugStruct(out, "EntryEquivocation").field("slot", e.slot).field("entry_id", e.entry_id).finish();
}

void debug(std::string& out, const AnnouncementHashMismatch& e) {
    DebugStruct(out, "AnnouncementHashMismatch")
        .field("producer_id", e.producer_id)
        .field("slot", e.slot)
        .field("entry_id", e.entry_id)
        .field("announced_hash", e.announced_hash)
        .field("observed_hash", e.observed_hash)
        .finish();
}

void debug(std::string& out, const WaitingForEntries& e) {
    DebugStruct(out, "WaitingForEntries")
        .field("slot", e.slot)
        .field("have", e.have)
        .field("expected", e.expected)
        .finish();
}

void debug(std::string& out, const EntryReceived& e) {
    DebugStruct(out, "EntryReceived")
        .field("slot", e.slot)
        .field("entry_id", e.entry_id)
        .field("entry_hash", e.entry_hash)
        .finish();
}

void debug(std::string& out, const EquivocationDetected& e) {
    DebugStruct(out, "EquivocationDetected")
        .field("slot", e.slot)
        .field("conflicting_hash", e.conflicting_hash)
        .finish();
}

void debug(std::string& out, const StaleVoteIgnored& e) {
    DebugStruct(out, "StaleVoteIgnored").field("slot", e.slot).field("current_slot", e.current_slot).finish();
}

void debug(std::string& out, const LeaderRotated& e) {
    DebugStruct(out, "LeaderRotated")
        .field("old_leader", e.old_leader)
        .field("new_leader", e.new_leader)
        .field("from_slot", e.from_slot)
        .field("reason", e.reason)
        .finish();
}

void debug(std::string& out, const LivenessLapCompleted& e) {
    DebugStruct(out, "LivenessLapCompleted")
        .field("slot", e.slot)
        .field("laps", e.laps)
        .field("quorum_size", e.quorum_size)
        .finish();
}

void debug(std::string& out, const StateSyncRequested& e) {
    DebugStruct(out, "StateSyncRequested").field("from_slot", e.from_slot).field("to_peer", e.to_peer).finish();
}

void debug(std::string& out, const StateSyncResponseReceived& e) {
    DebugStruct(out, "StateSyncResponseReceived").field("from_peer", e.from_peer).field("to_slot", e.to_slot).finish();
}

void debug(std::string& out, const StateSyncCompleted& e) {
    DebugStruct(out, "StateSyncCompleted").field("to_slot", e.to_slot).finish();
}

void debug(std::string& out, const StateSyncRejectedInvalidSignature& e) {
    DebugStruct(out, "StateSyncRejectedInvalidSignature").field("from_peer", e.from_peer).finish();
}

void debug(std::string& out, const VoteSignatureInvalid& e) {
    DebugStruct(out, "VoteSignatureInvalid").field("from", e.from).finish();
}

void debug(std::string& out, const ProposalSignatureInvalid& e) {
    DebugStruct(out, "ProposalSignatureInvalid").field("slot", e.slot).finish();
}

void debug(std::string& out, const RecoveryProposalRejected& e) {
    DebugStruct(out, "RecoveryProposalRejected").field("slot", e.slot).finish();
}

void debug(std::string& out, const CertificateSlotGap& e) {
    DebugStruct(out, "CertificateSlotGap").field("slot", e.slot).field("current_slot", e.current_slot).finish();
}

void debug(std::string& out, const EpochTransitionPending& e) {
    DebugStruct(out, "EpochTransitionPending").field("new_view_id", e.new_view_id).finish();
}

void debug(std::string& out, const ProposalEntryCountExceedsCap& e) {
    DebugStruct(out, "ProposalEntryCountExceedsCap").field("slot", e.slot).field("entry_count", e.entry_count).finish();
}

void debug(std::string& out, const EntryRejectedExceedsCap& e) {
    DebugStruct(out, "EntryRejectedExceedsCap")
        .field("slot", e.slot)
        .field("entry_id", e.entry_id)
        .field("entry_count", e.entry_count)
        .finish();
}

void debug(std::string& out, const EntryAuthInvalid& e) {
    DebugStruct(out, "EntryAuthInvalid")
        .field("slot", e.slot)
        .field("entry_id", e.entry_id)
        .field("claimed_signer", e.claimed_signer)
        .finish();
}

void debug(std::string& out, const StateSyncRequestAuthInvalid& e) {
    DebugStruct(out, "StateSyncRequestAuthInvalid").field("requester", e.requester).finish();
}

void debug(std::string& out, const StateSyncResponseAuthInvalid& e) {
    DebugStruct(out, "StateSyncResponseAuthInvalid").field("responder", e.responder).finish();
}

void debug(std::string& out, const StateSyncResponseUnknownQuorum& e) {
    DebugStruct(out, "StateSyncResponseUnknownQuorum").field("responder", e.responder).field("slot", e.slot).finish();
}

void debug(std::string& out, const StateSyncResponseUnsolicited& e) {
    DebugStruct(out, "StateSyncResponseUnsolicited").field("responder", e.responder).field("slot", e.slot).finish();
}

void debug(std::string& out, const EpochTransitionAuthInvalid& e) {
    DebugStruct(out, "EpochTransitionAuthInvalid").field("claimed_signer", e.claimed_signer).finish();
}

void debug(std::string& out, const QcRequested& e) {
    DebugStruct(out, "QcRequested").field("from_peer", e.from_peer).field("slot", e.slot).finish();
}

void debug(std::string& out, const QcRequestAuthInvalid& e) {
    DebugStruct(out, "QcRequestAuthInvalid").field("requester", e.requester).finish();
}

void debug(std::string& out, const QcRequestMissing& e) {
    DebugStruct(out, "QcRequestMissing").field("from_peer", e.from_peer).field("slot", e.slot).finish();
}

void debug(std::string& out, const QcResponseReceived& e) {
    DebugStruct(out, "QcResponseReceived").field("from_peer", e.from_peer).field("slot", e.slot).finish();
}

void debug(std::string& out, const QcResponseAuthInvalid& e) {
    DebugStruct(out, "QcResponseAuthInvalid").field("responder", e.responder).finish();
}

void debug(std::string& out, const QcResponseQcInvalid& e) {
    DebugStruct(out, "QcResponseQcInvalid").field("from_peer", e.from_peer).field("slot", e.slot).finish();
}

void debug(std::string& out, const ProposalAheadOfTip& e) {
    DebugStruct(out, "ProposalAheadOfTip").field("slot", e.slot).field("producer", e.producer).finish();
}

void debug(std::string& out, const ShredsAvailableRequested& e) {
    DebugStruct(out, "ShredsAvailableRequested")
        .field("from_peer", e.from_peer)
        .field("from_slot", e.from_slot)
        .finish();
}

void debug(std::string& out, const ShredsAvailableAuthInvalid& e) {
    DebugStruct(out, "ShredsAvailableAuthInvalid").field("requester", e.requester).finish();
}

void debug(std::string& out, const ShredsAvailableServed& e) {
    DebugStruct(out, "ShredsAvailableServed")
        .field("to_peer", e.to_peer)
        .field("from_slot", e.from_slot)
        .field("blocks", e.blocks)
        .finish();
}

void debug(std::string& out, const ShredsCatalogAuthInvalid& e) {
    DebugStruct(out, "ShredsCatalogAuthInvalid").field("responder", e.responder).finish();
}

void debug(std::string& out, const ShredsCatalogAccepted& e) {
    DebugStruct(out, "ShredsCatalogAccepted").field("from_peer", e.from_peer).field("blocks", e.blocks).finish();
}

void debug(std::string& out, const ShredsCatalogIgnored& e) {
    DebugStruct(out, "ShredsCatalogIgnored").field("from_peer", e.from_peer).finish();
}

void debug(std::string& out, const ShredsFetchRequested& e) {
    DebugStruct(out, "ShredsFetchRequested")
        .field("from_peer", e.from_peer)
        .field("slot", e.slot)
        .field("start_index", e.start_index)
        .finish();
}

void debug(std::string& out, const ShredsFetchAuthInvalid& e) {
    DebugStruct(out, "ShredsFetchAuthInvalid").field("peer", e.peer).finish();
}

void debug(std::string& out, const ShredsFetchServed& e) {
    DebugStruct(out, "ShredsFetchServed")
        .field("to_peer", e.to_peer)
        .field("slot", e.slot)
        .field("shreds", e.shreds)
        .finish();
}

void debug(std::string& out, const ShredsFetchProgress& e) {
    DebugStruct(out, "ShredsFetchProgress")
        .field("from_peer", e.from_peer)
        .field("slot", e.slot)
        .field("shreds", e.shreds)
        .finish();
}

void debug(std::string& out, const ShredsFetchUncorrelated& e) {
    DebugStruct(out, "ShredsFetchUncorrelated").field("from_peer", e.from_peer).finish();
}

void debug(std::string& out, const ShredsCatchupFetchComplete& e) {
    DebugStruct(out, "ShredsCatchupFetchComplete").field("blocks", e.blocks).finish();
}

void debug(std::string& out, const ShredsBehindServed& e) {
    DebugStruct(out, "ShredsBehindServed")
        .field("to_peer", e.to_peer)
        .field("from_slot", e.from_slot)
        .field("tip_slot", e.tip_slot)
        .finish();
}

void debug(std::string& out, const ShredsCatchupBehind& e) {
    DebugStruct(out, "ShredsCatchupBehind").field("from_peer", e.from_peer).field("tip_slot", e.tip_slot).finish();
}

void debug(std::string& out, const ShredsCatchupDeferralExpired& e) {
    DebugStruct(out, "ShredsCatchupDeferralExpired").field("target_slot", e.target_slot).finish();
}

void debug(std::string& out, const ShredsBehindAuthInvalid& e) {
    DebugStruct(out, "ShredsBehindAuthInvalid").field("responder", e.responder).finish();
}

void debug(std::string& out, const ShredsBehindIgnored& e) {
    DebugStruct(out, "ShredsBehindIgnored").field("from_peer", e.from_peer).finish();
}

void debug(std::string& out, const ParkedUntilEvent& e) {
    DebugStruct(out, "ParkedUntilEvent").field("event", e.event).field("msg_kind", e.msg_kind).finish();
}

void debug(std::string& out, const ParkFailed& e) {
    DebugStruct(out, "ParkFailed").field("msg_kind", e.msg_kind).finish();
}

void debug(std::string& out, const ConsensusLogEvent& e) {
    std::visit([&](const auto& v) { debug(out, v); }, e);
}

}  // namespace events

}  // namespace vesk
