#pragma once
// Plain data of the consensus state machine: its starting snapshot, per-block
// records, configuration, step results, the vote queue and the records of
// voting, recovery and catch-up.
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <variant>
#include <vector>

#include "base/clock.hpp"
#include "base/saturating.hpp"
#include "consensus/certificate.hpp"
#include "consensus/consensus_log_event.hpp"
#include "consensus/equivocation.hpp"
#include "consensus/message.hpp"
#include "consensus/view.hpp"
#include "consensus/vote_verification.hpp"
#include "hash/hash.hpp"

namespace vesk {

// The chain state a state machine starts from.
struct ChainStateSnapshot {
    std::optional<QuorumView> next_view;
    QuorumCertificate tip_qc;
    std::optional<QuorumCertificate> previous_qc;
    QuorumView current_view;
    bool tip_persisted = false;
};

struct ProcessedParent {
    Hash bank_hash;
    BlsPubkey vesk_id;
    uint64_t slot = 0;

    bool operator==(const ProcessedParent&) const = default;
};

// slot = tip + 1, exact even at the top of the range, where a saturated
// tip + 1 would equal the tip itself: there is no next slot.
inline bool is_next_slot(uint64_t slot, uint64_t tip) { return slot > tip && slot - 1 == tip; }

// Whether a block processed for `slot` on `parent` is the next slot's block
// built on `head`, given as a block built on it names its parent. The
// genesis head carries no producer or bank to compare.
inline bool builds_on_head(uint64_t slot, const ProcessedParent& parent, const ProcessedParent& head) {
    if (!is_next_slot(slot, head.slot) || parent.slot != head.slot) return false;
    return head.slot == 0 || (parent.vesk_id == head.vesk_id && parent.bank_hash == head.bank_hash);
}

// What this node knows of one (producer, slot) block.
struct ProposalState {
    std::optional<BlockProposalMessage> proposal;
    std::optional<Hash> local_bank_hash;
    std::optional<Hash> replayed_entries_hash;
    std::optional<ProcessedParent> processed_parent;
    std::optional<CrosschainCommitment> crosschain;
    std::optional<uint64_t> signed_leader_view;
    std::vector<std::pair<BlsPubkey, BlsSignature>> votes;
};

struct NodeConfig {
    std::optional<EquivocationDetector> equivocation_detector;
    std::chrono::nanoseconds liveness_timeout{0};
    bool require_tip_persisted = false;
};

// The messages and events of one step, in the order the step met them.
struct SubResult {
    std::vector<ConsensusMessageEnvelope> messages;
    std::vector<ConsensusLogEvent> events;

    static SubResult event(ConsensusLogEvent e) {
        SubResult r;
        r.events.push_back(std::move(e));
        return r;
    }
    static SubResult message(ConsensusMessageEnvelope m) {
        SubResult r;
        r.messages.push_back(std::move(m));
        return r;
    }
    SubResult& operator+=(SubResult&& other) {
        messages.insert(messages.end(), std::make_move_iterator(other.messages.begin()),
                        std::make_move_iterator(other.messages.end()));
        events.insert(events.end(), std::make_move_iterator(other.events.begin()),
                      std::make_move_iterator(other.events.end()));
        return *this;
    }
    bool empty() const { return messages.empty() && events.empty(); }
};

struct QueuedVote {
    Hash view_id;  // view of the vote's slot
    SignedQuorumMessage vote;
};

// What the state machine needs of its vote verifier.
template <class V>
concept VoteVerifier = requires(V v, const V cv, QueuedVote q) {
    { cv.is_enabled() } -> std::same_as<bool>;
    v.push(std::move(q));
    { cv.queue_len() } -> std::same_as<size_t>;
    { cv.ready_len() } -> std::same_as<size_t>;
    v.verify_queued();
    { v.pop_ready() } -> std::same_as<std::optional<VerifiedVote>>;
};

// Queues votes for batch verification on the next tick.
struct InlineVoteVerifier {
    std::vector<QueuedVote> queue;
    std::deque<VerifiedVote> ready;
    VoteSignatureVerifier verifier;
    bool enabled = false;

    bool is_enabled() const { return enabled; }
    void push(QueuedVote v) { queue.push_back(std::move(v)); }
    size_t queue_len() const { return queue.size(); }
    size_t ready_len() const { return ready.size(); }
    // Moves every queued vote through one batch verification into `ready`.
    void verify_queued();
    std::optional<VerifiedVote> pop_ready();
};

static_assert(VoteVerifier<InlineVoteVerifier>);

struct VoteLock {
    Hash qc_id;
    uint64_t leader_view = 0;
    std::optional<Hash> parent_qc_id;

    bool operator==(const VoteLock&) const = default;
};

struct PreparedVote {
    Hash view_id;
    BlockProposalMessage proposal;
    QuorumMessage message;
    bool own_vote = false;
};

// The local shred store; this program installs none.
class ShredsIo {
public:
    virtual ~ShredsIo() = default;
    virtual std::vector<ShredBlockRef> list_blocks(uint64_t first_slot, uint64_t last_slot) = 0;
    struct Fetched {
        std::vector<std::vector<uint8_t>> shreds;
        std::optional<uint32_t> next_index;
    };
    virtual Fetched fetch_shreds(uint64_t slot, const BlsPubkey& producer, uint32_t start_index) = 0;
    virtual void ingest_shreds(std::vector<std::vector<uint8_t>> shreds) = 0;
};

struct ShredCatchup {
    struct Querying {
        bool operator==(const Querying&) const = default;
    };
    struct Fetching {
        BlsPubkey producer;
        uint64_t slot = 0;
        uint32_t start_index = 0;
        bool operator==(const Fetching&) const = default;
    };

    std::deque<ShredBlockRef> queue;
    std::optional<WallTime> deferred_at;
    u128 query_nonce = 0;
    std::variant<Querying, Fetching> phase;
    uint64_t target_slot = 0;
    size_t blocks_fetched = 0;
    std::optional<BlsPubkey> peer;

    // Two 64-bit draws of the thread's generator, the first as the low half.
    static u128 fresh_query_nonce();
};

// Lookup hooks a host may install; none is installed by this program.
using QcLookup = std::function<std::optional<QuorumCertificate>(uint64_t slot)>;
using ViewLookup = std::function<std::optional<QuorumView>(uint64_t slot)>;
using QcByIdLookup = std::function<std::optional<QuorumCertificate>(uint64_t slot, const Hash& qc_id)>;

// Keys of the per-block hash maps.
struct ProducerSlot {
    BlsPubkey producer;
    uint64_t slot = 0;
    bool operator==(const ProducerSlot&) const = default;
};
struct ProducerSlotEntry {
    BlsPubkey producer;
    uint64_t slot = 0;
    uint64_t entry_index = 0;
    bool operator==(const ProducerSlotEntry&) const = default;
};

}  // namespace vesk

template <>
struct std::hash<vesk::ProducerSlot> {
    size_t operator()(const vesk::ProducerSlot& k) const noexcept {
        return std::hash<vesk::BlsPubkey>()(k.producer) ^ (std::hash<uint64_t>()(k.slot) * 0x9e3779b97f4a7c15ull);
    }
};
template <>
struct std::hash<vesk::ProducerSlotEntry> {
    size_t operator()(const vesk::ProducerSlotEntry& k) const noexcept {
        return std::hash<vesk::BlsPubkey>()(k.producer) ^ (std::hash<uint64_t>()(k.slot) * 0x9e3779b97f4a7c15ull) ^
               (std::hash<uint64_t>()(k.entry_index) * 0xc2b2ae3d27d4eb4full);
    }
};
