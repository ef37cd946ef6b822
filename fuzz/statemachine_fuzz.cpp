// libFuzzer target for the state machine, fed what peers can send. Five nodes
// share a simulated clock that starts at a fixed time, so a run repeats
// exactly. The input's bytes choose a sequence of steps: deliver a message of
// a pool of genuinely signed ones (optionally with one field changed and
// perhaps signed again), pass a node's outgoing messages on, tick, advance
// the clock, report a processed block, and the host's own requests. After
// every step the nodes must keep what the machine promises; a broken check
// aborts so that libFuzzer reports it.
//
// Signing and checking are slow, so the pool is built once. Node i holds
// identity i: nodes 0-3 form the first view (node i is its rotation member
// i), nodes 1-4 the second, in which node 4 has stake 3 of 6; identity 5
// belongs to no view.
//
// The oracles do not ask the machine. The harness holds every key and
// signing is deterministic, so it decides a certificate's validity itself:
// two thirds of the stake by the bitmap, and the aggregate rebuilt from the
// signers' own signatures. Identity 0 is the Byzantine member (a quarter of
// the first view, none of the second): a changed message of any kind is
// signed again only with its key or the outsider's, or with signatures
// honest keys really made: votes and certificates from a registry of
// statements, every other message only as it was sent or pooled. Agreement
// across the nodes and steps then holds: two certified statements for one
// slot and leader view need signers the registry shows signing both. The harness keeps every node's own votes
// and checks each against the vote locks they imply and the tip it extends,
// and follows each node's leader through the rotations it announces.
//
// Input: two configuration bytes (a mask of the nodes that vote only with a
// persisted tip, then the switches below), then steps: an opcode byte, the
// node's byte and the step's arguments.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <exception>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/bytes.hpp"
#include "base/contract.hpp"
#include "consensus/bls.hpp"
#include "consensus/statemachine/statemachine.hpp"
#include "consensus/statemachine/test_shreds_io.hpp"
#include "consensus/test_keys.hpp"

namespace {

using namespace vesk;
using namespace std::chrono_literals;
namespace d = statemachine_detail;
using Machine = VeskStatemachine<SimulatedTimestamper>;
using Key = std::pair<BlsPubkey, uint64_t>;

constexpr size_t NODES = 5;
constexpr size_t OUTSIDER = 5;
constexpr uint64_t SECOND_VIEW_START = 16;
constexpr uint64_t SECOND_VIEW_END = 10000;
constexpr int64_t START_MS = 1'700'000'000'000;
constexpr size_t MAX_STEPS = 48;
// Machine calls one input may make, so that no input runs for long.
constexpr size_t CALL_BUDGET = 400;
constexpr size_t OUTBOX_LIMIT = 64;
constexpr size_t WIRE_LIMIT = 64;
constexpr size_t RECEIVED_LIMIT = 32;
constexpr uint64_t CHAIN_SLOTS = 6;
constexpr size_t BYZANTINE = 0;

// The bounds the machine keeps, as the harness knows them.
constexpr uint64_t PARK_WINDOW = 50;
constexpr uint64_t ACCEPTED_WINDOW = 256;
constexpr uint64_t EQUIVOCATION_RETAINED = 500;
constexpr uint64_t CERTIFICATE_GAP = 200;
constexpr size_t PARKED_CAP = 10000;
constexpr size_t REMEMBERED_CAP = 32;
constexpr uint64_t PROPOSAL_HORIZON = 101;
constexpr size_t VOTES_PER_TICK = 64;
constexpr uint64_t ENTRIES_PER_SLOT = 256;
constexpr size_t KEY_CACHE = 64;
constexpr size_t CATALOG_BLOCKS = 64;
constexpr uint64_t CATCHUP_SPAN = 201;
// What SMALL_BOUNDS sets instead, so that a short input reaches them.
constexpr size_t SMALL_PARKED_CAP = 3;
constexpr size_t SMALL_REMEMBERED_CAP = 4;
// The harness keeps its own numbers, so that a change on the machine's side
// shows here rather than quietly moving the oracles with it.
static_assert(PARK_WINDOW == ParkedMessages::SLOT_WINDOW);
static_assert(ACCEPTED_WINDOW == d::ACCEPTED_QC_SLOTS);
static_assert(EQUIVOCATION_RETAINED == EquivocationDetector::RETAINED_SLOTS);
static_assert(CERTIFICATE_GAP == d::MAX_CERTIFICATE_GAP);
static_assert(PARKED_CAP == d::PARKED_PER_SOURCE);
static_assert(REMEMBERED_CAP == d::VERIFIED_PROPOSALS);
static_assert(PROPOSAL_HORIZON == d::PROPOSAL_HORIZON);
static_assert(VOTES_PER_TICK == d::VOTES_PER_TICK);
static_assert(ENTRIES_PER_SLOT == d::MAX_ENTRIES_PER_SLOT);
static_assert(KEY_CACHE == VoteSignatureVerifier::KEY_CACHE_CAPACITY);
static_assert(CATALOG_BLOCKS == d::MAX_CATALOG_BLOCKS);
static_assert(CATCHUP_SPAN == d::CATCHUP_TARGET_SPAN);

// Switches of the second configuration byte.
constexpr uint8_t SHRED_STORES = 1;   // every node holds the honest chain's shreds
constexpr uint8_t NOT_READY = 2;      // leaders start with the readiness round
constexpr uint8_t NO_DETECTOR = 4;    // as the threaded run, without equivocation detector
constexpr uint8_t TIP_PERSISTED = 8;  // the starting tip counts as persisted
constexpr uint8_t SMALL_BOUNDS = 16;  // small parking and remembered-proposal caps

enum Op : uint8_t {
    DELIVER,         // pool index (two bytes), change
    TICK,
    ADVANCE,         // how far
    PROCESS,         // which received proposal, which parent or bank
    FORWARD,         // the node's outgoing messages to their recipients
    REDELIVER,       // index into the messages seen on the wire, change
    CATCHUP_QUERY,   // the host asks for the blocks the catch-up wants
    CATCHUP_ANSWER,  // responder, which answer
    STATE_SYNC,      // the host asks its peers for state sync
    TRANSACTIONS,    // how many
    OPS
};

[[noreturn]] void broken(const char* what) {
    std::fprintf(stderr, "statemachine_fuzz: broken check: %s\n", what);
    std::abort();
}
void check(bool ok, const char* what) {
    if (!ok) broken(what);
}

// ---------------------------------------------------------------- the pool

// The statements each key signed, by (key index, slot, leader view): their ids.
using Signatures = std::map<std::tuple<size_t, uint64_t, uint64_t>, std::set<Hash>>;

struct Pool {
    std::vector<NodeIdentity> ids;  // NODES validators, then the outsider
    std::map<BlsPubkey, size_t> index_of;
    std::optional<QuorumView> first, second;
    std::vector<ConsensusMessage> messages;
    // Entries of every pool block, by the block's entries hash.
    std::unordered_map<Hash, std::vector<EntryMessage>> entries;
    // Every genuine certificate, by id: the parents of processed blocks.
    std::unordered_map<Hash, QuorumCertificate> certificates;
    std::vector<QuorumCertificate> chain;  // genesis, then slots 1..CHAIN_SLOTS
    Signatures signatures;  // every statement the pool signed

    const BlsPubkey& key(size_t i) const { return ids[i].pubkey; }
    const NodeIdentity* identity(const BlsPubkey& k) const {
        auto it = index_of.find(k);
        return it == index_of.end() ? nullptr : &ids[it->second];
    }
    const QuorumView* view_by_id(const Hash& id) const {
        if (id == first->view_id) return &*first;
        if (id == second->view_id) return &*second;
        return nullptr;
    }
    const QuorumView* view_for(uint64_t slot) const {
        if (first->covers(slot)) return &*first;
        if (second->covers(slot)) return &*second;
        return nullptr;
    }
    void add(ConsensusMessage m) { messages.push_back(std::move(m)); }

    SignedQuorumMessage vote(size_t who, const QuorumMessage& qm) {
        signatures[{who, qm.slot, qm.leader_view}].insert(qm.qc_id);
        return SignedQuorumMessage{bls::sign(ids[who].secret, qm.signing_bytes()), key(who), qm};
    }
    QuorumCertificate certify(const QuorumView& view, const QuorumMessage& qm, std::initializer_list<size_t> who) {
        std::vector<std::pair<size_t, BlsSignature>> sigs;
        for (size_t w : who) sigs.emplace_back(*view.find_pubkey_index(key(w)), vote(w, qm).signature);
        QuorumCertificate qc(view.view_id, qm, sigs);
        if (qc.verify(view)) certificates[qc.id()] = qc;
        return qc;
    }

