#pragma once
// One validator's protocol logic, driven by received messages, timer ticks
// and notices of processed blocks. Every step answers with a SubResult and
// sends nothing itself: sending is the host's. Beyond its own state a step
// reads its timestamper's clock, draws nonces from the thread's generator
// (keyed from operating-system entropy), writes diagnostics, fills the entry
// container it shares with its host, checks state-sync pages on a shared
// thread pool, and calls what a host installs: the shred store, the
// certificate and view lookups, and the leader cell.
//
// This header declares the class with all its state. The behaviour sits in
// one header per concern, each of which includes this one:
//   core.hpp          construction, roles, dispatch, vote collection, readiness
//   parked.hpp        parking and releasing messages
//   intake.hpp        follower intake of announcements and proposals
//   replay.hpp        block replay, vote locks and voting
//   certificates.hpp  certification and moving the chain tip
//   rotation.hpp      leader rotation and liveness
//   tick.hpp          the timer step and proposing
//   recovery.hpp      certificate recovery and state sync
//   catchup.hpp       shred catch-up
// Each concern is compiled on its own, in the .cpp of the same name, for the
// system and the simulated clock with the inline vote verifier, so a change
// to one concern recompiles that one. A behaviour header calls the other
// concerns only through what this header declares, and never includes
// another behaviour header. A machine with any other clock or verifier needs
// statemachine_impl.hpp, which gathers them all, where it is used.
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "base/clock.hpp"
#include "consensus/entry_container.hpp"
#include "consensus/equivocation.hpp"
#include "consensus/leader_cell.hpp"
#include "consensus/liveness_tracker.hpp"
#include "consensus/parked_messages.hpp"
#include "consensus/statemachine/limits.hpp"
#include "consensus/statemachine/types.hpp"

namespace vesk {

template <Timestamper T = SystemTimestamper, VoteVerifier V = InlineVoteVerifier>
class VeskStatemachine {
public:
    using ProposalKey = std::pair<BlsPubkey, uint64_t>;  // (producer, slot)

    // ---- chain state ----
    std::optional<QuorumView> next_view;
    QuorumCertificate tip_qc;
    std::optional<QuorumCertificate> previous_qc;
    QuorumView current_view;
    bool tip_persisted = false;

    // ---- identity and leadership ----
    NodeIdentity identity;
    size_t vesk_idx = 0;
    uint64_t rotations = 0;
    LivenessTracker<T> liveness;
    std::shared_ptr<LeaderCell> leader_cell;

    // ---- per-block and voting state ----
    std::map<ProposalKey, ProposalState> proposals;
    std::map<uint64_t, QuorumCertificate> accepted_qcs;
    std::map<uint64_t, VoteLock> vote_locks;
    std::optional<PreparedVote> vote_in_flight;
    bool vote_persistence = false;
    bool require_tip_persisted = false;
    bool observer = false;

    // ---- readiness ----
    bool produce_ready = true;
    std::optional<uint64_t> ping_nonce;
    uint64_t next_ping_at_ms = 0;
    std::set<BlsPubkey> ponged;

    // ---- proposing ----
    std::vector<Transaction> pending_txs;
    size_t txs_per_entry = 128;
    uint64_t warmup_until_slot = 0;

    // ---- intake bookkeeping ----
    // (producer, slot) -> (highest leader view, local Unix ms when first seen)
    std::unordered_map<ProducerSlot, std::pair<uint64_t, int64_t>> proposal_first_seen;
    std::unordered_map<ProducerSlotEntry, Hash> seen_announcements;
    std::unordered_set<ProducerSlotEntry> checked_announcements;
    // Proposals whose signature checked out, oldest first: a proposal comes
    // back from parking with the same bytes and is not checked again. Whole
    // messages, so that only the very same signer and signature match.
    std::deque<SignedBlockProposalMessage> verified_proposals;
    // How many it keeps; a test host may set it lower, to 0 as well, at any
    // time.
    size_t verified_proposals_cap = statemachine_detail::VERIFIED_PROPOSALS;
    // parent qc_id -> (parent slot, replays (slot, producer) waiting for it)
    std::unordered_map<Hash, std::pair<uint64_t, std::vector<std::pair<uint64_t, BlsPubkey>>>> pending_replays;
    ParkedMessages parked;

    // ---- recovery and catch-up ----
    bool state_sync_pending = false;
    std::optional<StateSyncResponse> deferred_state_sync;
    std::optional<ShredCatchup> shred_catchup;
    std::shared_ptr<QcLookup> qc_lookup;
    std::shared_ptr<ViewLookup> view_lookup;
    std::shared_ptr<QcByIdLookup> qc_by_id_lookup;
    std::shared_ptr<ShredsIo> shreds_io;

    std::optional<EquivocationDetector> equivocation_detector;
    EntryContainer entry_container;
    V vote_verifier;

