#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <latch>
#include <mutex>
#include <set>
#include <tuple>

#include "base/bytes.hpp"
#include "base/processors.hpp"
#include "base/text.hpp"
#include "consensus/statemachine/qc_verify.hpp"
#include "consensus/statemachine/statemachine.hpp"
#include "consensus/statemachine/test_support.hpp"
#include "consensus/test_keys.hpp"

namespace vesk {
namespace {

using namespace std::chrono_literals;
using namespace testsupport;

// Well before any simulated clock reading, so proposals stamped "now" never
// run behind a certificate of the chain.
constexpr int64_t CHAIN_TIME_MS = 1'600'000'000'000;

QuorumMessage statement(const std::vector<NodeIdentity>& ids, uint64_t slot, size_t producer, const Hash& parent) {
    QuorumMessage m;
    m.slot = slot;
    m.parent_qc_id = parent;
    m.vesk_id = ids[producer].pubkey;
    m.timestamp = CHAIN_TIME_MS + static_cast<int64_t>(slot);
    m.bank_hash.bytes.fill(static_cast<uint8_t>(slot));
    m.qc_id = QuorumMessage::compute_qc_id(m.slot, m.parent_qc_id, m.leader_view, m.entries_hash, m.vesk_id,
                                           m.timestamp, m.bank_hash, m.recovery, m.crosschain);
    return m;
}

QuorumCertificate certify(const QuorumView& view, const std::vector<NodeIdentity>& ids, const QuorumMessage& m,
                          std::vector<size_t> signers = {0, 1, 2}) {
    std::vector<std::pair<size_t, BlsSignature>> sigs;
    for (size_t i : signers) sigs.emplace_back(i, bls::sign(ids[i].secret, m.signing_bytes()));
    return QuorumCertificate(view.view_id, m, sigs);
}

// Four members of stake 1 over slots 0..999 and a certified chain on them:
// qcs[s] certifies slot s (produced by rotation member 0, leader view 0) and
// extends qcs[s - 1]; qcs[0] is the all-zero tip of a fresh node.
struct Chain {
    QuorumView view;
    std::vector<NodeIdentity> ids;
    std::vector<QuorumCertificate> qcs;
};

const Chain& chain() {
    static const Chain c = [] {
        RotationMembers m = rotation_members(4, 0, 1000);
        Chain out{m.view, m.ids, {QuorumCertificate{}}};
        for (uint64_t s = 1; s <= 300; ++s) {
            out.qcs.push_back(certify(out.view, out.ids, statement(out.ids, s, 0, out.qcs.back().message.qc_id)));
        }
        return out;
    }();
    return c;
}

std::vector<QuorumCertificate> qcs_of(uint64_t first, uint64_t last) {
    return {chain().qcs.begin() + static_cast<std::ptrdiff_t>(first),
            chain().qcs.begin() + static_cast<std::ptrdiff_t>(last) + 1};
}

// A StateSyncRequest has no signing constructor: nothing in the program
// sends one, so tests sign it by hand.
StateSyncRequest sync_request(const NodeIdentity& id, uint64_t from_slot, const BlsSecretKey* signer = nullptr) {
    StateSyncRequest r;
    r.requester = id.pubkey;
    r.from_slot = from_slot;
    auto bytes = ByteWriter(78).tag("STATE_SYNC_REQUEST_DST").bytes(id.pubkey.bytes).u64(from_slot).take();
    r.signature = bls::sign(signer != nullptr ? *signer : id.secret, bytes);
    return r;
}

template <class P>
const P& only_message(const SubResult& r) {
    EXPECT_EQ(r.messages.size(), 1u);
    const ConsensusMessage& m =
        std::visit([](const auto& e) -> const ConsensusMessage& { return e.message; }, r.messages.at(0));
    const P* p = m.template get_if<P>();
    EXPECT_NE(p, nullptr);
    return *p;
}

// Over slots 0..999: the members of chain().
class RecoveryTest : public MachineTest {
protected:
    RecoveryTest() : MachineTest(4, 0, 1000), outsider(testkeys::secret(77)) {}

    ChainStateSnapshot snapshot(uint64_t tip = 0) const {
        ChainStateSnapshot snap = MachineTest::snapshot();
        snap.tip_qc = chain().qcs[tip];
        return snap;
    }
    Machine make(size_t member, ChainStateSnapshot snap) { return MachineTest::make(member, std::move(snap)); }
    Machine make(size_t member, uint64_t tip = 0) { return make(member, snapshot(tip)); }
    // A node at `tip` that holds the certificates of first_held ..= tip.
    Machine serving(size_t member, uint64_t tip, uint64_t first_held = 1) {
        Machine m = make(member, tip);
        for (uint64_t s = first_held; s <= tip; ++s) m.record_accepted_cert(chain().qcs[s]);
        return m;
    }

    StateSyncResponse response(std::vector<QuorumCertificate> qcs, uint64_t to_slot, size_t responder = 1) const {
        return StateSyncResponse(view.keys, to_slot, ids[0].pubkey, false, std::move(qcs), ids[responder].pubkey,
                                 ids[responder].secret);
    }
    // A certificate for `slot` alone, on an unrelated parent.
    QuorumCertificate lone_qc(uint64_t slot, size_t producer = 0) const {
        return certify(view, ids, statement(ids, slot, producer, filled(0x55)));
    }