    struct Built {
        SignedBlockProposalMessage proposal;
        QuorumMessage statement;
    };
    // A signed block of `count` entries on `parent`, its announcements added
    // to the pool after the proposal.
    Built block(size_t producer, uint64_t slot, const QuorumCertificate& parent, uint64_t leader_view, size_t count,
                int64_t timestamp, uint8_t salt) {
        std::vector<EntryMessage> es;
        std::vector<Hash> hashes;
        for (size_t j = 0; j < count; ++j) {
            EntryMessage e;
            e.transactions = {{salt, static_cast<uint8_t>(slot), static_cast<uint8_t>(j)}};
            e.slot = slot;
            e.index = j;
            e.producer = key(producer);
            hashes.push_back(e.hash());
            es.push_back(std::move(e));
        }
        BlockProposalMessage h;
        h.slot = slot;
        h.parent_qc_id = parent.id();
        h.leader_view = leader_view;
        h.entries_hash = Block::compute_entries_hash(parent.message.bank_hash, hashes);
        h.entry_count = count;
        h.proof_hash = hashv({Hash{}.span()});
        h.vesk_id = key(producer);
        h.timestamp = timestamp;
        SignedBlockProposalMessage signed_proposal{h.sign(ids[producer].secret), key(producer), h};
        add(signed_proposal);
        for (size_t j = 0; j < count; ++j) {
            add(SignedEntryAnnouncement(EntryAnnouncement{hashes[j], key(producer), slot, j}, ids[producer].secret));
        }
        entries[h.entries_hash] = std::move(es);
        return {signed_proposal, h.to_quorum_message(Hash{}, CrosschainCommitment{})};
    }

    static StateSyncRequest state_sync_request(const NodeIdentity& from, uint64_t from_slot) {
        StateSyncRequest r{from.pubkey, from_slot, {}};
        r.signature = bls::sign(
            from.secret, ByteWriter().tag("STATE_SYNC_REQUEST_DST").bytes(from.pubkey.bytes).u64(from_slot).data());
        return r;
    }
    static ShredsAvailableRequest shreds_query(const NodeIdentity& from, uint64_t from_slot, u128 nonce) {
        ShredsAvailableRequest q{from.pubkey, from_slot, nonce, {}};
        q.signature = bls::sign(from.secret, ByteWriter()
                                                 .tag("SHREDS_AVAILABLE_REQUEST_DST")
                                                 .bytes(from.pubkey.bytes)
                                                 .u64(from_slot)
                                                 .u128v(nonce)
                                                 .data());
        return q;
    }

    Pool() {
        auto generated = testkeys::identities(NODES + 1);
        // Node order: the first view's rotation order, then the newcomer.
        std::vector<std::pair<BlsPubkey, uint64_t>> first_members;
        for (size_t i = 0; i < 4; ++i) first_members.emplace_back(generated[i].pubkey, 1);
        first.emplace(0, SECOND_VIEW_START, first_members);
        for (const BlsPubkey& k : first->keys) {
            ids.push_back(*std::find_if(generated.begin(), generated.end(), [&](auto& x) { return x.pubkey == k; }));
        }
        ids.push_back(generated[4]);
        ids.push_back(generated[5]);
        for (size_t i = 0; i < ids.size(); ++i) index_of[key(i)] = i;
        std::vector<std::pair<BlsPubkey, uint64_t>> second_members{{key(1), 1}, {key(2), 1}, {key(3), 1}, {key(4), 3}};
        second.emplace(SECOND_VIEW_START, SECOND_VIEW_END, second_members);
        const QuorumView& v0 = *first;
        const QuorumView& v1 = *second;

        // The honest chain of leader 0 in leader view 0.
        chain.push_back(QuorumCertificate{});
        std::vector<QuorumMessage> statements{QuorumMessage{}};
        for (uint64_t s = 1; s <= CHAIN_SLOTS; ++s) {
            Built b = block(0, s, chain.back(), 0, s % 2, START_MS + 100 * static_cast<int64_t>(s), 0);
            for (size_t w = 0; w < 4; ++w) add(vote(w, b.statement));
            chain.push_back(certify(v0, b.statement, {0, 1, 2}));
            add(chain.back());
            statements.push_back(b.statement);
        }
        const QuorumMessage& qm1 = statements[1];

        // Votes that must not count.
        add(vote(OUTSIDER, qm1));
        add(vote(4, qm1));
        SignedQuorumMessage wrong_key = vote(2, qm1);
        wrong_key.pubkey = key(1);
        add(wrong_key);
        QuorumMessage other = qm1;
        other.bank_hash.bytes[0] = 1;
        other.qc_id = QuorumMessage::compute_qc_id(other.slot, other.parent_qc_id, other.leader_view,
                                                   other.entries_hash, other.vesk_id, other.timestamp,
                                                   other.bank_hash, other.recovery, other.crosschain);
        add(vote(1, other));

        // Other leaders of slots 1 and 2 after rotations, leader 0 again
        // after a lap, and leader 0 equivocating in its own view.
        for (uint64_t s = 1; s <= 2; ++s) {
            const QuorumCertificate& parent = chain[s - 1];
            const int64_t ts = START_MS + 100 * static_cast<int64_t>(s) + 50;
            for (size_t j = 1; j <= 3; ++j) {
                Built b = block(j, s, parent, j, 0, ts, static_cast<uint8_t>(j));
                if (s == 1 && j == 1) {
                    for (size_t w = 0; w < 4; ++w) add(vote(w, b.statement));
                    slot1_leader1 = certify(v0, b.statement, {0, 1, 3});
                    add(slot1_leader1);
                }
            }
            Built lap = block(0, s, parent, 4, 0, ts, 4);
            if (s == 1) lap1 = lap.statement;
            Built twin = block(0, s, parent, 0, 2, ts + 1, 9);
            if (s == 1) {
                for (size_t w = 1; w < 4; ++w) add(vote(w, twin.statement));
                add(certify(v0, twin.statement, {1, 2, 3}));
            }
        }

        // Certificates that must not be taken.
        add(certify(v0, qm1, {0, 1}));  // too little stake
        QuorumCertificate forged = certify(v0, qm1, {0, 1, 2});
        forged.bitmap = 0b1011;  // signers other than the bitmap says
        add(forged);
        forged.bitmap = 0b0111 | (uint64_t{1} << 40);  // a bit beyond the members
        add(forged);
        forged = certify(v0, qm1, {0, 1, 2});
        forged.quorum_view_id = v1.view_id;
        add(forged);
        forged = chain[1];
        forged.bitmap = 0;
        forged.aggregated_signature = BlsSignature{};
        forged.aggregated_signature.bytes[0] = 0xc0;  // the identity: no signer at all
        add(forged);
        forged.bitmap = 0b1111;
        add(forged);
        forged = certify(v0, other, {0, 1, 2});
        forged.message = qm1;  // signatures over another statement
        add(forged);

        // Certificates and blocks far ahead, across the epoch and beyond.
        Built b10 = block(0, 10, chain[CHAIN_SLOTS], 0, 0, START_MS + 1000, 0);
        QuorumCertificate c10 = certify(v0, b10.statement, {0, 1, 2});
        add(c10);
        Built b15 = block(0, 15, c10, 0, 1, START_MS + 1500, 0);
        QuorumCertificate c15 = certify(v0, b15.statement, {0, 2, 3});
        add(c15);
        Built b16 = block(4, 16, c15, 0, 0, START_MS + 1600, 0);
        for (size_t w = 0; w < NODES; ++w) add(vote(w, b16.statement));
        QuorumCertificate c16 = certify(v1, b16.statement, {4, 1, 2});
        add(c16);
        Built b17 = block(4, 17, c16, 0, 1, START_MS + 1700, 0);
        add(certify(v1, b17.statement, {1, 2, 3}));  // half the stake
        QuorumCertificate c17 = certify(v1, b17.statement, {4, 3, 1});
        add(c17);
        Built b250 = block(4, 250, c17, 0, 0, START_MS + 25000, 0);
        add(certify(v1, b250.statement, {4, 1, 2}));
        QuorumMessage beyond = b250.statement;
        beyond.slot = SECOND_VIEW_END + 5;
        add(certify(v1, beyond, {4, 1, 2}));

        // Pings and pongs of the readiness round.
        for (size_t i = 0; i <= OUTSIDER; ++i) {
            add(Ping(key(i), 1, ids[i].secret));
            add(Pong(key(0), key(i), 1, ids[i].secret));
        }

        // Announcements that must not count.
        add(SignedEntryAnnouncement(EntryAnnouncement{filled_hash(7), key(0), 1, 0}, ids[0].secret));
        add(SignedEntryAnnouncement(EntryAnnouncement{filled_hash(8), key(0), 1, 300}, ids[0].secret));
        add(SignedEntryAnnouncement(EntryAnnouncement{filled_hash(9), key(1), 1, 0}, ids[1].secret));

        // State sync.
        for (size_t i = 0; i <= OUTSIDER; ++i) add(state_sync_request(ids[i], 0));
        add(state_sync_request(ids[1], 2));
        auto sync = [&](size_t responder, std::vector<QuorumCertificate> qcs, uint64_t to_slot) {
            add(StateSyncResponse(v0.keys, to_slot, key(0), true, std::move(qcs), key(responder),
                                  ids[responder].secret));
        };
        const auto& c = chain;
        sync(1, {c[1], c[2], c[3]}, 3);
        sync(2, {c[1], c[3]}, 3);
        sync(1, {c[2], c[1]}, 1);
        sync(1, {}, 3);
        sync(3, {c[1], c[2], c[3], c[4], c[5], c[6]}, 6);
        sync(1, {c[1], certify(v0, statements[2], {0, 1})}, 2);
        sync(2, {c10, c15}, 15);
        sync(OUTSIDER, {c[1]}, 1);
        sync(1, {c16}, 16);

        // Certificate recovery.
        for (size_t i : {size_t{1}, size_t{2}, OUTSIDER}) add(QcRequest(key(i), 1, std::nullopt, ids[i].secret));
        add(QcRequest(key(1), 2, c[2].id(), ids[1].secret));
        add(QcRequest(key(1), 3, c[2].id(), ids[1].secret));
        for (const QuorumCertificate& qc : {c[1], c[2], c[3], c[6], c10, c16}) {
            add(QcResponse(key(1), qc, ids[1].secret));
        }
        add(QcResponse(key(2), certify(v0, qm1, {0, 3}), ids[2].secret));
        add(QcResponse(key(OUTSIDER), c[1], ids[OUTSIDER].secret));

        // Shred catch-up, with a nonce no node draws.
        for (size_t i : {size_t{1}, size_t{2}, OUTSIDER}) add(shreds_query(ids[i], 1, 7));
        add(shreds_query(ids[1], 3, 7));
        add(ShredsFetchRequest(key(1), 1, key(0), 0, ids[1].secret));
        add(ShredsAvailableResponse(key(2), 1, 7, {ShredBlockRef{key(0), 1, 0}, ShredBlockRef{key(0), 2, 0}},
                                    ids[2].secret));
        add(ShredsBehindResponse(key(2), key(1), 1, 7, 9, ids[2].secret));
        add(ShredsFetchResponse(key(2), 1, key(0), 0, std::nullopt, testsupport::make_shreds(1, 0, 2), ids[2].secret));

        // Exactly two thirds of the second view's stake.
        add(certify(v1, b17.statement, {4, 1}));
        // Far ahead: jumps past the accepted window and the equivocation
        // records' retention, and proposals to park there.
        QuorumCertificate far = c17;
        std::vector<QuorumCertificate> far_chain;
        for (uint64_t s : {uint64_t{210}, uint64_t{400}, uint64_t{600}}) {
            Built b = block(4, s, far, 0, 0, START_MS + 100 * static_cast<int64_t>(s), 0);
            far = certify(v1, b.statement, {4, 1, 2});
            add(far);
            far_chain.push_back(far);
        }
        block(4, 60, c17, 0, 0, START_MS + 6000, 0);
        block(4, 240, far_chain[0], 0, 0, START_MS + 24000, 0);
        sync(1, {far_chain[2]}, 600);
        sync(2, {c16, c17, far_chain[0]}, 210);
        add(QcResponse(key(2), far_chain[0], ids[2].secret));
        // A leader-1 block on its own slot-1 certificate.
        add(QcResponse(key(1), slot1_leader1, ids[1].secret));
        Built own = block(1, 2, slot1_leader1, 1, 0, START_MS + 251, 1);
        for (size_t w = 0; w < 4; ++w) add(vote(w, own.statement));
        add(certify(v0, own.statement, {1, 2, 3}));
        // Leader 0's slot-1 block after a lap, certified: the tip it makes
        // has the producer and bank hash of the chain's slot-1 tip.
        add(certify(v0, lap1, {0, 1, 2}));
    }