    // ---- core ----
    static VeskStatemachine new_with_config_and_timestamper(NodeIdentity identity, size_t vesk_idx,
                                                            ChainStateSnapshot snapshot, NodeConfig config,
                                                            EntryContainer entry_container, T timestamper);

    uint64_t tip_slot() const { return tip_qc.message.slot; }
    const QuorumView* view_for_slot(uint64_t slot) const;
    bool am_vesk_for_slot(uint64_t slot) const;
    BlsPubkey vesk_id() const;
    bool can_vote() const;
    bool is_observer_for_slot(uint64_t slot) const;
    // Recovery and catch-up peers: a member of the slot's view or, failing
    // that, of the current view.
    bool sender_belongs(const BlsPubkey& key, uint64_t slot) const {
        const QuorumView* view = view_for_slot(slot);
        return (view != nullptr && view->has_pubkey(key)) || current_view.has_pubkey(key);
    }

    SubResult receive(ConsensusMessage msg);
    SubResult receive_inner(ConsensusMessage msg, bool preverified);
    SubResult handle_ping(const Ping& ping);
    void filter_outgoing_votes(SubResult& result) const;

    // ---- parked messages ----
    ConsensusLogEvent park_or_report(const ConsensusMessage& msg, uint64_t valid_until, const UnparkEvent& event);
    SubResult process_parked_messages(const UnparkEvent& event);

    // ---- follower intake (intake.hpp) ----
    SubResult follower_receive(ConsensusMessage msg);
    // The proposal's signature check, answered from verified_proposals when
    // these bytes already passed it.
    bool proposal_signature_holds(const SignedBlockProposalMessage& proposal);
    std::pair<bool, SubResult> validate_block_proposal(const SignedBlockProposalMessage& proposal,
                                                       uint8_t signer_index);
    SubResult reject_candidate_for_fault(uint64_t slot, const BlsPubkey& producer, ConsensusLogEvent event,
                                         EvictionReason reason);
    SubResult note_proposed_head(uint64_t slot, const BlsPubkey& producer);

    // ---- replay, vote locks and voting (replay.hpp) ----
    SubResult queue_processed_block(const BlsPubkey& producer, const BlockProposalMessage& header,
                                    const Hash& bank_hash, const CrosschainCommitment& crosschain,
                                    const ProcessedParent& parent);
    SubResult try_replay(uint64_t slot, const BlsPubkey& producer);
    bool replayed_parent_matches_tip(uint64_t slot, const BlsPubkey& producer) const;
    std::optional<std::pair<uint64_t, uint64_t>> vote_lock_forbids(uint64_t slot, uint64_t leader_view) const;
    void record_vote_lock(uint64_t slot, const Hash& qc_id, uint64_t leader_view, const Hash& parent_qc_id);
    SubResult prepare_vote(PreparedVote vote);
    SubResult self_vote_pending_proposal(const BlockProposalMessage& header, const Hash& bank_hash,
                                         const CrosschainCommitment& crosschain);
    void park_replay_pending_parent_qc_persisted(const Hash& parent_qc_id, uint64_t slot,
                                                 const BlsPubkey& producer);

    // ---- certificates and the chain tip (certificates.hpp) ----
    SubResult certify_proposal(const QuorumView& view, const QuorumMessage& expected,
                               std::vector<std::pair<BlsPubkey, BlsSignature>> votes);
    // The certificate path of follower intake.
    SubResult receive_certificate(QuorumCertificate qc);
    SubResult move_chain_tip(const QuorumCertificate& qc);
    // The steps every new tip takes, a state-sync jump's included: pruning
    // what it makes final, the shred catch-up, the liveness clock and the
    // rotation count.
    void settle_new_tip();
    // The parking window and the vote locks follow a tip moved to `slot`,
    // past genesis.
    void slide_windows_to(uint64_t slot);
    // next_view becomes current_view once the tip reaches its first slot.
    void enter_next_view_once_reached();
    void record_accepted_cert(const QuorumCertificate& qc);
    void prune_state_below_tip();

    // ---- rotation and liveness (rotation.hpp) ----
    void set_vesk_id(const BlsPubkey& leader, size_t index, uint64_t slot, bool arm);
    SubResult rotate_for_fault(const BlsPubkey& producer, EvictionReason reason);
    SubResult announce_rotation(const BlsPubkey& old_leader, const BlsPubkey& new_leader, uint64_t from_slot,
                                std::string reason);
    SubResult lap_completed_since(uint64_t laps_before);
    std::optional<uint64_t> eligible_leader_view(const BlsPubkey& producer) const;
    // The rotation for elapsed liveness timeouts, a step of tick.
    SubResult liveness_rotation();