    // Member 0's proposal for the slot after `parent`, stamped now, and the
    // bank hash its block gives.
    SignedBlockProposalMessage proposal_after(const QuorumCertificate& parent) const {
        BlockProposalMessage p;
        p.slot = parent.message.slot + 1;
        p.parent_qc_id = parent.message.qc_id;
        p.leader_view = parent.message.leader_view;
        p.entries_hash = Block::compute_entries_hash(parent.message.bank_hash, {});
        p.proof_hash = hashv({bank().span()});
        p.vesk_id = ids[0].pubkey;
        p.timestamp = clock.now().unix_millis();
        return SignedBlockProposalMessage{p.sign(ids[0].secret), ids[0].pubkey, p};
    }
    static Hash bank() { return filled(0xAB); }
    // The node adapter's notice that the proposal's block was processed.
    SubResult processed(Machine& m, const SignedBlockProposalMessage& p) const {
        const QuorumMessage& tip = m.tip_qc.message;
        return m.queue_processed_block(p.pubkey, p.proposal, bank(), CrosschainCommitment{},
                                       ProcessedParent{tip.bank_hash, tip.vesk_id, tip.slot});
    }

    // Everything a rejected message must leave alone.
    static auto state(const Machine& m) {
        return std::tuple(m.tip_qc, m.accepted_qcs, m.vesk_idx, m.rotations, m.deferred_state_sync, m.vote_locks,
                          m.parked.slot_floor(), m.current_view.view_id, m.next_view.has_value());
    }