    QuorumCertificate slot1_leader1;
    QuorumMessage lap1;

    static Hash filled_hash(uint8_t v) {
        Hash h;
        h.bytes.fill(v);
        return h;
    }
};

const Pool& pool() {
    static const Pool* const p = new Pool();
    return *p;
}

// The view of a slot for a node whose tip is `tip`: the second view, and
// the first until the tip enters the second.
const QuorumView* view_at(uint64_t tip, uint64_t slot) {
    const Pool& P = pool();
    if (P.second->covers(slot)) return &*P.second;
    if (tip < SECOND_VIEW_START && P.first->covers(slot)) return &*P.first;
    return nullptr;
}

// A member's signature of a statement, as signing gives it every time.
const BlsSignature& signature_of(size_t member, const QuorumMessage& qm) {
    static std::map<std::pair<size_t, std::array<uint8_t, QuorumMessage::SIGNING_LEN>>, BlsSignature> cache;
    auto k = std::pair{member, qm.signing_bytes()};
    if (auto it = cache.find(k); it != cache.end()) return it->second;
    if (cache.size() > 8192) cache.clear();
    return cache.emplace(k, bls::sign(pool().ids[member].secret, k.second)).first->second;
}

// Whether the certificate certifies its statement in the view of its slot,
// decided without the certificate's own check: the members its bitmap names
// hold two thirds of the stake (bits beyond the members count nothing), and
// its aggregate is the sum of exactly those members' signatures.
bool certified(const QuorumCertificate& qc) {
    static std::map<std::pair<std::array<uint8_t, QuorumCertificate::BODY_LEN>, std::array<uint8_t, 96>>, bool> cache;
    const Pool& P = pool();
    const QuorumView* view = P.view_for(qc.slot());
    if (view == nullptr || view->view_id != qc.quorum_view_id) return false;
    auto k = std::pair{qc.body_bytes(), qc.aggregated_signature.bytes};
    if (auto it = cache.find(k); it != cache.end()) return it->second;
    if (cache.size() > 4096) cache.clear();
    uint64_t stake = 0, total = 0;
    std::vector<BlsSignature> sigs;
    for (size_t i = 0; i < view->len(); ++i) {
        total += view->stakes[i];
        if ((qc.bitmap >> i) & 1) {
            stake += view->stakes[i];
            sigs.push_back(signature_of(P.index_of.at(view->keys[i]), qc.message));
        }
    }
    bool ok = total > 0 && 3 * stake >= 2 * total;
    if (ok) {
        auto agg = bls::aggregate_signatures(sigs);
        ok = agg && agg->bytes == qc.aggregated_signature.bytes;
    }
    cache.emplace(k, ok);
    return ok;
}

// The members of the certificate's view whose bits are set.
std::vector<size_t> signers(const QuorumCertificate& qc) {
    std::vector<size_t> out;
    const QuorumView* view = pool().view_for(qc.slot());
    if (view == nullptr) return out;
    for (size_t i = 0; i < view->len(); ++i) {
        if ((qc.bitmap >> i) & 1) out.push_back(pool().index_of.at(view->keys[i]));
    }
    return out;
}

// ---------------------------------------------------------- the input

class Reader {
public:
    Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool done() const { return pos_ >= size_; }
    uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    size_t index(size_t n) {
        size_t v = byte();
        v = (v << 8) | byte();
        return n == 0 ? 0 : v % n;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// ---------------------------------------------------------- one field changed

enum Field : uint8_t { NONE, SLOT, VIEW, BITMAP, TIME, PARENT, KEY, SIGNATURE, OTHER, FIELDS };

uint64_t shifted(uint64_t x, uint8_t v) {
    switch (v % 10) {
        case 0: return x + 1;
        case 1: return x - 1;
        case 2: return x + 2;
        case 3: return x - 2;
        case 4: return x + 5;
        case 5: return x + 11;
        case 6: return x + 100;
        case 7: return x + 1000;
        case 8: return 0;
        default: return UINT64_MAX;
    }
}
int64_t moved(int64_t t, uint8_t v) {
    static constexpr int64_t by[] = {1, -1, 399, 401, -401, 2001, -2001, 100000};
    if (v % 10 == 8) return INT64_MIN;
    if (v % 10 == 9) return INT64_MAX;
    return static_cast<int64_t>(static_cast<uint64_t>(t) + static_cast<uint64_t>(by[v % 10]));
}
template <size_t N>
void flip(std::array<uint8_t, N>& bytes, uint8_t v) {
    bytes[v % N] ^= static_cast<uint8_t>(1u << ((v / N) % 8));
}

void change_statement(QuorumMessage& q, Field f, uint8_t v) {
    switch (f) {
        case SLOT: q.slot = shifted(q.slot, v); break;
        case VIEW: q.leader_view = shifted(q.leader_view, v); break;
        case TIME: q.timestamp = moved(q.timestamp, v); break;
        case PARENT: flip(q.parent_qc_id.bytes, v); break;
        case OTHER:
            switch (v % 7) {
                case 0: flip(q.qc_id.bytes, v); break;
                case 1: flip(q.bank_hash.bytes, v); break;
                case 2: q.recovery = !q.recovery; break;
                case 3: flip(q.entries_hash.bytes, v); break;
                case 4: flip(q.crosschain.root.bytes, v); break;
                case 5: q.crosschain.epoch = shifted(q.crosschain.epoch, v / 7); break;
                default: flip(q.vesk_id.bytes, v); break;
            }
            break;
        default: break;
    }
}
void change_certificate(QuorumCertificate& c, Field f, uint8_t v) {
    switch (f) {
        case BITMAP: c.bitmap ^= uint64_t{1} << (v % 64); break;
        case KEY: flip(c.quorum_view_id.bytes, v); break;
        case SIGNATURE: flip(c.aggregated_signature.bytes, v); break;
        default: change_statement(c.message, f, v); break;
    }
}

void change(ConsensusMessage& msg, Field f, uint8_t v) {
    std::visit(
        [&](auto& p) {
            using P = std::decay_t<decltype(p)>;
            if constexpr (requires { p.signature.bytes; }) {
                if (f == SIGNATURE) {
                    flip(p.signature.bytes, v);
                    return;
                }
            }
            if constexpr (std::is_same_v<P, Ping>) {
                if (f == KEY) flip(p.sender.bytes, v);
                if (f == OTHER) p.nonce ^= 1;
            } else if constexpr (std::is_same_v<P, Pong>) {
                if (f == KEY) flip(v % 2 ? p.pinger.bytes : p.responder.bytes, v);
                if (f == OTHER) p.nonce ^= 1;
            } else if constexpr (std::is_same_v<P, SignedEntryAnnouncement>) {
                if (f == SLOT) p.slot = shifted(p.slot, v);
                if (f == KEY) flip(p.producer.bytes, v);
                if (f == OTHER) {
                    if (v % 2) {
                        p.entry_id = shifted(p.entry_id, v / 2);
                    } else {
                        flip(p.entry_hash.bytes, v);
                    }
                }
            } else if constexpr (std::is_same_v<P, SignedBlockProposalMessage>) {
                BlockProposalMessage& h = p.proposal;
                switch (f) {
                    case SLOT: h.slot = shifted(h.slot, v); break;
                    case VIEW: h.leader_view = shifted(h.leader_view, v); break;
                    case TIME: h.timestamp = moved(h.timestamp, v); break;
                    case PARENT: flip(h.parent_qc_id.bytes, v); break;
                    case KEY: flip(v % 2 ? p.pubkey.bytes : h.vesk_id.bytes, v); break;
                    case OTHER:
                        switch (v % 4) {
                            case 0: h.entry_count = shifted(h.entry_count, v / 4); break;
                            case 1: flip(h.entries_hash.bytes, v); break;
                            case 2: h.recovery = !h.recovery; break;
                            default: flip(h.proof_hash.bytes, v); break;
                        }
                        break;
                    default: break;
                }
            } else if constexpr (std::is_same_v<P, SignedQuorumMessage>) {
                if (f == KEY) {
                    flip(p.pubkey.bytes, v);
                } else {
                    change_statement(p.message, f, v);
                }
            } else if constexpr (std::is_same_v<P, QuorumCertificate>) {
                change_certificate(p, f, v);
            } else if constexpr (std::is_same_v<P, StateSyncRequest>) {
                if (f == SLOT) p.from_slot = shifted(p.from_slot, v);
                if (f == KEY) flip(p.requester.bytes, v);
            } else if constexpr (std::is_same_v<P, StateSyncResponse>) {
                if (f == SLOT) p.to_slot = shifted(p.to_slot, v);
                if (f == KEY) {
                    switch (v % 4) {
                        case 0: flip(p.responder.bytes, v); break;
                        case 1: flip(p.vesk_id.bytes, v); break;
                        case 2: p.vesk_id = pool().key(v / 4 % NODES); break;
                        default:
                            if (!p.members.empty()) flip(p.members[v / 4 % p.members.size()].bytes, v);
                            break;
                    }
                }
                if (f == OTHER) {
                    switch (v % 6) {
                        case 0: if (!p.qcs.empty()) p.qcs.pop_back(); break;
                        case 1: if (!p.qcs.empty()) p.qcs.push_back(p.qcs.front()); break;
                        case 2: p.has_next_view = !p.has_next_view; break;
                        case 3: if (!p.members.empty()) p.members.pop_back(); break;
                        case 4: std::reverse(p.members.begin(), p.members.end()); break;
                        default:
                            if (!p.qcs.empty()) change_certificate(p.qcs[v / 6 % p.qcs.size()], OTHER, v / 6);
                            break;
                    }
                }
                if ((f == BITMAP || f == VIEW || f == TIME || f == PARENT) && !p.qcs.empty()) {
                    change_certificate(p.qcs[v % p.qcs.size()], f, v);
                }
            } else if constexpr (std::is_same_v<P, QcRequest>) {
                if (f == SLOT) p.slot = shifted(p.slot, v);
                if (f == KEY) flip(p.requester.bytes, v);
                if (f == OTHER) {
                    if (p.qc_id) {
                        p.qc_id.reset();
                    } else {
                        p.qc_id = pool().chain[1].id();
                    }
                }
            } else if constexpr (std::is_same_v<P, QcResponse>) {
                if (f == KEY) {
                    flip(p.responder.bytes, v);
                } else {
                    change_certificate(p.qc, f, v);
                }
            } else if constexpr (std::is_same_v<P, ShredsAvailableRequest>) {
                if (f == SLOT) p.from_slot = shifted(p.from_slot, v);
                if (f == KEY) flip(p.requester.bytes, v);
                if (f == OTHER) p.nonce ^= 1;
            } else if constexpr (std::is_same_v<P, ShredsAvailableResponse>) {
                if (f == SLOT) p.from_slot = shifted(p.from_slot, v);
                if (f == KEY) flip(p.responder.bytes, v);
                if (f == BITMAP) p.nonce ^= 1;
                if (f == OTHER) {
                    if (v % 3 == 0 && !p.blocks.empty()) p.blocks.pop_back();
                    if (v % 3 == 1) {
                        const ShredBlockRef last = p.blocks.empty() ? ShredBlockRef{} : p.blocks.back();
                        p.blocks.resize(d::MAX_CATALOG_BLOCKS + 1, last);
                    }
                    if (v % 3 == 2 && !p.blocks.empty()) p.blocks.back().slot = shifted(p.blocks.back().slot, v / 3);
                }
            } else if constexpr (std::is_same_v<P, ShredsFetchRequest>) {
                if (f == SLOT) p.slot = shifted(p.slot, v);
                if (f == KEY) flip(v % 2 ? p.requester.bytes : p.producer.bytes, v);
                if (f == OTHER) p.start_index += 1;
            } else if constexpr (std::is_same_v<P, ShredsFetchResponse>) {
                if (f == SLOT) p.slot = shifted(p.slot, v);
                if (f == KEY) flip(v % 2 ? p.responder.bytes : p.producer.bytes, v);
                if (f == OTHER) {
                    if (v % 3 == 0) p.next_index = p.start_index;
                    if (v % 3 == 1) p.next_index = p.start_index + 1;
                    if (v % 3 == 2) p.next_index.reset();
                }
                if (f == BITMAP) p.shreds.resize(d::MAX_SHREDS_PER_RESPONSE + 1, {1});
                if (f == TIME) {
                    if (p.shreds.empty() || v % 3 == 0) {
                        p.shreds.push_back({v});
                    } else if (v % 3 == 1) {
                        p.shreds[v % p.shreds.size()].clear();
                    } else if (auto& shred = p.shreds[v % p.shreds.size()]; !shred.empty()) {
                        shred[v % shred.size()] ^= 1;
                    }
                }
            } else if constexpr (std::is_same_v<P, ShredsBehindResponse>) {
                if (f == SLOT) {
                    if (v % 2) {
                        p.tip_slot = shifted(p.tip_slot, v / 2);
                    } else {
                        p.from_slot = shifted(p.from_slot, v / 2);
                    }
                }
                if (f == KEY) flip(v % 2 ? p.responder.bytes : p.requester.bytes, v);
                if (f == OTHER) p.nonce ^= 1;
            }
        },
        msg.payload);
}

Hash statement_id(const QuorumMessage& q) {
    return QuorumMessage::compute_qc_id(q.slot, q.parent_qc_id, q.leader_view, q.entries_hash, q.vesk_id, q.timestamp,
                                        q.bank_hash, q.recovery, q.crosschain);
}

// Whether the adversary has key `who`'s signature of the statement: the
// Byzantine member and the outsider sign anything (and it is recorded), an
// honest key only what the registry shows it signed.
bool may_sign(Signatures& registry, size_t who, const QuorumMessage& qm) {
    auto& ids = registry[{who, qm.slot, qm.leader_view}];
    if (who == BYZANTINE || who == OUTSIDER) {
        ids.insert(qm.qc_id);
        return true;
    }
    return ids.contains(qm.qc_id);
}

// A changed certificate signed again by the members its bitmap names, as
// far as the adversary holds their signatures.
void resign_certificate(Signatures& registry, QuorumCertificate& c) {
    const Pool& P = pool();
    const QuorumView* view = P.view_by_id(c.quorum_view_id);
    if (view == nullptr) return;
    c.message.qc_id = statement_id(c.message);
    std::vector<BlsSignature> sigs;
    for (size_t i = 0; i < view->len(); ++i) {
        const size_t who = P.index_of.at(view->keys[i]);
        if (((c.bitmap >> i) & 1) && may_sign(registry, who, c.message)) sigs.push_back(signature_of(who, c.message));
    }
    if (auto agg = bls::aggregate_signatures(sigs)) c.aggregated_signature = *agg;
}

// What a misbehaving peer can send: the changed message under its own
// signature, and statements only as far as the adversary holds them.
// Messages of keys outside the pool stay as they are.
void resign(Signatures& registry, ConsensusMessage& msg) {
    const Pool& P = pool();
    std::visit(
        [&](auto& p) {
            using P_ = std::decay_t<decltype(p)>;
            auto secret = [&](const BlsPubkey& k) -> const BlsSecretKey* {
                const NodeIdentity* id = P.identity(k);
                return id ? &id->secret : nullptr;
            };
            if constexpr (std::is_same_v<P_, Ping>) {
                if (auto s = secret(p.sender)) p = Ping(p.sender, p.nonce, *s);
            } else if constexpr (std::is_same_v<P_, Pong>) {
                if (auto s = secret(p.responder)) p = Pong(p.pinger, p.responder, p.nonce, *s);
            } else if constexpr (std::is_same_v<P_, SignedEntryAnnouncement>) {
                if (auto s = secret(p.producer)) p = SignedEntryAnnouncement(p.announcement(), *s);
            } else if constexpr (std::is_same_v<P_, SignedBlockProposalMessage>) {
                if (auto s = secret(p.pubkey)) p.signature = p.proposal.sign(*s);
            } else if constexpr (std::is_same_v<P_, SignedQuorumMessage>) {
                p.message.qc_id = statement_id(p.message);
                auto it = P.index_of.find(p.pubkey);
                if (it != P.index_of.end() && may_sign(registry, it->second, p.message)) {
                    p.signature = signature_of(it->second, p.message);
                }
            } else if constexpr (std::is_same_v<P_, QuorumCertificate>) {
                resign_certificate(registry, p);
            } else if constexpr (std::is_same_v<P_, StateSyncRequest>) {
                if (P.identity(p.requester)) p = Pool::state_sync_request(*P.identity(p.requester), p.from_slot);
            } else if constexpr (std::is_same_v<P_, QcRequest>) {
                if (auto s = secret(p.requester)) p = QcRequest(p.requester, p.slot, p.qc_id, *s);
            } else if constexpr (std::is_same_v<P_, QcResponse>) {
                resign_certificate(registry, p.qc);
                if (auto s = secret(p.responder)) p.signature = bls::sign(*s, p.signing_bytes());
            } else if constexpr (std::is_same_v<P_, StateSyncResponse>) {
                for (QuorumCertificate& qc : p.qcs) resign_certificate(registry, qc);
                if (auto s = secret(p.responder)) p.signature = bls::sign(*s, p.signing_bytes());
            } else if constexpr (std::is_same_v<P_, ShredsAvailableRequest>) {
                if (P.identity(p.requester)) p = Pool::shreds_query(*P.identity(p.requester), p.from_slot, p.nonce);
            } else if constexpr (requires { p.responder; p.signing_bytes(); }) {
                if (auto s = secret(p.responder)) p.signature = bls::sign(*s, p.signing_bytes());
            } else if constexpr (std::is_same_v<P_, ShredsFetchRequest>) {
                if (auto s = secret(p.requester)) {
                    p = ShredsFetchRequest(p.requester, p.slot, p.producer, p.start_index, *s);
                }
            } else if constexpr (std::is_same_v<P_, ShredsBehindResponse>) {
                if (auto s = secret(p.responder)) {
                    p = ShredsBehindResponse(p.responder, p.requester, p.from_slot, p.nonce, p.tip_slot, *s);
                }
            }
        },
        msg.payload);
}

// The key whose signature covers the whole message; none for votes and
// certificates, whose statements the registry answers for.
std::optional<BlsPubkey> outer_signer(const ConsensusMessage& msg) {
    return std::visit(
        [](const auto& p) -> std::optional<BlsPubkey> {
            using P_ = std::decay_t<decltype(p)>;
            if constexpr (std::is_same_v<P_, Ping>) {
                return p.sender;
            } else if constexpr (std::is_same_v<P_, SignedEntryAnnouncement>) {
                return p.producer;
            } else if constexpr (std::is_same_v<P_, SignedBlockProposalMessage>) {
                return p.pubkey;
            } else if constexpr (std::is_same_v<P_, SignedQuorumMessage> || std::is_same_v<P_, QuorumCertificate>) {
                return std::nullopt;
            } else if constexpr (requires { p.responder; }) {
                return p.responder;
            } else {
                return p.requester;
            }
        },
        msg.payload);
}

// ---------------------------------------------------------- the nodes

struct Node {
    Machine m;
    std::vector<ConsensusMessageEnvelope> outbox;
    // The adapter's store of received headers, reported once they extend the tip.
    std::map<Key, BlockProposalMessage> replay_store;
    // Every proposal delivered, for reports of processed blocks.
    std::deque<SignedBlockProposalMessage> received;
    // The blocks the host reported or prepared: all that `proposals` may hold.
    std::set<Key> reported;
    // The parent each reported block was processed on, as the node kept it:
    // the first report, until one is taken without a conflict.
    std::map<Key, ProcessedParent> processed_on;
    uint64_t last_tip = 0;
    // Own votes by (slot, leader view).
    std::map<std::pair<uint64_t, uint64_t>, Hash> own_votes;
    // Own votes by slot, in the order they were made: what the locks hold.
    struct Vote {
        uint64_t leader_view;
        Hash qc_id;
        Hash parent;
    };
    std::map<uint64_t, std::vector<Vote>> votes;
    QuorumCertificate tip_before;  // the tip when the current call began
    size_t parked_cap = PARKED_CAP;
    size_t remembered_cap = REMEMBERED_CAP;
    // Every certificate that was the tip, or that the node reported valid:
    // all the previous certificate may be.
    std::set<Hash> tips{Hash{}};
    // A state sync completed: the previous certificate stays where it was.
    bool synced = false;
    // The leader as the node's announced rotations have it: rotation member
    // 0 of the first view, then the new leader of each rotation.
    BlsPubkey leader;
};

// Whether the node leads the slot after `tip`, by the harness's own account
// of its leader.
bool leads_next(const Node& node, uint64_t tip) {
    const QuorumView* view = view_at(tip, tip + 1);
    const BlsPubkey& me = node.m.identity.pubkey;
    return view != nullptr && view->has_pubkey(me) && node.leader == me;
}

// The messages the node holds parked, by source, counted from what is
// parked rather than from the store's own count.
std::unordered_map<BlsPubkey, size_t> parked_per_source(const Machine& m) {
    std::unordered_map<BlsPubkey, size_t> out;
    for (const auto& [event, set] : m.parked.parked()) {
        for (const ParkedMessage& pm : set) ++out[message_source(pm.msg)];
    }
    return out;
}

class Run {
public:
    Run(uint8_t persisted_mask, uint8_t flags) : clock_(WallTime{START_MS / 1000, 0}) {
        const Pool& P = pool();
        for (size_t i = 0; i < NODES; ++i) {
            ChainStateSnapshot snapshot{*P.second, QuorumCertificate{}, std::nullopt, *P.first,
                                        (flags & TIP_PERSISTED) != 0};
            NodeConfig config{(flags & NO_DETECTOR) ? std::nullopt
                                                    : std::optional<EquivocationDetector>(EquivocationDetector{}),
                              2s, ((persisted_mask >> i) & 1) != 0};
            nodes_.push_back(Node{Machine::new_with_config_and_timestamper(P.ids[i], 0, std::move(snapshot),
                                                                           std::move(config),
                                                                           EntryContainer::make().first, clock_),
                                  {}, {}, {}, {}, {}, 0, {}, {}, {}, PARKED_CAP, REMEMBERED_CAP, {Hash{}}, false,
                                  P.first->keys[0]});
            Machine& m = nodes_.back().m;
            m.vote_verifier.enabled = true;
            if (flags & SHRED_STORES) {
                auto store = std::make_shared<testsupport::MemoryShredsIo>(2);
                for (uint64_t s = 1; s <= CHAIN_SLOTS; ++s) {
                    store->add_block(P.key(0), s, testsupport::make_shreds(s, 0, 3));
                }
                m.shreds_io = store;
            }
            if (flags & NOT_READY) m.produce_ready = false;
            if (flags & SMALL_BOUNDS) {
                nodes_.back().parked_cap = SMALL_PARKED_CAP;
                nodes_.back().remembered_cap = SMALL_REMEMBERED_CAP;
                m.parked = ParkedMessages(0, SMALL_PARKED_CAP);
                m.verified_proposals_cap = SMALL_REMEMBERED_CAP;
            }
        }
    }

    bool out_of_budget() const { return calls_ >= CALL_BUDGET; }

    void step(Reader& in) {
        const Pool& P = pool();
        const auto op = static_cast<Op>(in.byte() % OPS);
        const size_t n = in.byte() % NODES;
        switch (op) {
            case DELIVER: {
                ConsensusMessage msg = P.messages[in.index(P.messages.size())];
                const bool genuine = !changed(msg, in);
                deliver(n, std::move(msg), genuine);
                break;
            }
            case TICK: drive(n, [](Machine& m) { return m.tick(); }); break;
            case ADVANCE: {
                static constexpr int64_t ms[] = {1, 10, 50, 200, 401, 1000, 2100, 5000};
                clock_.advance(std::chrono::milliseconds(ms[in.byte() % 8]));
                break;
            }
            case PROCESS: process(n, in.byte(), in.byte()); break;
            case FORWARD: forward(n); break;
            case REDELIVER: {
                if (wire_.empty()) break;
                ConsensusMessage msg = wire_[in.index(wire_.size())];
                const bool genuine = !changed(msg, in);
                deliver(n, std::move(msg), genuine);
                break;
            }
            case CATCHUP_QUERY: catchup_query(n); break;
            case CATCHUP_ANSWER: catchup_answer(n, in.byte(), in.byte()); break;
            case STATE_SYNC: ask_state_sync(n); break;
            default: {  // TRANSACTIONS
                Machine& m = nodes_[n].m;
                for (uint8_t k = 0, count = in.byte() % 4 + 1; k < count; ++k) {
                    Transaction t;
                    t.bytes = {static_cast<uint8_t>(n), static_cast<uint8_t>(txs_ >> 8), static_cast<uint8_t>(txs_)};
                    ++txs_;
                    t.id = hashv({t.bytes});
                    m.pending_txs.push_back(std::move(t));
                }
                break;
            }
        }
        for (Node& node : nodes_) check_node(node);
    }

private:
    // Whether the input changed the message.
    bool changed(ConsensusMessage& msg, Reader& in) {
        const uint8_t how = in.byte();
        const auto f = static_cast<Field>((how & 0x7f) % FIELDS);
        if (f == NONE) return false;
        change(msg, f, in.byte());
        if (how & 0x80) {
            ConsensusMessage as_changed = msg;
            resign(signatures_, msg);
            if (!may_carry(msg)) msg = std::move(as_changed);
        }
        return true;
    }

    // Whether the adversary may send the message under its signer's key:
    // the Byzantine member and the outsider sign anything, an honest key
    // only what it really signed, in the pool or on the wire.
    bool may_carry(const ConsensusMessage& msg) const {
        const std::optional<BlsPubkey> signer = outer_signer(msg);
        if (!signer) return true;
        auto it = pool().index_of.find(*signer);
        if (it == pool().index_of.end() || it->second == BYZANTINE || it->second == OUTSIDER) return true;
        const auto& pooled = pool().messages;
        return std::find(pooled.begin(), pooled.end(), msg) != pooled.end() ||
               std::find(wire_.begin(), wire_.end(), msg) != wire_.end();
    }

    // One machine call in the adapter's frame: its block production before,
    // its replay of stored headers after. Nothing may be thrown: every
    // contract the machine documents as ending the thread needs a host that
    // builds it wrongly (a zero timeout, an empty view, vote persistence),
    // which this one never does, so peers must not reach any.
    template <class F>
    void drive(size_t i, F&& call) {
        Node& node = nodes_[i];
        ++calls_;
        node.tip_before = node.m.tip_qc;
        try {
            produce(node);
            SubResult r = call(node.m);
            r += replay(node);
            collect(node, std::move(r));
        } catch (const std::exception& e) {
            std::fprintf(stderr, "statemachine_fuzz: node %zu threw: %s\n", i, e.what());
            broken("no exception leaves the state machine");
        } catch (...) {
            broken("no exception leaves the state machine");
        }
    }

    void deliver(size_t i, ConsensusMessage msg, bool genuine) {
        Node& node = nodes_[i];
        // The adapter takes no input while a tick's worth of votes waits.
        while (node.m.vote_verifier.queue_len() + node.m.vote_verifier.ready_len() >= VOTES_PER_TICK) {
            drive(i, [](Machine& m) { return m.tick(); });
        }
        const Machine& m = node.m;
        const QuorumCertificate tip = m.tip_qc;
        const uint64_t t = tip.slot();
        // A proposal the node must park: a member's, for a slot ahead of the
        // next within the window above the tip, to a node that does not lead
        // the next slot, from a source with fewer parked than its cap; the
        // leader and the count are the harness's own.
        std::optional<UnparkEvent> park_under;
        if (const auto* p = msg.get_if<SignedBlockProposalMessage>()) {
            if (p->proposal.slot <= sat_add(t, PROPOSAL_HORIZON - 1)) {
                node.replay_store.insert_or_assign(Key{p->pubkey, p->proposal.slot}, p->proposal);
            }
            node.received.push_back(*p);
            if (node.received.size() > RECEIVED_LIMIT) node.received.pop_front();
            const uint64_t s = p->proposal.slot;
            const QuorumView* view = view_at(t, s);
            if (genuine && s > t + 1 && s < t + PARK_WINDOW && view != nullptr && view->has_pubkey(p->pubkey) &&
                !leads_next(node, t) && parked_per_source(m)[p->pubkey] < node.parked_cap) {
                park_under = unpark::ChainStateReached{s - 1};
            }
        }
        // A proposal for the next slot that the node's own votes lock out
        // stops before anything can rotate the leader.
        std::optional<std::pair<size_t, uint64_t>> leader_stays;
        if (const auto* p = msg.get_if<SignedBlockProposalMessage>();
            p != nullptr && p->proposal.slot == t + 1 && locks_forbid(node, t + 1, p->proposal.leader_view, tip)) {
            leader_stays = std::pair{m.vesk_idx, m.rotations};
        }
        // A certificate, or one a member answers with: the tip it must leave.
        std::optional<QuorumCertificate> expected_tip;
        std::optional<std::pair<uint64_t, QuorumCertificate>> expected_accepted;
        if (const auto* c = msg.get_if<QuorumCertificate>()) expected_tip = taken(tip, *c).value_or(tip);
        if (const auto* r = msg.get_if<QcResponse>(); r != nullptr && genuine) {
            const QuorumView* current = view_at(t, t);
            const QuorumView* view = view_at(t, r->qc.slot());
            if ((view != nullptr && view->has_pubkey(r->responder)) ||
                (current != nullptr && current->has_pubkey(r->responder))) {
                const uint64_t s = r->qc.slot();
                if (s >= t) {
                    expected_tip = taken(tip, r->qc).value_or(tip);
                } else if (view != nullptr && certified(r->qc) && t - s < ACCEPTED_WINDOW) {
                    expected_accepted = std::pair{s, r->qc};
                } else if (auto held = m.accepted_qcs.find(s); held != m.accepted_qcs.end()) {
                    expected_accepted = *held;
                }
            }
        }
        drive(i, [&](Machine& mm) { return mm.receive(std::move(msg)); });

        if (park_under) {
            auto set = m.parked.parked().find(*park_under);
            check(set != m.parked.parked().end() &&
                      std::any_of(set->second.begin(), set->second.end(), [&](const ParkedMessage& pm) {
                          const auto* q = pm.msg.get_if<SignedBlockProposalMessage>();
                          return q != nullptr && q->proposal == node.received.back().proposal;
                      }),
                  "a proposal ahead within the window above the tip is parked");
        }
        if (expected_tip) check(m.tip_qc == *expected_tip, "the certificate path takes what it must, and only that");
        if (leader_stays) {
            check(m.vesk_idx == leader_stays->first && m.rotations == leader_stays->second,
                  "a proposal the vote locks forbid moves no leader");
        }
        if (expected_accepted) {
            auto held = m.accepted_qcs.find(expected_accepted->first);
            check(held != m.accepted_qcs.end() && held->second == expected_accepted->second,
                  "a certificate response replaces the accepted certificate of its slot");
        }
    }

    // What the certificate path makes of `c` on a node whose tip is `tip`:
    // the new tip, or none when the tip stays.
    static std::optional<QuorumCertificate> taken(const QuorumCertificate& tip, const QuorumCertificate& c) {
        const uint64_t s = c.slot(), t = tip.slot();
        if (c.id() == tip.id() || view_at(t, s) == nullptr) return std::nullopt;
        if (s < t || (s == t && c.message.leader_view <= tip.message.leader_view)) return std::nullopt;
        if (!certified(c)) return std::nullopt;
        if (s == t + 1 && c.message.parent_qc_id != tip.id()) return std::nullopt;
        if (s > t + 1 && s - t > CERTIFICATE_GAP) return std::nullopt;
        return c;
    }

    void forward(size_t from) {
        std::vector<ConsensusMessageEnvelope> out = std::move(nodes_[from].outbox);
        nodes_[from].outbox.clear();
        for (ConsensusMessageEnvelope& env : out) {
            if (out_of_budget()) return;
            if (auto* b = std::get_if<Broadcast>(&env)) {
                for (size_t t = 0; t < NODES; ++t) {
                    if (t != from) deliver(t, b->message, true);
                }
            } else {
                auto& u = std::get<Unicast>(env);
                if (auto it = pool().index_of.find(u.recipient); it != pool().index_of.end() && it->second < NODES) {
                    deliver(it->second, std::move(u.message), true);
                }
            }
        }
    }

    // The adapter's block production: the leader's own record for tip + 1.
    void produce(Node& node) {
        Machine& m = node.m;
        const uint64_t next = sat_add(m.tip_slot(), uint64_t{1});
        if (!m.am_vesk_for_slot(next)) return;
        node.reported.insert(Key{m.identity.pubkey, next});
        m.prepare_next_block();
    }

    // The block's entries, as the host has them once it executed the block.
    void add_entries(Machine& m, const BlsPubkey& producer, const BlockProposalMessage& h) {
        const Pool& P = pool();
        if (auto it = P.entries.find(h.entries_hash); it != P.entries.end()) {
            for (const EntryMessage& e : it->second) m.entry_container.add(e);
            return;
        }
        if (auto it = P.index_of.find(producer); it != P.index_of.end() && it->second < NODES) {
            if (auto stored = nodes_[it->second].m.entry_container.get(producer, h.slot)) {
                for (const auto& [index, e] : *stored) m.entry_container.add(e);
            }
        }
    }

    SubResult report(Node& node, const BlsPubkey& producer, const BlockProposalMessage& h, const Hash& bank,
                     const CrosschainCommitment& cc, const ProcessedParent& parent) {
        add_entries(node.m, producer, h);
        node.reported.insert(Key{producer, h.slot});
        SubResult r = node.m.queue_processed_block(producer, h, bank, cc, parent);
        const bool refused = std::any_of(r.events.begin(), r.events.end(), [&](const ConsensusLogEvent& e) {
            const auto* c = std::get_if<events::ProcessedBankConflict>(&e);
            return c != nullptr && c->slot == h.slot && c->producer == producer;
        });
        if (!refused) node.processed_on.insert_or_assign(Key{producer, h.slot}, parent);
        return r;
    }

    // The adapter's replay: stored headers that extend the tip are processed.
    SubResult replay(Node& node) {
        Machine& m = node.m;
        const uint64_t tip = m.tip_slot();
        const QuorumMessage tip_msg = m.tip_qc.message;
        std::erase_if(node.replay_store, [&](const auto& kv) { return kv.first.second <= tip; });
        std::vector<Key> due;
        for (const auto& [key, header] : node.replay_store) {
            if (header.slot == sat_add(tip, uint64_t{1}) && header.parent_qc_id == tip_msg.qc_id) due.push_back(key);
        }
        SubResult r;
        for (const Key& key : due) {
            auto entry = node.replay_store.extract(key);
            r += report(node, key.first, entry.mapped(), Hash{}, CrosschainCommitment{},
                        ProcessedParent{tip_msg.bank_hash, tip_msg.vesk_id, tip});
        }
        return r;
    }

    // A report of the host's own choosing, of any proposal the node received.
    void process(size_t i, uint8_t which, uint8_t how) {
        Node& node = nodes_[i];
        if (node.received.empty()) return;
        const SignedBlockProposalMessage p = node.received[which % node.received.size()];
        const QuorumMessage& tip_msg = node.m.tip_qc.message;
        ProcessedParent parent{tip_msg.bank_hash, tip_msg.vesk_id, node.m.tip_slot()};
        Hash bank;
        CrosschainCommitment cc;
        switch (how % 4) {
            case 1:
                if (auto it = pool().certificates.find(p.proposal.parent_qc_id); it != pool().certificates.end()) {
                    const QuorumMessage& q = it->second.message;
                    parent = ProcessedParent{q.bank_hash, q.vesk_id, q.slot};
                } else if (p.proposal.parent_qc_id == Hash{}) {
                    parent = ProcessedParent{Hash{}, BlsPubkey{}, 0};
                }
                break;
            case 2: bank.bytes[0] = 1; break;
            case 3: cc = CrosschainCommitment{Pool::filled_hash(2), 1}; break;
            default: break;
        }
        drive(i, [&](Machine&) { return report(node, p.pubkey, p.proposal, bank, cc, parent); });
    }

    // The host asks a peer for the blocks its catch-up wants.
    void catchup_query(size_t i) {
        Machine& m = nodes_[i].m;
        if (!m.shred_catchup || m.shred_catchup->peer) return;
        push(nodes_[i], Broadcast{ConsensusMessage(Pool::shreds_query(
                            pool().ids[i], sat_add(m.tip_slot(), uint64_t{1}), m.shred_catchup->query_nonce))});
    }

    // A peer's answer to the node's catch-up, echoing what it was asked.
    void catchup_answer(size_t i, uint8_t responder, uint8_t how) {
        const Pool& P = pool();
        Machine& m = nodes_[i].m;
        if (!m.shred_catchup) return;
        const NodeIdentity& r = P.ids[responder % P.ids.size()];
        const ShredCatchup& c = *m.shred_catchup;
        const uint64_t next = sat_add(m.tip_slot(), uint64_t{1});
        switch (how % 3) {
            case 0: {
                std::vector<ShredBlockRef> blocks;
                for (uint64_t k = 0; k <= how / 3 % 3; ++k) blocks.push_back(ShredBlockRef{P.key(0), next + k, 0});
                deliver(i, ShredsAvailableResponse(r.pubkey, next, c.query_nonce, std::move(blocks), r.secret), true);
                break;
            }
            case 1:
                deliver(i,
                        ShredsBehindResponse(r.pubkey, m.identity.pubkey, next, c.query_nonce,
                                             next + d::MIN_BEHIND_LEAD + how / 3 % 3, r.secret),
                        true);
                break;
            default:
                if (const auto* f = std::get_if<ShredCatchup::Fetching>(&c.phase)) {
                    std::optional<uint32_t> more;
                    if (how & 8) more = f->start_index + 1;
                    deliver(i,
                            ShredsFetchResponse(r.pubkey, f->slot, f->producer, f->start_index, more,
                                                testsupport::make_shreds(f->slot, 1, 1 + how / 16 % 3), r.secret),
                            true);
                }
                break;
        }
    }

    // The host asks its peers for state sync and expects the answer.
    void ask_state_sync(size_t i) {
        Machine& m = nodes_[i].m;
        m.state_sync_pending = true;
        push(nodes_[i], Broadcast{ConsensusMessage(Pool::state_sync_request(pool().ids[i], m.tip_slot()))});
    }

    void push(Node& node, ConsensusMessageEnvelope env) {
        node.outbox.push_back(std::move(env));
        if (node.outbox.size() > OUTBOX_LIMIT) node.outbox.erase(node.outbox.begin());
    }

    // A step's result. Its events, in order, show each vote where it is
    // made, with the tip it extends; the messages carry the votes sent and
    // the certificates made.
    void collect(Node& node, SubResult r) {
        const Pool& P = pool();
        const size_t me = P.index_of.at(node.m.identity.pubkey);
        // The tips the step may have had so far: the one it began with, then
        // every certificate it reported valid.
        std::vector<QuorumCertificate> tips{node.tip_before};
        auto had_tip = [&](const Hash& id, uint64_t slot) {
            return std::any_of(tips.begin(), tips.end(),
                               [&](const QuorumCertificate& t) { return t.id() == id && t.slot() == slot; });
        };
        std::map<Hash, QuorumCertificate> locked;  // votes locked in this step: qc id -> parent
        for (const ConsensusLogEvent& e : r.events) {
            if (const auto* v = std::get_if<events::CertificateValid>(&e)) {
                tips.push_back(*v->quorum_certificate);
                node.tips.insert(tips.back().id());
            } else if (std::holds_alternative<events::StateSyncCompleted>(e)) {
                node.synced = true;
            } else if (const auto* rotated = std::get_if<events::LeaderRotated>(&e)) {
                check(rotated->old_leader == node.leader, "a rotation moves on from the leader before it");
                node.leader = rotated->new_leader;
            } else if (const auto* l = std::get_if<events::VoteLockPending>(&e)) {
                const QuorumCertificate& parent = *l->parent_qc;
                check(l->slot == parent.slot() + 1 && had_tip(parent.id(), parent.slot()),
                      "a vote is for the slot after the tip of its moment");
                own_vote(node, me, l->slot, l->leader_view, l->qc_id, parent);
                locked.insert_or_assign(l->qc_id, parent);
            }
        }
        node.tips.insert(node.m.tip_qc.id());
        for (ConsensusMessageEnvelope& env : r.messages) {
            const ConsensusMessage& msg = std::visit([](auto& e) -> const ConsensusMessage& { return e.message; }, env);
            const QuorumMessage* voted = nullptr;
            const auto* v = msg.get_if<SignedQuorumMessage>();
            if (v != nullptr && v->pubkey == node.m.identity.pubkey) {
                voted = &v->message;
                auto lock = locked.find(voted->qc_id);
                check(lock != locked.end() && lock->second.id() == voted->parent_qc_id,
                      "a vote sent was locked first, on the tip it extends");
                // Its block was processed on that tip, as the host reported it.
                const QuorumCertificate& parent = lock->second;
                auto processed = node.processed_on.find(Key{voted->vesk_id, voted->slot});
                check(processed != node.processed_on.end() && processed->second.slot == parent.slot() &&
                          (parent.slot() == 0 || (processed->second.vesk_id == parent.message.vesk_id &&
                                                  processed->second.bank_hash == parent.message.bank_hash)),
                      "a vote is for a block the host processed on the tip it extends");
            }
            // A certificate the node made: it certifies, holds the node's
            // own vote and extends the tip of its moment.
            const auto* c = msg.get_if<QuorumCertificate>();
            if (c != nullptr && std::holds_alternative<Broadcast>(env)) {
                voted = &c->message;
                check(certified(*c), "a certificate the node makes certifies");
                const std::vector<size_t> who = signers(*c);
                check(std::find(who.begin(), who.end(), me) != who.end(), "a leader's certificate holds its own vote");
                auto at = node.votes.find(c->slot());
                check(at != node.votes.end() &&
                          std::any_of(at->second.begin(), at->second.end(),
                                      [&](const Node::Vote& v) { return v.qc_id == c->id(); }),
                      "a leader certifies only what it voted for");
                check(c->slot() > 0 && had_tip(c->message.parent_qc_id, c->slot() - 1),
                      "a certificate made extends the tip of its moment");
            }
            if (voted != nullptr) {
                auto [it, fresh] = node.own_votes.try_emplace({voted->slot, voted->leader_view}, voted->qc_id);
                check(fresh || it->second == voted->qc_id, "a node votes once per slot and leader view");
            }
            wire_.push_back(msg);
            if (wire_.size() > WIRE_LIMIT) wire_.pop_front();
            push(node, std::move(env));
        }
    }

    // Whether the locks that the node's own votes certainly still hold forbid
    // a vote at (slot, leader view) on `tip`, the slot being tip + 1.
    static bool locks_forbid(const Node& node, uint64_t slot, uint64_t leader_view, const QuorumCertificate& tip) {
        if (node.votes.upper_bound(slot) != node.votes.end()) return true;
        if (auto at = node.votes.find(slot); at != node.votes.end() && !at->second.empty()) {
            const Node::Vote& lock = at->second.back();
            if (lock.leader_view >= leader_view) return true;
            if (lock.parent != tip.id() && tip.message.leader_view <= lock.leader_view) return true;
        }
        for (uint64_t below = slot > 2 ? slot - 2 : 0; below < slot; ++below) {
            if (auto it = node.votes.find(below); it != node.votes.end()) {
                for (const Node::Vote& v : it->second) {
                    if (v.leader_view > leader_view) return true;
                }
            }
        }
        return false;
    }

    // One of the node's own votes, checked against the locks its earlier
    // votes hold. A vote is for tip + 1, so the locks at and above its slot
    // and at the two slots below stay in force whatever the tip did since.
    void own_vote(Node& node, size_t me, uint64_t slot, uint64_t leader_view, const Hash& qc_id,
                  const QuorumCertificate& tip) {
        check(node.votes.upper_bound(slot) == node.votes.end(), "no vote below a slot already voted at");
        std::vector<Node::Vote>& at = node.votes[slot];
        for (const Node::Vote& v : at) check(v.leader_view < leader_view, "votes at one slot rise in leader view");
        if (!at.empty()) {
            const Node::Vote& lock = at.back();
            check(lock.parent == tip.id() || tip.message.leader_view > lock.leader_view,
                  "a lower-view lock yields only to the tip it extended or a tip of a higher view");
        }
        for (uint64_t below = slot > 2 ? slot - 2 : 0; below < slot; ++below) {
            if (auto it = node.votes.find(below); it != node.votes.end()) {
                for (const Node::Vote& v : it->second) {
                    check(v.leader_view <= leader_view, "no vote below the leader view of a lock just under it");
                }
            }
        }
        at.push_back({leader_view, qc_id, tip.id()});
        signatures_[{me, slot, leader_view}].insert(qc_id);
    }

    // Agreement across the nodes and steps: a second certified statement
    // for a slot and leader view needs every signer the two quorums share
    // to have signed both.
    void agree(const QuorumCertificate& c) {
        std::vector<QuorumCertificate>& held = held_[{c.slot(), c.message.leader_view}];
        for (const QuorumCertificate& x : held) {
            if (x.id() == c.id()) return;
        }
        const std::vector<size_t> mine = signers(c);
        for (const QuorumCertificate& x : held) {
            for (size_t k : signers(x)) {
                if (std::find(mine.begin(), mine.end(), k) == mine.end()) continue;
                const std::set<Hash>& ids = signatures_[{k, c.slot(), c.message.leader_view}];
                check(ids.contains(c.id()) && ids.contains(x.id()),
                      "at most one certified statement per slot and leader view, unless its signers signed both");
            }
        }
        if (held.size() < 4) held.push_back(c);
    }

    void check_node(Node& node) {
        const Machine& m = node.m;
        const uint64_t tip = m.tip_slot();
        check(tip >= node.last_tip, "the tip slot never moves back");
        node.last_tip = tip;
        check(m.vesk_id() == node.leader, "every change of leader is announced");

        // Certificates: only ones that certify, agreeing across the nodes.
        const bool genesis = m.tip_qc == QuorumCertificate{};
        check(genesis || certified(m.tip_qc), "the tip certificate certifies");
        if (!genesis) {
            auto held = m.accepted_qcs.find(tip);
            check(held != m.accepted_qcs.end() && held->second == m.tip_qc,
                  "the tip is the accepted certificate of its slot");
            agree(m.tip_qc);
        }
        // The previous certificate is an old tip: the one just below the tip
        // after a move, and kept as it was by a state-sync jump. Accepted
        // certificates may differ from it: a certificate response replaces
        // the one of its slot, and a jump records the page's.
        if (m.previous_qc) {
            const QuorumCertificate& prev = *m.previous_qc;
            check(prev.slot() < tip, "the previous certificate lies below the tip");
            check(node.synced || prev.slot() + 1 == tip, "without a state sync the previous certificate is tip - 1");
            check(node.tips.contains(prev.id()), "the previous certificate was once the tip");
            check(prev == QuorumCertificate{} || certified(prev), "the previous certificate certifies");
        }
        for (const auto& [slot, qc] : m.accepted_qcs) {
            check(qc.slot() == slot && slot <= tip && tip - slot < ACCEPTED_WINDOW,
                  "accepted certificates lie in the window up to the tip");
            check(certified(qc), "every accepted certificate certifies");
            agree(qc);
        }

        // Parked messages: in the window above the tip, counted per source,
        // bounded; a state-sync jump slides the window as any tip move does.
        const ParkedMessages& parked = m.parked;
        for (const auto& [event, set] : parked.parked()) {
            check(!set.empty(), "no empty parking event");
            const auto* reached = std::get_if<unpark::ChainStateReached>(&event);
            check(reached == nullptr || tip == 0 || reached->block_height != tip,
                  "what waits for the tip's slot is released when the tip gets there");
            for (const ParkedMessage& pm : set) {
                check(pm.valid_until <= tip + PARK_WINDOW, "parked messages lie in the window above the tip");
                check(tip == 0 || pm.valid_until >= tip, "messages for passed slots are not parked");
            }
        }
        const std::unordered_map<BlsPubkey, size_t> per_source = parked_per_source(m);
        for (const auto& [source, count] : per_source) {
            check(count <= node.parked_cap, "parked messages per source within capacity");
            check(parked.source_size(source) == count, "the per-source count matches what is parked");
        }
        for (const auto& [source, count] : parked.src_size()) {
            check(count == 0 || (source && per_source.contains(*source)), "no count without parked messages");
        }

        // Intake bookkeeping: only for the slots ahead that it may remember.
        auto ahead = [&](uint64_t slot) { return slot > tip && slot - tip < PROPOSAL_HORIZON; };
        for (const auto& [key, hash] : m.seen_announcements) {
            check(ahead(key.slot) && key.entry_index < ENTRIES_PER_SLOT, "seen announcements stay bounded");
        }
        for (const auto& key : m.checked_announcements) {
            check(m.seen_announcements.contains(key), "checked announcements are seen ones");
        }
        for (const auto& [key, first_seen] : m.proposal_first_seen) {
            check(ahead(key.slot), "first-seen times stay bounded");
        }
        check(m.verified_proposals.size() <= node.remembered_cap, "remembered proposals stay bounded");
        for (const auto& [key, state] : m.proposals) {
            check(node.reported.contains(key), "proposal records only for blocks the host reported");
        }

        // Votes waiting and the vote locks: each lock is the node's highest
        // vote at its slot.
        check(m.vote_verifier.queue_len() + m.vote_verifier.ready_len() <= VOTES_PER_TICK,
              "vote queues stay bounded");
        check(m.vote_verifier.verifier.key_cache.size() <= KEY_CACHE,
              "the voter key cache stays bounded");
        for (const auto& [slot, lock] : m.vote_locks) {
            check(slot <= tip + 1 && (tip == 0 || slot + 1 >= tip), "vote locks lie around the tip");
            auto at = node.votes.find(slot);
            check(at != node.votes.end() && at->second.back().qc_id == lock.qc_id &&
                      at->second.back().leader_view == lock.leader_view,
                  "a vote lock holds the node's highest vote at its slot");
        }
        for (const auto& [parent, waiting] : m.pending_replays) {
            check(waiting.first >= tip, "replays wait only on a parent at or above the tip");
            std::set<std::pair<uint64_t, BlsPubkey>> distinct(waiting.second.begin(), waiting.second.end());
            check(distinct.size() == waiting.second.size(), "one waiting replay per slot and producer");
        }

        // Equivocation records: only for the retained slots.
        if (m.equivocation_detector) {
            const uint64_t floor = tip > EQUIVOCATION_RETAINED ? tip - EQUIVOCATION_RETAINED : 0;
            for (const auto& [key, ids] : m.equivocation_detector->seen) {
                check(key.slot >= floor && key.slot <= tip + 1, "reported headers stay in the retained slots");
            }
            for (const EquivocationRecord& r : m.equivocation_detector->records) {
                check(r.slot >= floor && r.slot <= tip + 1, "equivocation records stay in the retained slots");
            }
        }

        // Catch-up.
        if (m.shred_catchup) {
            const ShredCatchup& c = *m.shred_catchup;
            check(c.queue.size() <= CATALOG_BLOCKS, "the catch-up queue stays bounded");
            check(c.target_slot > tip && c.target_slot - tip <= CATCHUP_SPAN,
                  "the catch-up aims ahead, not far");
            check(c.peer.has_value() == std::holds_alternative<ShredCatchup::Fetching>(c.phase),
                  "a catch-up has a peer exactly while fetching");
        }
    }

    SimulatedTimestamper clock_;
    std::vector<Node> nodes_;
    Signatures signatures_ = pool().signatures;
    // Certificates the nodes held, by (slot, leader view): a few per key.
    std::map<std::pair<uint64_t, uint64_t>, std::vector<QuorumCertificate>> held_;
    std::deque<ConsensusMessage> wire_;
    size_t calls_ = 0;
    uint32_t txs_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    (void)pool();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Reader in(data, size);
    const uint8_t persisted_mask = in.byte();
    const uint8_t flags = in.byte();
    Run run(persisted_mask, flags);
    for (size_t k = 0; k < MAX_STEPS && !in.done() && !run.out_of_budget(); ++k) run.step(in);
    return 0;
}