    // ---- the timer step (tick.hpp) ----
    SubResult tick();
    // Block production for the slot we lead next: our record for tip + 1,
    // processed on the tip with an all-zero bank hash, and the entries hash
    // of our stored entries followed by those the tick will cut from
    // pending_txs. Values already set stay, so the record describes the slot
    // as it was at the first call. Nothing happens unless we lead tip + 1.
    void prepare_next_block();
    void flush_pending_txs_to_entries(uint64_t slot);

    // ---- recovery and state sync (recovery.hpp) ----
    SubResult handle_state_sync_request(const StateSyncRequest& request);
    SubResult process_state_sync_response(StateSyncResponse response);
    SubResult handle_qc_request(const QcRequest& request);
    SubResult handle_qc_response(const QcResponse& response);
    SubResult request_qc(uint64_t slot, std::optional<Hash> qc_id);
    std::optional<QuorumCertificate> qc_for_recovery(uint64_t slot) const;
    std::vector<QuorumCertificate> contiguous_qc_page(uint64_t first, uint64_t last) const;
    void defer_state_sync_response(StateSyncResponse response);

    // ---- shred catch-up (catchup.hpp) ----
    SubResult handle_shreds_available_request(const ShredsAvailableRequest& request);
    SubResult handle_shreds_available_response(const ShredsAvailableResponse& response);
    SubResult handle_shreds_fetch_request(const ShredsFetchRequest& request);
    SubResult handle_shreds_fetch_response(ShredsFetchResponse response);
    SubResult handle_shreds_behind_response(const ShredsBehindResponse& response);
    // Ends a catch-up whose target the tip has reached, else lifts its pause;
    // run after every tip move.
    void reconcile_shred_catchup_after_tip_advance();

private:
    VeskStatemachine(NodeIdentity identity, size_t vesk_idx, ChainStateSnapshot snapshot, NodeConfig config,
                     EntryContainer entry_container, T timestamper);

    // The view that the next certificate extends: next_view when it covers
    // tip slot + 1, else current_view.
    const QuorumView& extending_view() const;
    SubResult collect_vote(const SignedQuorumMessage& vote, bool preverified);
    SubResult handle_pong(const Pong& pong);
    // Recovery, state sync and catch-up messages go to the same handlers in
    // either role.
    template <class P>
    SubResult receive_service(P&& payload);
    // The proposing step of tick, on a ready leader.
    SubResult propose();
    // The entries flush_pending_txs_to_entries cuts for our `slot` from
    // pending_txs, numbered on from `existing` stored ones; it takes nothing.
    std::vector<EntryMessage> entries_to_cut(uint64_t slot, uint64_t existing) const;

    // intake helpers
    SubResult receive_entry_announcement(const SignedEntryAnnouncement& announcement);
    // `msg` is the message that carries `proposal`, kept whole for parking.
    SubResult receive_block_proposal(const ConsensusMessage& msg, const SignedBlockProposalMessage& proposal);
};

// The dispatch of either role uses it, and explicit instantiations leave
// member templates out, so it is defined here, where both see it.
template <Timestamper T, VoteVerifier V>
template <class P>
SubResult VeskStatemachine<T, V>::receive_service(P&& p) {
    using K = std::decay_t<P>;
    if constexpr (std::is_same_v<K, StateSyncRequest>) {
        return handle_state_sync_request(p);
    } else if constexpr (std::is_same_v<K, StateSyncResponse>) {
        if (state_sync_pending) return process_state_sync_response(std::move(p));
        return SubResult::event(events::StateSyncResponseUnsolicited{p.responder, p.to_slot});
    } else if constexpr (std::is_same_v<K, QcRequest>) {
        return handle_qc_request(p);
    } else if constexpr (std::is_same_v<K, QcResponse>) {
        return handle_qc_response(p);
    } else if constexpr (std::is_same_v<K, ShredsAvailableRequest>) {
        return handle_shreds_available_request(p);
    } else if constexpr (std::is_same_v<K, ShredsAvailableResponse>) {
        return handle_shreds_available_response(p);
    } else if constexpr (std::is_same_v<K, ShredsFetchRequest>) {
        return handle_shreds_fetch_request(p);
    } else if constexpr (std::is_same_v<K, ShredsFetchResponse>) {
        return handle_shreds_fetch_response(std::move(p));
    } else if constexpr (std::is_same_v<K, ShredsBehindResponse>) {
        return handle_shreds_behind_response(p);
    } else {
        static_assert(sizeof(K) == 0, "every kind is dispatched");
    }
}

// The class is instantiated in core.cpp, with the in-class members and those
// of core.hpp; every other concern's .cpp instantiates the members it defines.
extern template class VeskStatemachine<SystemTimestamper, InlineVoteVerifier>;
extern template class VeskStatemachine<SimulatedTimestamper, InlineVoteVerifier>;

}  // namespace vesk