    // The view itself rather than the fixture's optional: these tests read
    // it on every side of a sync.
    const QuorumView& view = *MachineTest::view;
    BlsSecretKey outsider;
};

TEST_F(RecoveryTest, ABehindNodeSyncsFromAPeerAndVotesOnTheNextProposal) {
    // The peer ahead reached slot 40 through the ordinary certificate path.
    Machine ahead = make(1);
    for (uint64_t s = 1; s <= 40; ++s) ahead.receive(ConsensusMessage(chain().qcs[s]));
    ASSERT_EQ(ahead.tip_slot(), 40u);

    // The node behind is still at the fresh tip; the proposal for slot 41
    // arrives early and is parked until the chain reaches slot 40.
    Machine behind = make(2);
    SignedBlockProposalMessage next = proposal_after(chain().qcs[40]);
    SubResult early = behind.receive(ConsensusMessage(next));
    EXPECT_TRUE(std::count(early.events.begin(), early.events.end(),
                           ConsensusLogEvent(events::ParkedUntilEvent{unpark::ChainStateReached{40}, "BlockProposal"})));

    // Serving side: one page from slot 1 up to the tip.
    SubResult served = ahead.receive(ConsensusMessage(sync_request(ids[2], 0)));
    EXPECT_EQ(served.events, (std::vector<ConsensusLogEvent>{events::StateSyncRequested{0, ids[2].pubkey}}));
    ASSERT_EQ(message_texts(served), Texts{format("Unicast({:?}, StateSyncResponse)", ids[2].pubkey)});
    const StateSyncResponse& page = only_message<StateSyncResponse>(served);
    EXPECT_EQ(page.to_slot, 40u);
    EXPECT_EQ(page.qcs, qcs_of(1, 40));
    EXPECT_EQ(page.members, view.keys);
    EXPECT_EQ(page.vesk_id, ahead.vesk_id());
    EXPECT_FALSE(page.has_next_view);
    EXPECT_EQ(page.responder, ids[1].pubkey);
    EXPECT_TRUE(page.verify());

    // Receiving side: verify, record, jump, release the parked proposal.
    behind.state_sync_pending = true;
    SubResult synced = behind.receive(ConsensusMessage(page));
    Texts kinds = event_kinds(synced);
    Texts want{"StateSyncResponseReceived"};
    want.insert(want.end(), 40, "CertificateValid");
    // The released proposal: its block is not processed yet.
    want.insert(want.end(), {"ReceivedProposal", "ProposalUnknownBlock", "ParkedUntilEvent", "StateSyncCompleted"});
    EXPECT_EQ(kinds, want);
    EXPECT_TRUE(synced.messages.empty());
    EXPECT_EQ(synced.events[0], ConsensusLogEvent(events::StateSyncResponseReceived{ids[1].pubkey, 40}));
    EXPECT_EQ(synced.events.back(), ConsensusLogEvent(events::StateSyncCompleted{40}));
    EXPECT_EQ(behind.tip_qc, chain().qcs[40]);
    EXPECT_EQ(behind.accepted_qcs.size(), 40u);
    EXPECT_EQ(behind.vesk_id(), ids[0].pubkey);
    EXPECT_EQ(behind.vesk_idx, 0u);
    EXPECT_EQ(behind.rotations, 0u);
    EXPECT_TRUE(behind.state_sync_pending);  // only an ordinary tip move clears it

    // Once the block is processed, the node votes for it.
    SubResult voted = processed(behind, next);
    EXPECT_EQ(event_kinds(voted), (Texts{"ReceivedProposal", "BlockReplayed", "VoteLockPending", "SignedProposal"}));
    ASSERT_EQ(message_texts(voted), Texts{format("Unicast({:?}, BlockSignature)", ids[0].pubkey)});
    const SignedQuorumMessage& vote = only_message<SignedQuorumMessage>(voted);
    EXPECT_EQ(vote.message.slot, 41u);
    EXPECT_EQ(vote.message.parent_qc_id, chain().qcs[40].message.qc_id);
    EXPECT_TRUE(vote.validate());

    // Certificate recovery between the two: a past certificate is recorded
    // below the tip, which stays.
    behind.accepted_qcs.erase(20);
    SubResult asked = behind.request_qc(20, std::nullopt);
    EXPECT_TRUE(asked.events.empty());
    ASSERT_EQ(message_texts(asked), Texts{"Broadcast(QcRequest)"});
    SubResult answered = ahead.receive(std::get<Broadcast>(asked.messages[0]).message);
    EXPECT_EQ(answered.events, (std::vector<ConsensusLogEvent>{events::QcRequested{ids[2].pubkey, 20}}));
    const QcResponse& qc_response = only_message<QcResponse>(answered);
    EXPECT_EQ(qc_response.qc, chain().qcs[20]);
    EXPECT_EQ(behind.receive(ConsensusMessage(qc_response)).events,
              (std::vector<ConsensusLogEvent>{events::QcResponseReceived{ids[1].pubkey, 20},
                                              events::CertificateValid{chain().qcs[20]}}));
    EXPECT_EQ(behind.accepted_qcs.at(20), chain().qcs[20]);
    EXPECT_EQ(behind.tip_slot(), 40u);
}

TEST_F(RecoveryTest, AJumpBeyondTheParkingWindowMovesTheFloorAndDropsStaleLocks) {
    Machine ahead = serving(1, 120);
    Machine behind = make(2);
    // A lock from long ago, at a leader view above the new tip's.
    behind.vote_locks[3] = VoteLock{filled(9), 9, filled(8)};
    behind.vote_locks[119] = VoteLock{filled(7), 0, filled(6)};

    behind.state_sync_pending = true;
    SubResult synced = behind.receive(only_message<StateSyncResponse>(ahead.receive(sync_request(ids[2], 0))));
    EXPECT_EQ(synced.events.back(), ConsensusLogEvent(events::StateSyncCompleted{120}));
    ASSERT_EQ(behind.tip_slot(), 120u);
    EXPECT_EQ(behind.parked.slot_floor(), 119u);
    // As after an ordinary tip move, locks from the slot below the tip on stay.
    EXPECT_EQ(behind.vote_locks.size(), 1u);
    EXPECT_TRUE(behind.vote_locks.contains(119));

    // The next proposal can be parked until its block is processed, and the
    // old lock no longer withholds the vote.
    SignedBlockProposalMessage next = proposal_after(chain().qcs[120]);
    SubResult early = behind.receive(ConsensusMessage(next));
    EXPECT_EQ(event_kinds(early), (Texts{"ReceivedProposal", "NewProposalTimestamp", "ProposalUnknownBlock",
                                         "ParkedUntilEvent"}));
    SubResult voted = processed(behind, next);
    EXPECT_EQ(event_kinds(voted), (Texts{"ReceivedProposal", "BlockReplayed", "VoteLockPending", "SignedProposal"}));
    EXPECT_EQ(message_texts(voted), Texts{format("Unicast({:?}, BlockSignature)", ids[0].pubkey)});
}

TEST_F(RecoveryTest, RejectedResponsesChangeNothing) {
    auto page = [&] { return qcs_of(1, 40); };
    StateSyncResponse forged = response(page(), 40);
    forged.vesk_id = ids[3].pubkey;  // covered by the signature
    const BlsPubkey outsider_key = bls::pubkey_from_secret(outsider);
    StateSyncResponse from_outsider(view.keys, 40, ids[0].pubkey, false, page(), outsider_key, outsider);
    std::vector<QuorumCertificate> one_bad = page();
    one_bad[17].aggregated_signature = one_bad[16].aggregated_signature;
    std::vector<QuorumCertificate> too_many = qcs_of(1, 257);
    std::vector<QuorumCertificate> repeated{chain().qcs[5], chain().qcs[5], chain().qcs[6]};
    std::vector<QuorumCertificate> viewless{chain().qcs[4], chain().qcs[5]};
    viewless[1].message.slot = 2000;
    const BlsPubkey r1 = ids[1].pubkey;

    struct Case {
        const char* name;
        StateSyncResponse response;
        bool solicited;
        std::vector<ConsensusLogEvent> events;
    };
    std::vector<Case> cases = {
        {"forged", forged, true, {events::StateSyncResponseReceived{r1, 40}, events::StateSyncResponseAuthInvalid{r1}}},
        {"responder outside the view",
         from_outsider,
         true,
         {events::StateSyncResponseReceived{outsider_key, 40}, events::StateSyncResponseAuthInvalid{outsider_key}}},
        {"unsolicited", response(page(), 40), false, {events::StateSyncResponseUnsolicited{r1, 40}}},
        {"one bad certificate",
         response(one_bad, 40),
         true,
         {events::StateSyncResponseReceived{r1, 40}, events::StateSyncRejectedInvalidSignature{r1}}},
        {"more than a page",
         response(too_many, 257),
         true,
         {events::StateSyncResponseReceived{r1, 257}, events::StateSyncRejectedInvalidSignature{r1}}},
        {"no certificates",
         response({}, 40),
         true,
         {events::StateSyncResponseReceived{r1, 40}, events::StateSyncRejectedInvalidSignature{r1}}},
        {"slots not strictly increasing",
         response(repeated, 6),
         true,
         {events::StateSyncResponseReceived{r1, 6}, events::StateSyncRejectedInvalidSignature{r1}}},
        {"certificate without a view",
         response(viewless, 5),
         true,
         {events::StateSyncResponseReceived{r1, 5}, events::QuorumUnknown{2000, "StateSyncResponse_qc"}}},
        {"to_slot without a view", response(page(), 5000), true, {events::StateSyncResponseUnknownQuorum{r1, 5000}}},
        {"last certificate below to_slot", response(page(), 41), true, {events::StateSyncResponseReceived{r1, 41}}},
        {"nothing above the tip", response(qcs_of(1, 3), 3), true, {events::StateSyncResponseReceived{r1, 3}}},
    };
    for (const Case& c : cases) {
        Machine m = make(2, 3);
        m.state_sync_pending = c.solicited;
        auto before = state(m);
        SubResult r = m.receive(ConsensusMessage(c.response));
        EXPECT_EQ(r.events, c.events) << c.name;
        EXPECT_TRUE(r.messages.empty()) << c.name;
        EXPECT_TRUE(state(m) == before) << c.name;
    }
}

TEST_F(RecoveryTest, NoViewAfterThePageDefersTheResponse) {
    Machine m = make(2);
    m.state_sync_pending = true;
    auto before = state(m);
    StateSyncResponse last_slot = response({lone_qc(999)}, 999);
    EXPECT_EQ(m.receive(ConsensusMessage(last_slot)).events,
              (std::vector<ConsensusLogEvent>{events::StateSyncResponseReceived{ids[1].pubkey, 999},
                                              events::StateSyncResponseUnknownQuorum{ids[1].pubkey, 1000}}));
    EXPECT_EQ(m.deferred_state_sync, last_slot);
    m.deferred_state_sync.reset();
    EXPECT_TRUE(state(m) == before);

    // One response is kept: the one reaching furthest, the first on a tie.
    StateSyncResponse first = response({}, 120, 1);
    m.defer_state_sync_response(first);
    m.defer_state_sync_response(response({}, 120, 3));
    EXPECT_EQ(m.deferred_state_sync, first);
    m.defer_state_sync_response(response({}, 110, 3));
    EXPECT_EQ(m.deferred_state_sync, first);
    StateSyncResponse further = response({}, 150, 3);
    m.defer_state_sync_response(further);
    EXPECT_EQ(m.deferred_state_sync, further);
}

TEST_F(RecoveryTest, TheNextLeaderComesFromTheEpochOrTheLastProducer) {
    // At an epoch boundary: the next view's first member, index 0.
    RotationMembers epoch = rotation_members(4, 1000, 2000);
    ChainStateSnapshot snap = snapshot();
    snap.next_view = epoch.view;
    Machine boundary = make(2, snap);
    boundary.vesk_idx = 2;
    boundary.state_sync_pending = true;
    SubResult r = boundary.receive(ConsensusMessage(response({lone_qc(999)}, 999)));
    EXPECT_EQ(event_kinds(r), (Texts{"StateSyncResponseReceived", "CertificateValid", "LeaderRotated",
                                     "StateSyncCompleted"}));
    EXPECT_EQ(r.events[2], ConsensusLogEvent(events::LeaderRotated{ids[2].pubkey, epoch.view.keys[0], 1000,
                                                                   "state sync quorum start"}));
    EXPECT_EQ(boundary.vesk_idx, 0u);
    // The new tip is still below the next view's first slot.
    ASSERT_TRUE(boundary.next_view.has_value());
    EXPECT_EQ(boundary.next_view->view_id, epoch.view.view_id);
    EXPECT_EQ(boundary.current_view.view_id, view.view_id);
    // The slots before 999 were not in the page: the first is asked for.
    ASSERT_EQ(message_texts(r), Texts{"Broadcast(QcRequest)"});
    EXPECT_EQ(only_message<QcRequest>(r).slot, 1u);

    // Inside an epoch: the producer of the last certificate.
    Machine inside = make(2);
    inside.state_sync_pending = true;
    std::vector<QuorumCertificate> page = qcs_of(1, 9);
    page.push_back(certify(view, ids, statement(ids, 10, 3, chain().qcs[9].message.qc_id)));
    r = inside.receive(ConsensusMessage(response(page, 10)));
    EXPECT_EQ(r.events.at(11), ConsensusLogEvent(events::LeaderRotated{ids[0].pubkey, ids[3].pubkey, 11,
                                                                       "state sync QC producer"}));
    EXPECT_EQ(inside.vesk_idx, 3u);
    EXPECT_TRUE(r.messages.empty());

    // A producer outside the view leaves no leader: the response is dropped.
    Machine unknown = make(2);
    unknown.state_sync_pending = true;
    auto before = state(unknown);
    QuorumMessage by_outsider = statement(ids, 10, 0, filled(0x55));
    by_outsider.vesk_id = bls::pubkey_from_secret(outsider);
    r = unknown.receive(ConsensusMessage(response({certify(view, ids, by_outsider)}, 10)));
    EXPECT_EQ(r.events, (std::vector<ConsensusLogEvent>{events::StateSyncResponseReceived{ids[1].pubkey, 10},
                                                        events::StateSyncResponseUnknownQuorum{ids[1].pubkey, 11}}));
    EXPECT_TRUE(state(unknown) == before);
}

TEST_F(RecoveryTest, ServingStateSync) {
    // Recorded 1 ..= 300: the last 256 slots, 45 ..= 300, are held.
    Machine ahead = serving(1, 300);
    ASSERT_EQ(ahead.accepted_qcs.begin()->first, 45u);
    EXPECT_TRUE(ahead.contiguous_qc_page(5, 4).empty());
    EXPECT_EQ(ahead.contiguous_qc_page(45, 1000), qcs_of(45, 300));
    EXPECT_EQ(ahead.contiguous_qc_page(100, 120), qcs_of(100, 120));

    struct Case {
        uint64_t from_slot;
        std::optional<std::pair<uint64_t, uint64_t>> served;  // first and last slot of the page
    };
    for (const Case& c : {Case{300, std::nullopt}, Case{400, std::nullopt}, Case{100, std::pair{101, 300}},
                          Case{299, std::pair{300, 300}}, Case{10, std::pair{45, 300}}, Case{0, std::pair{45, 300}}}) {
        SubResult r = ahead.receive(ConsensusMessage(sync_request(ids[3], c.from_slot)));
        EXPECT_EQ(r.events, (std::vector<ConsensusLogEvent>{events::StateSyncRequested{c.from_slot, ids[3].pubkey}}))
            << c.from_slot;
        if (!c.served) {
            EXPECT_TRUE(r.messages.empty()) << c.from_slot;
            continue;
        }
        const StateSyncResponse& page = only_message<StateSyncResponse>(r);
        EXPECT_EQ(page.qcs, qcs_of(c.served->first, c.served->second)) << c.from_slot;
        EXPECT_EQ(page.to_slot, c.served->second) << c.from_slot;
    }

    // A hole in what is held ends the page before it.
    ahead.accepted_qcs.erase(50);
    EXPECT_EQ(ahead.contiguous_qc_page(45, 300), qcs_of(45, 49));
    EXPECT_EQ(only_message<StateSyncResponse>(ahead.receive(ConsensusMessage(sync_request(ids[3], 44)))).qcs,
              qcs_of(45, 49));
    // Nothing held above the requester's slot.
    Machine bare = make(1, 7);
    bare.accepted_qcs.clear();
    EXPECT_TRUE(bare.receive(ConsensusMessage(sync_request(ids[3], 2))).messages.empty());

    // Strangers and forgeries get nothing.
    NodeIdentity stranger{outsider};
    for (const StateSyncRequest& bad : {sync_request(stranger, 0), sync_request(ids[3], 0, &ids[2].secret)}) {
        auto before = state(ahead);
        SubResult r = ahead.receive(ConsensusMessage(bad));
        EXPECT_EQ(r.events, std::vector<ConsensusLogEvent>{events::StateSyncRequestAuthInvalid{bad.requester}});
        EXPECT_TRUE(r.messages.empty());
        EXPECT_TRUE(state(ahead) == before);
    }
}

TEST_F(RecoveryTest, APageThatSkipsSlotsCompletesAndAsksForTheFirstMissing) {
    Machine ahead = serving(1, 12, 8);
    ahead.accepted_qcs.erase(ahead.accepted_qcs.begin(), ahead.accepted_qcs.lower_bound(8));
    Machine behind = make(2, 3);
    SubResult served = ahead.receive(ConsensusMessage(sync_request(ids[2], 3)));
    const StateSyncResponse& page = only_message<StateSyncResponse>(served);
    EXPECT_EQ(page.qcs, qcs_of(8, 12));
    EXPECT_EQ(page.to_slot, 12u);

    behind.state_sync_pending = true;
    SubResult synced = behind.receive(ConsensusMessage(page));
    EXPECT_EQ(synced.events.back(), ConsensusLogEvent(events::StateSyncCompleted{12}));
    EXPECT_EQ(behind.tip_slot(), 12u);
    ASSERT_EQ(message_texts(synced), Texts{"Broadcast(QcRequest)"});
    const QcRequest& ask = only_message<QcRequest>(synced);
    EXPECT_EQ(ask.slot, 4u);
    EXPECT_EQ(ask.qc_id, std::nullopt);
    EXPECT_EQ(ask.requester, ids[2].pubkey);
    EXPECT_TRUE(ask.verify());
    // The peer no longer holds it either.
    EXPECT_EQ(ahead.receive(ConsensusMessage(ask)).events,
              (std::vector<ConsensusLogEvent>{events::QcRequested{ids[2].pubkey, 4},
                                              events::QcRequestMissing{ids[2].pubkey, 4}}));
}

TEST_F(RecoveryTest, ServingCertificateRequests) {
    Machine ahead = serving(1, 40);
    const BlsPubkey requester = ids[3].pubkey;
    auto request = [&](uint64_t slot, std::optional<Hash> id) {
        return QcRequest(requester, slot, id, ids[3].secret);
    };
    auto served = [&](const QcRequest& q) -> std::optional<QuorumCertificate> {
        SubResult r = ahead.receive(ConsensusMessage(q));
        EXPECT_EQ(r.events.at(0), ConsensusLogEvent(events::QcRequested{requester, q.slot}));
        if (r.messages.empty()) {
            EXPECT_EQ(r.events, (std::vector<ConsensusLogEvent>{events::QcRequested{requester, q.slot},
                                                                events::QcRequestMissing{requester, q.slot}}));
            return std::nullopt;
        }
        EXPECT_EQ(r.events.size(), 1u);
        EXPECT_EQ(message_texts(r), Texts{format("Unicast({:?}, QcResponse)", requester)});
        const QcResponse& answer = only_message<QcResponse>(r);
        EXPECT_EQ(answer.responder, ids[1].pubkey);
        EXPECT_TRUE(answer.verify());
        return answer.qc;
    };
    const QuorumCertificate& qc20 = chain().qcs[20];
    EXPECT_EQ(served(request(20, std::nullopt)), qc20);
    EXPECT_EQ(served(request(20, qc20.message.qc_id)), qc20);
    EXPECT_EQ(served(request(20, filled(1))), std::nullopt);
    EXPECT_EQ(served(request(60, std::nullopt)), std::nullopt);

    // Hooks reach beyond what is held, and are held to their contracts.
    const QuorumCertificate& qc8 = chain().qcs[8];
    const QuorumCertificate& qc9 = chain().qcs[9];
    for (uint64_t s : {7, 8, 9}) ahead.accepted_qcs.erase(s);
    ahead.qc_lookup = std::make_shared<QcLookup>([&](uint64_t slot) -> std::optional<QuorumCertificate> {
        if (slot == 7) return qc8;  // the wrong slot
        if (slot == 8) return qc8;
        return std::nullopt;
    });
    EXPECT_EQ(served(request(7, std::nullopt)), std::nullopt);
    EXPECT_EQ(served(request(8, std::nullopt)), qc8);
    EXPECT_EQ(served(request(8, qc8.message.qc_id)), qc8);
    EXPECT_EQ(served(request(8, filled(1))), std::nullopt);
    ahead.qc_by_id_lookup = std::make_shared<QcByIdLookup>(
        [&](uint64_t slot, const Hash& id) -> std::optional<QuorumCertificate> {
            if (slot == 9 && id == qc9.message.qc_id) return qc9;
            if (slot == 10) return qc9;  // the wrong slot
            return std::nullopt;
        });
    EXPECT_EQ(served(request(9, qc9.message.qc_id)), qc9);
    EXPECT_EQ(served(request(10, qc9.message.qc_id)), std::nullopt);
    EXPECT_EQ(served(request(9, std::nullopt)), std::nullopt);  // by slot only the slot hook is asked
    EXPECT_EQ(ahead.contiguous_qc_page(7, 9), std::vector<QuorumCertificate>{});
    EXPECT_EQ(ahead.contiguous_qc_page(8, 9), std::vector<QuorumCertificate>{qc8});

    // Strangers and forgeries.
    const BlsPubkey outsider_key = bls::pubkey_from_secret(outsider);
    QcRequest forged = request(20, std::nullopt);
    forged.slot = 21;
    for (const QcRequest& bad : {QcRequest(outsider_key, 20, std::nullopt, outsider), forged}) {
        auto before = state(ahead);
        SubResult r = ahead.receive(ConsensusMessage(bad));
        EXPECT_EQ(r.events, std::vector<ConsensusLogEvent>{events::QcRequestAuthInvalid{bad.requester}});
        EXPECT_TRUE(r.messages.empty());
        EXPECT_TRUE(state(ahead) == before);
    }
}

TEST_F(RecoveryTest, CertificateResponses) {
    const BlsPubkey r1 = ids[1].pubkey;
    auto answer = [&](const QuorumCertificate& qc, size_t responder = 1) {
        return ConsensusMessage(QcResponse(ids[responder].pubkey, qc, ids[responder].secret));
    };
    QuorumCertificate bad10 = chain().qcs[10];
    bad10.aggregated_signature = chain().qcs[11].aggregated_signature;
    QuorumCertificate bad21 = chain().qcs[21];
    bad21.aggregated_signature = chain().qcs[11].aggregated_signature;

    // Below the tip: recorded, the tip stays.
    Machine m = make(2, 20);
    EXPECT_EQ(m.receive(answer(chain().qcs[10])).events,
              (std::vector<ConsensusLogEvent>{events::QcResponseReceived{r1, 10},
                                              events::CertificateValid{chain().qcs[10]}}));
    EXPECT_EQ(m.accepted_qcs.at(10), chain().qcs[10]);
    EXPECT_EQ(m.tip_slot(), 20u);
    auto before = state(m);
    EXPECT_EQ(m.receive(answer(bad10)).events,
              (std::vector<ConsensusLogEvent>{events::QcResponseReceived{r1, 10}, events::QcResponseQcInvalid{r1, 10}}));
    EXPECT_TRUE(state(m) == before);

    // At or above the tip: the certificate path.
    EXPECT_EQ(m.receive(answer(bad21)).events,
              (std::vector<ConsensusLogEvent>{events::QcResponseReceived{r1, 21}, events::CertificateInvalid{21},
                                              events::QcResponseQcInvalid{r1, 21}}));
    EXPECT_TRUE(state(m) == before);
    EXPECT_EQ(m.receive(answer(chain().qcs[20])).events,
              (std::vector<ConsensusLogEvent>{events::QcResponseReceived{r1, 20}, events::CertificateAlreadyKnown{20}}));
    SubResult moved = m.receive(answer(chain().qcs[21]));
    EXPECT_EQ(event_kinds(moved), (Texts{"QcResponseReceived", "CertificateValid"}));
    EXPECT_EQ(m.tip_qc, chain().qcs[21]);

    // Strangers and forgeries.
    const BlsPubkey outsider_key = bls::pubkey_from_secret(outsider);
    QcResponse forged(r1, chain().qcs[5], ids[1].secret);
    forged.qc = chain().qcs[6];
    before = state(m);
    for (const QcResponse& bad : {QcResponse(outsider_key, chain().qcs[5], outsider), forged}) {
        SubResult r = m.receive(ConsensusMessage(bad));
        EXPECT_EQ(r.events, std::vector<ConsensusLogEvent>{events::QcResponseAuthInvalid{bad.responder}});
        EXPECT_TRUE(state(m) == before);
    }
}

TEST_F(RecoveryTest, APastCertificateWithoutAViewAsksTheViewHook) {
    // This node's view starts at slot 10; the certificate of slot 5 was made
    // under the view before it.
    RotationMembers later = rotation_members(4, 10, 1000);
    ChainStateSnapshot snap{std::nullopt, certify(later.view, ids, statement(ids, 20, 0, filled(0x55))), std::nullopt,
                            later.view, false};
    Machine m = make(2, snap);
    ConsensusMessage qc5(QcResponse(ids[1].pubkey, chain().qcs[5], ids[1].secret));
    EXPECT_EQ(m.receive(qc5).events,
              (std::vector<ConsensusLogEvent>{events::QcResponseReceived{ids[1].pubkey, 5},
                                              events::QcResponseQcInvalid{ids[1].pubkey, 5}}));
    // A hook answer that does not cover the slot counts as none.
    m.view_lookup = std::make_shared<ViewLookup>([&](uint64_t) { return std::optional<QuorumView>(later.view); });
    EXPECT_EQ(event_kinds(m.receive(qc5)), (Texts{"QcResponseReceived", "QcResponseQcInvalid"}));
    m.view_lookup = std::make_shared<ViewLookup>([&](uint64_t) { return std::optional<QuorumView>(view); });
    EXPECT_EQ(event_kinds(m.receive(qc5)), (Texts{"QcResponseReceived", "CertificateValid"}));
    EXPECT_EQ(m.accepted_qcs.at(5), chain().qcs[5]);
    EXPECT_EQ(m.tip_slot(), 20u);
}

TEST_F(RecoveryTest, AJumpAndAnOrdinaryMoveDifferOnlyInWhatTheJumpLeavesAlone) {
    // Two nodes alike at tip 5 with a persisted tip, a state sync pending,
    // three rotations, and per-slot state on both sides of the new tip.
    ChainStateSnapshot snap = snapshot(5);
    snap.tip_persisted = true;
    auto node = [&] {
        Machine m = make(2, snap);
        m.state_sync_pending = true;
        m.vesk_idx = 3;
        m.rotations = 3;
        for (uint8_t s : {3, 5, 8}) m.vote_locks[s] = VoteLock{filled(s), 0, filled(0)};
        for (uint8_t s : {6, 7}) {
            m.proposals[{ids[1].pubkey, s}].local_bank_hash = bank();
            m.seen_announcements[ProducerSlotEntry{ids[1].pubkey, s, 0}] = filled(s);
            m.entry_container.add(EntryMessage{{{s}}, s, 0, ids[1].pubkey, false});
        }
        auto ping = [&](uint64_t nonce) { return ConsensusMessage(Ping(ids[0].pubkey, nonce, ids[0].secret)); };
        m.parked.park(ping(1), 9, unpark::ChainStateReached{6});
        m.parked.park(ping(2), 5, unpark::ChainStateReached{8});
        m.parked.park(ping(3), 9, unpark::ChainStateReached{8});
        m.shred_catchup = ShredCatchup{};
        m.shred_catchup->target_slot = 6;
        return m;
    };
    auto state_of = [](const Machine& m, const BlsPubkey& producer) {
        std::vector<Machine::ProposalKey> proposals;
        for (const auto& [key, st] : m.proposals) proposals.push_back(key);
        return std::tuple(m.tip_qc, m.accepted_qcs, m.vesk_idx, m.rotations, m.liveness.last_progress_at(),
                          m.vote_locks, proposals, m.seen_announcements, m.entry_container.get(producer, 6).has_value(),
                          m.entry_container.get(producer, 7).has_value(), m.parked.slot_floor(), m.parked.src_size(),
                          m.shred_catchup.has_value(), m.current_view.view_id, m.next_view.has_value());
    };

    Machine moved = node();
    moved.receive(ConsensusMessage(chain().qcs[6]));
    Machine jumped = node();
    jumped.receive(ConsensusMessage(response(qcs_of(6, 6), 6)));
    ASSERT_EQ(moved.tip_qc, chain().qcs[6]);
    EXPECT_EQ(state_of(jumped, ids[1].pubkey), state_of(moved, ids[1].pubkey));
    EXPECT_EQ(moved.rotations, 0u);
    EXPECT_EQ(moved.vote_locks.size(), 2u);
    EXPECT_EQ(moved.parked.src_size().at(ids[0].pubkey), 1u);

    // The three the jump leaves alone.
    EXPECT_FALSE(moved.tip_persisted);
    EXPECT_TRUE(jumped.tip_persisted);
    EXPECT_FALSE(moved.state_sync_pending);
    EXPECT_TRUE(jumped.state_sync_pending);
    EXPECT_EQ(moved.previous_qc, chain().qcs[5]);
    EXPECT_EQ(jumped.previous_qc, std::nullopt);
}

TEST(QcVerifyPool, TheParallelCheckAgreesWithCheckingEachInTurn) {
    const Chain& c = chain();
    std::vector<QuorumCertificate> page = qcs_of(1, 256);
    RotationMembers other = rotation_members(4, 0, 999);
    auto one_by_one = [](const std::vector<QcCheck>& checks) {
        return std::all_of(checks.begin(), checks.end(), [](const QcCheck& k) { return k.qc->verify(*k.view); });
    };
    auto checks_of = [&](const std::vector<QuorumCertificate>& qcs, const QuorumView& v) {
        std::vector<QcCheck> out;
        for (const auto& qc : qcs) out.push_back(QcCheck{&qc, &v});
        return out;
    };
    struct Variant {
        const char* name;
        std::vector<size_t> bad;  // positions given a wrong signature
    };
    ThreadPool three(3, "qcTest");
    ThreadPool one(1, "qcTest");
    for (const Variant& v : {Variant{"all valid", {}}, Variant{"first bad", {0}}, Variant{"middle bad", {100}},
                             Variant{"last bad", {255}}, Variant{"two bad", {3, 200}}}) {
        std::vector<QuorumCertificate> qcs = page;
        for (size_t i : v.bad) qcs[i].aggregated_signature = qcs[(i + 1) % qcs.size()].aggregated_signature;
        std::vector<QcCheck> checks = checks_of(qcs, c.view);
        bool expected = one_by_one(checks);
        EXPECT_EQ(expected, v.bad.empty()) << v.name;
        EXPECT_EQ(verify_qcs_in_parallel(checks), expected) << v.name;
        EXPECT_EQ(verify_qcs_in_parallel(three, checks), expected) << v.name;
        EXPECT_EQ(verify_qcs_in_parallel(one, checks), expected) << v.name;
    }
    // Short pages, and a view other than the certificates'.
    std::vector<QuorumCertificate> two = qcs_of(1, 2);
    EXPECT_TRUE(verify_qcs_in_parallel(checks_of(two, c.view)));
    EXPECT_FALSE(verify_qcs_in_parallel(checks_of(two, other.view)));
    std::vector<QcCheck> mixed = checks_of(two, c.view);
    mixed[1].view = &other.view;
    EXPECT_EQ(verify_qcs_in_parallel(mixed), one_by_one(mixed));
    EXPECT_TRUE(verify_qcs_in_parallel(std::vector<QcCheck>{}));
}

TEST(QcVerifyPool, OneNamedThreadPerUsableProcessor) {
    ThreadPool& pool = qc_verify_pool();
    EXPECT_EQ(&pool, &qc_verify_pool());
    const size_t n = pool.thread_count();
    EXPECT_EQ(n, usable_processor_count());
    std::set<std::string> want;
    for (size_t i = 0; i < n; ++i) want.insert(worker_thread_name("veskQcVerify", i));
    EXPECT_TRUE(want.contains("veskQcVerify00"));

    // Every part holds its thread until all have started: one per thread.
    std::latch all_started(static_cast<std::ptrdiff_t>(n));
    std::mutex mutex;
    std::set<std::string> seen;
    pool.run_parts(n, [&](size_t) {
        all_started.arrive_and_wait();
        char name[16] = {};
        pthread_getname_np(pthread_self(), name, sizeof name);
        std::lock_guard lock(mutex);
        seen.insert(name);
    });
    EXPECT_EQ(seen, want);
}

}  // namespace
}  // namespace vesk
