#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <memory>

#include "base/text.hpp"
#include "consensus/signature_work.hpp"
#include "consensus/statemachine/statemachine.hpp"
#include "consensus/statemachine/test_clock.hpp"
#include "consensus/statemachine/test_support.hpp"
#include "consensus/test_keys.hpp"

namespace vesk {
namespace {

using namespace std::chrono_literals;
using namespace testsupport;

constexpr int64_t I64_MAX = std::numeric_limits<int64_t>::max();
constexpr int64_t I64_MIN = std::numeric_limits<int64_t>::min();

Texts concat(Texts a, const Texts& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Over slots 0..999. Member 0 leads; the follower under test is member 1
// unless a test says otherwise.
class IntakeTest : public MachineTest {
protected:
    IntakeTest() : MachineTest(4, 0, 1000) {}

    ChainStateSnapshot snapshot(uint64_t tip_slot = 0, int64_t tip_timestamp = 0) const {
        ChainStateSnapshot snap = MachineTest::snapshot();
        snap.tip_qc.message.slot = tip_slot;
        snap.tip_qc.message.timestamp = tip_timestamp;
        return snap;
    }
    Machine make(size_t member, ChainStateSnapshot snap, std::optional<EquivocationDetector> detector = std::nullopt) {
        NodeConfig with_detector = config;
        with_detector.equivocation_detector = std::move(detector);
        return MachineTest::make(ids[member], std::move(snap), 0, std::move(with_detector));
    }
    Machine make(size_t member = 1) { return make(member, snapshot()); }

    int64_t now_ms() const { return clock.now().unix_millis(); }

    // The certificate for slot 1 on `m`'s fresh tip, led by member 0 and
    // signed by members 0 to 2.
    QuorumCertificate slot_one_certificate(const Machine& m, std::optional<Hash> bank_hash = std::nullopt) const {
        QuorumMessage q;
        q.slot = 1;
        q.parent_qc_id = m.tip_qc.message.qc_id;
        q.vesk_id = ids[0].pubkey;
        q.timestamp = now_ms();
        if (bank_hash) q.bank_hash = *bank_hash;
        q.qc_id = QuorumMessage::compute_qc_id(q.slot, q.parent_qc_id, q.leader_view, q.entries_hash, q.vesk_id,
                                               q.timestamp, q.bank_hash, q.recovery, q.crosschain);
        std::vector<std::pair<size_t, BlsSignature>> sigs;
        for (size_t i = 0; i < 3; ++i) sigs.emplace_back(i, bls::sign(ids[i].secret, q.signing_bytes()));
        return QuorumCertificate(view->view_id, q, sigs);
    }

    // The header `producer` would propose for `slot` on the fresh tip, stamped now.
    BlockProposalMessage header(uint64_t slot, size_t producer = 0) const {
        BlockProposalMessage p;
        p.slot = slot;
        p.vesk_id = ids[producer].pubkey;
        p.entries_hash = filled(3);
        p.entry_count = 2;
        p.proof_hash = filled(4);
        p.timestamp = now_ms();
        return p;
    }
    ConsensusMessage signed_by(const BlockProposalMessage& p, size_t signer) const {
        return SignedBlockProposalMessage{p.sign(ids[signer].secret), ids[signer].pubkey, p};
    }
    ConsensusMessage proposed(const BlockProposalMessage& p, size_t producer = 0) const {
        return signed_by(p, producer);
    }
    SignedEntryAnnouncement announce(uint64_t slot, uint64_t entry_id, const Hash& hash, size_t producer = 0) const {
        return announce_signed(slot, entry_id, hash, producer, producer);
    }
    SignedEntryAnnouncement announce_signed(uint64_t slot, uint64_t entry_id, const Hash& hash, size_t producer,
                                            size_t signer) const {
        return SignedEntryAnnouncement(EntryAnnouncement{hash, ids[producer].pubkey, slot, entry_id},
                                       ids[signer].secret);
    }
    void mark_processed(Machine& m, uint64_t slot, size_t producer = 0) const {
        m.proposals[{ids[producer].pubkey, slot}].local_bank_hash = filled(7);
    }

    std::string key(size_t member) const { return to_debug(ids[member].pubkey); }
    std::string received(uint64_t slot, size_t producer = 0) const {
        return format("ReceivedProposal {{ slot: {}, producer: {} }}", slot, key(producer));
    }
    std::string first_seen(uint64_t slot, int64_t timestamp, size_t producer = 0) const {
        return format("NewProposalTimestamp {{ slot: {}, producer: {}, timestamp: {} }}", slot, key(producer),
                      timestamp);
    }
    std::string unknown_block(uint64_t slot, size_t producer = 0) const {
        return format("ProposalUnknownBlock {{ slot: {}, producer: {} }}", slot, key(producer));
    }
    static std::string parked_under(const std::string& event) {
        return format("ParkedUntilEvent {{ event: {}, msg_kind: \"BlockProposal\" }}", event);
    }
    std::string parked_until_processed(uint64_t slot, size_t producer = 0) const {
        return parked_under(format("BlockProcessed {{ producer: {}, block_height: {} }}", key(producer), slot));
    }
    static std::string parked_until_chain(uint64_t height) {
        return parked_under(format("ChainStateReached {{ block_height: {} }}", height));
    }
    std::string rotated(size_t from, size_t to, uint64_t slot, const char* reason) const {
        return format("LeaderRotated {{ old_leader: {}, new_leader: {}, from_slot: {}, reason: \"fault: {}\" }}",
                      key(from), key(to), slot, reason);
    }
};

TEST_F(IntakeTest, FollowerDispatchOfOtherKinds) {
    Machine m = make();
    QuorumMessage qm;
    qm.slot = 1;
    SignedQuorumMessage vote{bls::sign(ids[2].secret, qm.signing_bytes()), ids[2].pubkey, qm};
    StateSyncResponse ssr({}, 3, ids[2].pubkey, false, {}, ids[2].pubkey, ids[2].secret);

    EXPECT_TRUE(m.receive(Pong(ids[1].pubkey, ids[2].pubkey, 1, ids[2].secret)).empty());
    EXPECT_EQ(event_texts(m.receive(vote)), Texts{"IgnoredSignatureAsBase"});
    EXPECT_EQ(event_texts(m.receive(ssr)),
              Texts{format("StateSyncResponseUnsolicited {{ responder: {}, slot: 3 }}", key(2))});
    SubResult pong = m.receive(Ping(ids[2].pubkey, 5, ids[2].secret));
    ASSERT_EQ(pong.messages.size(), 1u);
    EXPECT_TRUE(std::get<Unicast>(pong.messages[0]).message.get_if<Pong>() != nullptr);
}

TEST_F(IntakeTest, NextSlotProposalWaitsForItsBlock) {
    Machine m = make();
    m.warmup_until_slot = 0;  // the tight 400 ms allowance
    BlockProposalMessage p = header(1);
    SubResult r = m.receive(proposed(p));
    EXPECT_TRUE(r.messages.empty());
    EXPECT_EQ(event_texts(r), (Texts{received(1), first_seen(1, p.timestamp), unknown_block(1),
                                     parked_until_processed(1)}));
    EXPECT_FALSE(m.proposals.contains({ids[0].pubkey, 1}));
    UnparkEvent processed = unpark::BlockProcessed{ids[0].pubkey, 1};
    ASSERT_TRUE(m.parked.parked().contains(processed));
    EXPECT_EQ(m.parked.parked().at(processed).size(), 1u);

    // Processed a second later: the skew is measured from the first arrival,
    // and the first-seen time is not reported again.
    clock.advance(1s);
    mark_processed(m, 1);
    r = m.process_parked_messages(processed);
    EXPECT_EQ(event_texts(r), Texts{received(1)});
    EXPECT_EQ((m.proposals[{ids[0].pubkey, 1}].proposal), p);
    EXPECT_FALSE(m.parked.parked().contains(processed));
}

TEST_F(IntakeTest, EarlyProposalsAreParked) {
    struct Case {
        uint64_t slot;
        Texts after_first_seen;
        bool first_seen_recorded;
    };
    // The parking window ends 50 slots above the tip; catch-up aims at most
    // 201 slots above it.
    std::vector<Case> cases = {
        {2, {parked_until_chain(1)}, true},
        {11, {parked_until_chain(10)}, true},
        {12,
         {parked_until_chain(11), format("ProposalAheadOfTip {{ slot: 12, producer: {} }}", key(0)),
          "ProposalDiscontiguous { slot: 12 }"},
         true},
        {100,
         {"ParkFailed { msg_kind: \"BlockProposal\" }", format("ProposalAheadOfTip {{ slot: 100, producer: {} }}", key(0)),
          "ProposalDiscontiguous { slot: 100 }"},
         true},
        {101,
         {"ParkFailed { msg_kind: \"BlockProposal\" }", format("ProposalAheadOfTip {{ slot: 101, producer: {} }}", key(0)),
          "ProposalDiscontiguous { slot: 101 }"},
         false},
        {500,
         {"ParkFailed { msg_kind: \"BlockProposal\" }", format("ProposalAheadOfTip {{ slot: 201, producer: {} }}", key(0)),
          "ProposalDiscontiguous { slot: 500 }"},
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.slot);
        Machine m = make();
        BlockProposalMessage p = header(c.slot);
        Texts head = {received(c.slot)};
        if (c.first_seen_recorded) head.push_back(first_seen(c.slot, p.timestamp));
        EXPECT_EQ(event_texts(m.receive(proposed(p))), concat(head, c.after_first_seen));
        EXPECT_EQ(m.proposal_first_seen.contains(ProducerSlot{ids[0].pubkey, c.slot}), c.first_seen_recorded);
        EXPECT_EQ(m.shred_catchup.has_value(), c.slot > 11);
    }

    // A parked proposal goes through the whole intake again when its event
    // fires; the tip has not moved, so it is parked once more.
    Machine m = make();
    BlockProposalMessage p = header(2);
    m.receive(proposed(p));
    EXPECT_EQ(event_texts(m.process_parked_messages(unpark::ChainStateReached{1})),
              (Texts{received(2), parked_until_chain(1)}));
    EXPECT_TRUE(m.process_parked_messages(unpark::ChainStateReached{2}).empty());
}

TEST_F(IntakeTest, HigherLeaderViewResetsFirstSeen) {
    Machine m = make();
    BlockProposalMessage p = header(5);
    p.leader_view = 3;
    m.receive(proposed(p));
    int64_t first = m.proposal_first_seen.at(ProducerSlot{ids[0].pubkey, 5}).second;
    clock.advance(250ms);
    for (uint64_t lv : {3u, 2u}) {
        p.leader_view = lv;
        EXPECT_EQ(event_texts(m.receive(proposed(p))), (Texts{received(5), parked_until_chain(4)})) << lv;
    }
    EXPECT_EQ(m.proposal_first_seen.at(ProducerSlot{ids[0].pubkey, 5}), (std::pair<uint64_t, int64_t>{3, first}));
    p.leader_view = 4;
    EXPECT_EQ(event_texts(m.receive(proposed(p))),
              (Texts{received(5), first_seen(5, p.timestamp), parked_until_chain(4)}));
    EXPECT_EQ(m.proposal_first_seen.at(ProducerSlot{ids[0].pubkey, 5}),
              (std::pair<uint64_t, int64_t>{4, first + 250}));
}

TEST_F(IntakeTest, ProposalRejections) {
    BlsSecretKey outsider_secret = testkeys::secret(99);
    BlsPubkey outsider = bls::pubkey_from_secret(outsider_secret);
    BlockProposalMessage p = header(1);
    BlockProposalMessage by_outsider = p;
    by_outsider.vesk_id = outsider;
    BlockProposalMessage far = header(1000);
    BlockProposalMessage old = header(0);
    BlockProposalMessage too_many = p;
    too_many.entry_count = 257;
    BlockProposalMessage at_cap = p;
    at_cap.entry_count = 256;
    BlockProposalMessage other_parent = p;
    other_parent.parent_qc_id = filled(9);
    BlockProposalMessage by_member2 = header(1, 2);
    SignedBlockProposalMessage forged = *proposed(p).get_if<SignedBlockProposalMessage>();
    forged.signature = p.sign(ids[2].secret);

    struct Case {
        const char* name;
        ConsensusMessage msg;
        Texts events;
    };
    std::vector<Case> cases = {
        {"outside every view", proposed(far),
         {received(1000), "QuorumUnknown { slot: 1000, msg_kind: \"BlockProposal\" }"}},
        {"non-member signer",
         SignedBlockProposalMessage{by_outsider.sign(outsider_secret), outsider, by_outsider},
         {format("ReceivedProposal {{ slot: 1, producer: {} }}", to_debug(outsider)),
          format("SignerNotInQuorum {{ signer: {} }}", to_debug(outsider))}},
        {"bad signature", forged, {received(1), "ProposalSignatureInvalid { slot: 1 }"}},
        {"at the tip", proposed(old), {received(0), "IgnoredOldProposal { slot: 0 }"}},
        {"not the current leader", proposed(by_member2, 2),
         {received(1, 2), first_seen(1, p.timestamp, 2),
          parked_under(format("LeaderRotated {{ new_leader: {}, block_height: 1 }}", key(2)))}},
        {"257 entries", proposed(too_many),
         {received(1), first_seen(1, p.timestamp), "ProposalEntryCountExceedsCap { slot: 1, entry_count: 257 }"}},
        {"256 entries", proposed(at_cap),
         {received(1), first_seen(1, p.timestamp), unknown_block(1), parked_until_processed(1)}},
        {"another parent", proposed(other_parent),
         {received(1), first_seen(1, p.timestamp), "ProposalDiscontiguous { slot: 1 }"}},
    };
    for (auto& c : cases) {
        Machine m = make();
        EXPECT_EQ(event_texts(m.receive(c.msg)), c.events) << c.name;
        EXPECT_EQ(m.vesk_idx, 0u) << c.name;
    }

    // The signer's index meets vesk_idx unreduced: at index 4 of four members
    // member 0 leads, yet its proposal waits for a rotation.
    Machine unreduced = Machine::new_with_config_and_timestamper(
        ids[1], 4, snapshot(), NodeConfig{std::nullopt, 2s, false}, EntryContainer::make().first, clock);
    EXPECT_EQ(unreduced.vesk_id(), ids[0].pubkey);
    EXPECT_EQ(event_texts(unreduced.receive(proposed(p))),
              (Texts{received(1), first_seen(1, p.timestamp),
                     parked_under(format("LeaderRotated {{ new_leader: {}, block_height: 1 }}", key(0)))}));
}

TEST_F(IntakeTest, VoteLocksStopTheProposal) {
    BlockProposalMessage p = header(3);
    Machine same = make(1, snapshot(2));
    same.record_vote_lock(3, filled(1), 0, filled(2));
    EXPECT_EQ(event_texts(same.receive(proposed(p))),
              (Texts{received(3), first_seen(3, p.timestamp),
                     format("ProposalAlreadySigned {{ slot: 3, producer: {} }}", key(0))}));

    Machine higher = make(1, snapshot(2));
    higher.record_vote_lock(5, filled(1), 4, filled(2));
    EXPECT_EQ(event_texts(higher.receive(proposed(p))),
              (Texts{received(3), first_seen(3, p.timestamp),
                     "VoteWithheld { slot: 3, reason: LockedByPriorVote { prior_vote_slot: 5, "
                     "prior_vote_leader_view: 0 } }"}));
}

TEST_F(IntakeTest, TimestampSkewRotatesTheLeader) {
    struct Case {
        bool warm_up;
        int64_t timestamp_offset;  // proposal timestamp minus the arrival time
        bool skewed;
    };
    std::vector<Case> cases = {
        {true, -2000, false}, {true, 2000, false}, {true, -2001, true}, {true, 2001, true},
        {false, -400, false}, {false, 400, false}, {false, -401, true}, {false, 401, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(format("warm-up {} offset {}", c.warm_up, c.timestamp_offset));
        Machine m = make();
        if (!c.warm_up) m.warmup_until_slot = 1;
        BlockProposalMessage p = header(1);
        p.timestamp = now_ms() + c.timestamp_offset;
        Texts expected = {received(1), first_seen(1, p.timestamp)};
        if (c.skewed) {
            expected.push_back(format("ProposalTimestampSkewed {{ slot: 1, producer: {}, timestamp_delta_ms: {} }}",
                                      key(0), -c.timestamp_offset));
            expected.push_back(rotated(0, 1, 1, "TimestampSkewed"));
        } else {
            expected.push_back(unknown_block(1));
            expected.push_back(parked_until_processed(1));
        }
        EXPECT_EQ(event_texts(m.receive(proposed(p))), expected);
        EXPECT_EQ(m.vesk_idx, c.skewed ? 1u : 0u);
    }
}

TEST_F(IntakeTest, SkewAtTheEdgeOfTheTimestampRangeSaturates) {
    Machine m = make();
    BlockProposalMessage p = header(1);
    p.timestamp = I64_MIN;
    Texts events = event_texts(m.receive(proposed(p)));
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[2], format("ProposalTimestampSkewed {{ slot: 1, producer: {}, timestamp_delta_ms: {} }}", key(0),
                                I64_MAX));
}

TEST_F(IntakeTest, RejectionRemovesTheBlockAndReleasesTheNewLeadersProposal) {
    // Member 2 follows; member 1 proposed early and waits for the rotation.
    Machine m = make(2);
    BlockProposalMessage early = header(1, 1);
    m.receive(proposed(early, 1));
    m.entry_container.add(EntryMessage{{}, 1, 0, ids[0].pubkey, false});
    mark_processed(m, 1);
    m.proposals[{ids[0].pubkey, 1}].proposal = header(1);

    BlockProposalMessage skewed = header(1);
    skewed.timestamp -= 5000;
    SubResult r = m.receive(proposed(skewed));
    EXPECT_EQ(event_texts(r),
              (Texts{received(1), first_seen(1, skewed.timestamp),
                     format("ProposalTimestampSkewed {{ slot: 1, producer: {}, timestamp_delta_ms: 5000 }}", key(0)),
                     rotated(0, 1, 1, "TimestampSkewed"),
                     // The released proposal of the new leader.
                     received(1, 1), unknown_block(1, 1), parked_until_processed(1, 1)}));
    EXPECT_EQ(m.vesk_idx, 1u);
    EXPECT_EQ(m.rotations, 1u);
    EXPECT_FALSE(m.entry_container.get(ids[0].pubkey, 1).has_value());
    const ProposalState& state = m.proposals.at({ids[0].pubkey, 1});
    EXPECT_FALSE(state.proposal.has_value());
    EXPECT_EQ(state.local_bank_hash, filled(7));
}

TEST_F(IntakeTest, NonMonotonicTimestampRotatesTheLeader) {
    int64_t tip_time = now_ms();
    BlockProposalMessage equal = header(1);
    equal.timestamp = tip_time;
    Machine m = make(1, snapshot(0, tip_time));
    EXPECT_EQ(event_texts(m.receive(proposed(equal))),
              (Texts{received(1), first_seen(1, tip_time), unknown_block(1), parked_until_processed(1)}));

    BlockProposalMessage earlier = header(1);
    earlier.timestamp = tip_time - 1;
    Machine n = make(1, snapshot(0, tip_time));
    EXPECT_EQ(event_texts(n.receive(proposed(earlier))),
              (Texts{received(1), first_seen(1, tip_time - 1),
                     format("ProposalTimestampNonMonotonic {{ slot: 1, producer: {} }}", key(0)),
                     rotated(0, 1, 1, "TimestampNonMonotonic")}));
    EXPECT_EQ(n.vesk_idx, 1u);
}

TEST_F(IntakeTest, ProcessedBlockIsValidatedAndStored) {
    BlockProposalMessage p = header(1);
    BlockProposalMessage recovery = p;
    recovery.recovery = true;
    BlockProposalMessage names_other = p;
    names_other.vesk_id = ids[2].pubkey;  // signed by the leader, naming another producer
    struct Case {
        const char* name;
        BlockProposalMessage header;
        Texts last;
        bool stored;
    };
    std::vector<Case> cases = {
        {"valid", p, {}, true},
        {"recovery", recovery, {"RecoveryProposalRejected { slot: 1 }"}, false},
        {"another producer named", names_other, {"ProposalSignatureInvalid { slot: 1 }"}, false},
    };
    for (const auto& c : cases) {
        Machine m = make();
        mark_processed(m, 1);
        EXPECT_EQ(event_texts(m.receive(proposed(c.header))),
                  concat({received(1), first_seen(1, p.timestamp)}, c.last))
            << c.name;
        EXPECT_EQ((m.proposals[{ids[0].pubkey, 1}].proposal.has_value()), c.stored) << c.name;
        EXPECT_EQ(m.vesk_idx, 0u) << c.name;
    }
}

TEST_F(IntakeTest, EquivocationRotatesTheProducer) {
    BlockProposalMessage first = header(1);
    BlockProposalMessage second = first;
    second.entries_hash = filled(8);

    Machine m = make(1, snapshot(), EquivocationDetector{});
    mark_processed(m, 1);
    EXPECT_EQ(event_texts(m.receive(proposed(first))), (Texts{received(1), first_seen(1, first.timestamp)}));
    EXPECT_EQ(event_texts(m.receive(proposed(first))), Texts{received(1)});  // the same header again
    EXPECT_EQ(event_texts(m.receive(proposed(second))),
              (Texts{received(1),
                     format("EquivocationDetected {{ slot: 1, conflicting_hash: {} }}", proposal_block_id(second)),
                     rotated(0, 1, 1, "Equivocation")}));
    EXPECT_EQ(m.vesk_idx, 1u);
    EXPECT_EQ((m.proposals[{ids[0].pubkey, 1}].proposal), first);
    ASSERT_EQ(m.equivocation_detector->records.size(), 1u);
    const EquivocationRecord& rec = m.equivocation_detector->records[0];
    EXPECT_EQ(rec.first, (ReportedHeader{1, proposal_block_id(first), 0}));
    EXPECT_EQ(rec.second, (ReportedHeader{1, proposal_block_id(second), 0}));
    EXPECT_EQ(rec.second_tag, equivocation_tag(ids[1].pubkey));

    // Without a detector the second header replaces the first.
    Machine n = make();
    mark_processed(n, 1);
    n.receive(proposed(first));
    EXPECT_EQ(event_texts(n.receive(proposed(second))), Texts{received(1)});
    EXPECT_EQ((n.proposals[{ids[0].pubkey, 1}].proposal), second);
    EXPECT_EQ(n.vesk_idx, 0u);
}

TEST_F(IntakeTest, FaultOfAnotherProducerDoesNotRotate) {
    Machine m = make();
    m.entry_container.add(EntryMessage{{}, 4, 0, ids[2].pubkey, false});
    m.proposals[{ids[2].pubkey, 4}].proposal = header(4, 2);
    SubResult r = m.reject_candidate_for_fault(4, ids[2].pubkey, events::ProposalDiscontiguous{4},
                                               EvictionReason::BlockIdMismatch);
    EXPECT_EQ(event_texts(r), Texts{"ProposalDiscontiguous { slot: 4 }"});
    EXPECT_EQ(m.vesk_idx, 0u);
    EXPECT_FALSE(m.entry_container.get(ids[2].pubkey, 4).has_value());
    EXPECT_FALSE((m.proposals.at({ids[2].pubkey, 4}).proposal.has_value()));
}

TEST_F(IntakeTest, ProposedHeadStartsAndWidensCatchup) {
    Machine m = make(1, snapshot(10));
    EXPECT_EQ(event_texts(m.note_proposed_head(30, ids[0].pubkey)),
              Texts{format("ProposalAheadOfTip {{ slot: 30, producer: {} }}", key(0))});
    ASSERT_TRUE(m.shred_catchup.has_value());
    EXPECT_EQ(m.shred_catchup->target_slot, 30u);
    EXPECT_TRUE(std::holds_alternative<ShredCatchup::Querying>(m.shred_catchup->phase));
    u128 nonce = m.shred_catchup->query_nonce;

    // A lower head leaves the target; a far one is capped at tip + 201.
    EXPECT_EQ(event_texts(m.note_proposed_head(20, ids[0].pubkey)),
              Texts{format("ProposalAheadOfTip {{ slot: 20, producer: {} }}", key(0))});
    EXPECT_EQ(m.shred_catchup->target_slot, 30u);
    EXPECT_EQ(event_texts(m.note_proposed_head(5000, ids[2].pubkey)),
              Texts{format("ProposalAheadOfTip {{ slot: 211, producer: {} }}", key(2))});
    EXPECT_EQ(m.shred_catchup->target_slot, 211u);
    EXPECT_EQ(m.shred_catchup->query_nonce, nonce);

    // Near the top of the slot range the cap does not wrap.
    Machine top = make(1, snapshot(UINT64_MAX - 100));
    top.note_proposed_head(UINT64_MAX, ids[0].pubkey);
    EXPECT_EQ(top.shred_catchup->target_slot, UINT64_MAX);
}

TEST_F(IntakeTest, AProposalBackFromParkingIsNotCheckedAgain) {
    Machine m = make();
    BlockProposalMessage p = header(1);
    const SignedBlockProposalMessage good = *proposed(p).get_if<SignedBlockProposalMessage>();
    const uint64_t before = signature_work().single_checks;
    auto checks = [&] { return signature_work().single_checks - before; };

    // Checked on arrival, then parked; back from parking it is not checked
    // again.
    EXPECT_EQ(event_texts(m.receive(good)),
              (Texts{received(1), first_seen(1, p.timestamp), unknown_block(1), parked_until_processed(1)}));
    EXPECT_EQ(checks(), 1u);
    mark_processed(m, 1);
    EXPECT_EQ(event_texts(m.process_parked_messages(unpark::BlockProcessed{ids[0].pubkey, 1})), Texts{received(1)});
    EXPECT_EQ(checks(), 1u);
    EXPECT_EQ((m.proposals[{ids[0].pubkey, 1}].proposal), p);

    // Only a good answer is kept, and only for the very same bytes: a copy
    // that differs in signature, signer or header is checked, and refused,
    // each time it comes.
    SignedBlockProposalMessage wrong_signature = good;
    wrong_signature.signature = p.sign(ids[2].secret);
    SignedBlockProposalMessage other_signer = good;  // the leader's signature claimed by member 3
    other_signer.pubkey = ids[3].pubkey;
    SignedBlockProposalMessage other_header = good;
    other_header.proposal.leader_view++;
    struct Case {
        const char* name;
        SignedBlockProposalMessage msg;
        size_t signer;
    };
    std::vector<Case> forged = {
        {"signature", wrong_signature, 0}, {"signer", other_signer, 3}, {"header", other_header, 0}};
    uint64_t expected = checks();
    for (const auto& c : forged) {
        for (int round = 0; round < 2; ++round) {
            EXPECT_EQ(event_texts(m.receive(c.msg)),
                      (Texts{received(1, c.signer), "ProposalSignatureInvalid { slot: 1 }"}))
                << c.name;
            EXPECT_EQ(checks(), ++expected) << c.name;
        }
    }

    // Member 3's own signature on the leader's header is checked for itself
    // and then remembered for itself.
    const ConsensusMessage copy = signed_by(p, 3);
    const Texts copy_parked = {received(1, 3), first_seen(1, p.timestamp, 3),
                               parked_under(format("LeaderRotated {{ new_leader: {}, block_height: 1 }}", key(3)))};
    EXPECT_EQ(event_texts(m.receive(copy)), copy_parked);
    EXPECT_EQ(checks(), ++expected);
    EXPECT_EQ(event_texts(m.receive(copy)), (Texts{received(1, 3), copy_parked.back()}));
    EXPECT_EQ(checks(), expected);
    EXPECT_EQ(m.verified_proposals.size(), 2u);

    // What the tip passes is forgotten with the rest of its slot's state.
    m.tip_qc.message.slot = 1;
    m.prune_state_below_tip();
    EXPECT_TRUE(m.verified_proposals.empty());
}

TEST_F(IntakeTest, RememberedProposalsAreBounded) {
    Machine m = make();
    const size_t cap = statemachine_detail::VERIFIED_PROPOSALS;
    std::vector<ConsensusMessage> early;
    for (uint64_t slot = 2; slot < 2 + cap + 1; ++slot) early.push_back(proposed(header(slot)));
    for (const auto& msg : early) m.receive(msg);
    EXPECT_EQ(m.verified_proposals.size(), cap);

    // The oldest made room for the newest, so it is checked again.
    const uint64_t before = signature_work().single_checks;
    m.receive(early.back());
    EXPECT_EQ(signature_work().single_checks, before);
    m.receive(early.front());
    EXPECT_EQ(signature_work().single_checks, before + 1);
    EXPECT_EQ(m.verified_proposals.size(), cap);
}

TEST_F(IntakeTest, RememberedProposalsHoldAnyCap) {
    std::vector<ConsensusMessage> early;
    for (uint64_t slot = 2; slot < 8; ++slot) early.push_back(proposed(header(slot)));
    auto checks = [&] { return signature_work().single_checks; };
    // What each cap keeps after the six proposals, oldest first, and whether
    // the first and the last are then checked again.
    struct Case {
        size_t cap;
        size_t kept;
        bool first_again;
        bool last_again;
    };
    for (const Case& c : {Case{0, 0, true, true}, Case{1, 1, true, false}, Case{2, 2, true, false},
                          Case{6, 6, false, false}}) {
        Machine m = make();
        m.verified_proposals_cap = c.cap;
        for (const auto& msg : early) m.receive(msg);
        EXPECT_EQ(m.verified_proposals.size(), c.kept) << c.cap;
        if (c.kept > 0) {
            EXPECT_EQ(ConsensusMessage(m.verified_proposals.back()), early.back()) << c.cap;
        }
        uint64_t before = checks();
        m.receive(early.back());
        EXPECT_EQ(checks(), before + (c.last_again ? 1 : 0)) << c.cap;
        before = checks();
        m.receive(early.front());
        EXPECT_EQ(checks(), before + (c.first_again ? 1 : 0)) << c.cap;
        EXPECT_LE(m.verified_proposals.size(), c.cap) << c.cap;
    }

    // A cap lowered below what is held: the next proposal brings the list
    // down to it, keeping the newest.
    for (size_t lowered : {size_t{0}, size_t{1}, size_t{3}}) {
        Machine m = make();
        for (size_t k = 0; k + 1 < early.size(); ++k) m.receive(early[k]);
        ASSERT_EQ(m.verified_proposals.size(), early.size() - 1);
        m.verified_proposals_cap = lowered;
        m.receive(early.back());
        EXPECT_EQ(m.verified_proposals.size(), lowered) << lowered;
        if (lowered > 0) {
            EXPECT_EQ(ConsensusMessage(m.verified_proposals.back()), early.back()) << lowered;
            EXPECT_EQ(ConsensusMessage(m.verified_proposals.front()), early[early.size() - lowered]) << lowered;
        }
    }
}

TEST_F(IntakeTest, UnreadableClockDropsTheProposal) {
    for (WallTime t : {WallTime{-1, 0}, WallTime{I64_MAX / 1000 + 1, 0}}) {
        SettableClock settable;
        *settable.time = t;
        auto m = VeskStatemachine<SettableClock>::new_with_config_and_timestamper(
            ids[1], 0, snapshot(), NodeConfig{std::nullopt, 2s, false}, EntryContainer::make().first, settable);
        EXPECT_TRUE(m.receive(proposed(header(2))).empty()) << t.secs;
        EXPECT_TRUE(m.proposal_first_seen.empty());
        EXPECT_TRUE(m.parked.parked().empty());
    }
}

TEST_F(IntakeTest, AnnouncementChecks) {
    struct Case {
        const char* name;
        SignedEntryAnnouncement announcement;
        Texts events;
        bool stored;
    };
    std::vector<Case> cases = {
        {"at the tip", announce(0, 0, filled(1)), {}, false},
        {"index 256", announce(1, 256, filled(1)),
         {"EntryRejectedExceedsCap { slot: 1, entry_id: 256, entry_count: 256 }"}, false},
        {"index 255", announce(1, 255, filled(1)),
         {format("EntryReceived {{ slot: 1, entry_id: 255, entry_hash: {:?} }}", filled(1))}, true},
        {"validly signed by a non-leader", announce(1, 0, filled(1), 2),
         {format("EntryAuthInvalid {{ slot: 1, entry_id: 0, claimed_signer: {} }}", key(2))}, false},
        {"leader's, signed by another", announce_signed(1, 0, filled(1), 0, 2),
         {format("EntryAuthInvalid {{ slot: 1, entry_id: 0, claimed_signer: {} }}", key(0))}, false},
    };
    for (auto& c : cases) {
        Machine m = make();
        EXPECT_EQ(event_texts(m.receive(c.announcement)), c.events) << c.name;
        EXPECT_EQ(m.seen_announcements.size(), c.stored ? 1u : 0u) << c.name;
    }
}

TEST_F(IntakeTest, RepeatedAndConflictingAnnouncements) {
    Machine m = make();
    std::string received0 = format("EntryReceived {{ slot: 1, entry_id: 0, entry_hash: {:?} }}", filled(1));
    EXPECT_EQ(event_texts(m.receive(announce(1, 0, filled(1)))), Texts{received0});
    EXPECT_TRUE(m.receive(announce(1, 0, filled(1))).empty());
    EXPECT_EQ(event_texts(m.receive(announce(1, 0, filled(2)))), Texts{"EntryEquivocation { slot: 1, entry_id: 0 }"});
    EXPECT_EQ(m.seen_announcements.at(ProducerSlotEntry{ids[0].pubkey, 1, 0}), filled(1));

    // Indexes beyond the accepted proposal's entry count are not recorded.
    m.proposals[{ids[0].pubkey, 1}].proposal = header(1);  // two entries
    EXPECT_TRUE(m.receive(announce(1, 2, filled(1))).empty());
    EXPECT_FALSE(m.seen_announcements.contains(ProducerSlotEntry{ids[0].pubkey, 1, 2}));
    EXPECT_EQ(event_texts(m.receive(announce(1, 1, filled(1)))),
              Texts{format("EntryReceived {{ slot: 1, entry_id: 1, entry_hash: {:?} }}", filled(1))});
}

TEST_F(IntakeTest, AnnouncementsAreComparedWithStoredEntries) {
    Machine m = make();
    EntryMessage stored{{{1, 2, 3}}, 1, 0, ids[0].pubkey, false};
    m.entry_container.add(stored);
    Hash actual = stored.hash();
    ProducerSlotEntry k0{ids[0].pubkey, 1, 0}, k1{ids[0].pubkey, 1, 1};

    Machine matching = make();
    matching.entry_container.add(stored);
    EXPECT_EQ(event_texts(matching.receive(announce(1, 0, actual))),
              Texts{format("EntryReceived {{ slot: 1, entry_id: 0, entry_hash: {:?} }}", actual)});
    EXPECT_TRUE(matching.checked_announcements.contains(k0));

    EXPECT_EQ(event_texts(m.receive(announce(1, 0, filled(5)))),
              (Texts{format("EntryReceived {{ slot: 1, entry_id: 0, entry_hash: {:?} }}", filled(5)),
                     format("AnnouncementHashMismatch {{ producer_id: {}, slot: 1, entry_id: 0, announced_hash: {:?}, "
                            "observed_hash: {:?} }}",
                            key(0), filled(5), actual)}));
    EXPECT_TRUE(m.checked_announcements.contains(k0));

    // Not stored yet: compared later, so not marked as checked.
    EXPECT_EQ(event_texts(m.receive(announce(1, 1, filled(6)))),
              Texts{format("EntryReceived {{ slot: 1, entry_id: 1, entry_hash: {:?} }}", filled(6))});
    EXPECT_FALSE(m.checked_announcements.contains(k1));
}

TEST_F(IntakeTest, AnnouncementsBeyondTheHorizonAreNotStored) {
    Machine m = make(1, snapshot(10));
    EXPECT_EQ(event_texts(m.receive(announce(110, 0, filled(1)))),
              Texts{format("EntryReceived {{ slot: 110, entry_id: 0, entry_hash: {:?} }}", filled(1))});
    // A leader announcing ever further ahead gains no memory.
    for (uint64_t slot : {uint64_t{111}, uint64_t{112}, uint64_t{5000}, UINT64_MAX}) {
        for (uint64_t entry = 0; entry < 3; ++entry) {
            EXPECT_TRUE(m.receive(announce(slot, entry, filled(1))).empty()) << slot;
        }
    }
    EXPECT_EQ(m.seen_announcements.size(), 1u);

    // Far ahead, the checks still report as anywhere else; only the storing
    // is skipped.
    struct Case {
        const char* name;
        SignedEntryAnnouncement announcement;
        std::string event;
    };
    std::vector<Case> cases = {
        {"index 256", announce(111, 256, filled(1)),
         "EntryRejectedExceedsCap { slot: 111, entry_id: 256, entry_count: 256 }"},
        {"forged, beyond the cap", announce_signed(5000, 300, filled(1), 0, 2),
         "EntryRejectedExceedsCap { slot: 5000, entry_id: 300, entry_count: 256 }"},
        {"validly signed by a non-leader", announce(111, 0, filled(1), 2),
         format("EntryAuthInvalid {{ slot: 111, entry_id: 0, claimed_signer: {} }}", key(2))},
        {"leader's, signed by another", announce_signed(UINT64_MAX, 0, filled(1), 0, 2),
         format("EntryAuthInvalid {{ slot: {}, entry_id: 0, claimed_signer: {} }}", UINT64_MAX, key(0))},
    };
    for (auto& c : cases) {
        EXPECT_EQ(event_texts(m.receive(c.announcement)), Texts{c.event}) << c.name;
    }
    EXPECT_EQ(m.seen_announcements.size(), 1u);

    // Near the top of the slot range the horizon does not wrap.
    Machine top = make(1, snapshot(UINT64_MAX - 5));
    EXPECT_EQ(event_texts(top.receive(announce(UINT64_MAX, 0, filled(1)))),
              Texts{format("EntryReceived {{ slot: {}, entry_id: 0, entry_hash: {:?} }}", UINT64_MAX, filled(1))});
}

}  // namespace
}  // namespace vesk

namespace vesk {
namespace {

TEST_F(IntakeTest, EarlyProposalIsReleasedWhenTheTipMoves) {
    Machine m = make();
    // Certificate for slot 1 on the fresh tip, by three of the four members.
    const QuorumCertificate c1 = slot_one_certificate(m);
    BlockProposalMessage p2 = header(2);
    p2.parent_qc_id = c1.message.qc_id;  // built on slot 1 before we saw its certificate
    EXPECT_EQ(event_kinds(m.receive(proposed(p2))).back(), "ParkedUntilEvent");

    SubResult r = m.receive(c1);
    Texts kinds = event_kinds(r);
    ASSERT_FALSE(kinds.empty());
    EXPECT_EQ(kinds.front(), "CertificateValid");
    // The proposal parked for slot 2 is taken in again: it is now the next
    // slot, and it waits for its block.
    Texts tail(kinds.begin() + 1, kinds.end());
    EXPECT_EQ(tail, (Texts{"ReceivedProposal", "ProposalUnknownBlock", "ParkedUntilEvent"}));
    EXPECT_EQ(m.tip_slot(), 1u);
}

TEST_F(IntakeTest, ACopySignedByAnotherMemberDoesNotHideTheLeadersProposal) {
    Machine m = make();
    // The certificate for slot 1, led by member 0, that the follower has not
    // seen yet.
    const QuorumCertificate c1 = slot_one_certificate(m, filled(0x31));
    const QuorumMessage& q1 = c1.message;

    // The leader's block for slot 2, without entries, on top of slot 1.
    const Hash bank = filled(0x32);
    BlockProposalMessage p2 = header(2);
    p2.parent_qc_id = q1.qc_id;
    p2.entry_count = 0;
    p2.entries_hash = Block::compute_entries_hash(q1.bank_hash, {});
    p2.proof_hash = hashv({bank.span()});

    // Member 3 signs the leader's header itself and gets in first.
    EXPECT_EQ(event_texts(m.receive(signed_by(p2, 3))),
              (Texts{received(2, 3), first_seen(2, p2.timestamp, 3), parked_until_chain(1)}));
    EXPECT_EQ(event_texts(m.receive(proposed(p2))),
              (Texts{received(2), first_seen(2, p2.timestamp), parked_until_chain(1)}));

    // The tip reaches slot 1 and both come back: the copy waits for its
    // signer to lead, the leader's proposal for its block.
    SubResult r = m.receive(c1);
    Texts texts = event_texts(r);
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(event_kinds(r).front(), "CertificateValid");
    EXPECT_EQ(Texts(texts.begin() + 1, texts.end()),
              (Texts{received(2, 3),
                     parked_under(format("LeaderRotated {{ new_leader: {}, block_height: 2 }}", key(3))),
                     received(2), unknown_block(2), parked_until_processed(2)}));
    EXPECT_EQ(m.tip_slot(), 1u);

    // The block is processed and the follower votes for it.
    const CrosschainCommitment crosschain{filled(0x33), 4};
    r = m.queue_processed_block(ids[0].pubkey, p2, bank, crosschain, ProcessedParent{q1.bank_hash, q1.vesk_id, 1});
    const QuorumMessage q2 = p2.to_quorum_message(bank, crosschain);
    EXPECT_EQ(event_texts(r),
              (Texts{received(2), "BlockReplayed { slot: 2 }",
                     format("VoteLockPending {{ slot: 2, qc_id: {:?}, leader_view: 0, parent_qc: {:?} }}", q2.qc_id,
                            m.tip_qc),
                     "SignedProposal { slot: 2 }"}));
    ASSERT_EQ(message_texts(r), Texts{format("Unicast({}, BlockSignature)", key(0))});
    const auto& vote = *std::get<Unicast>(r.messages[0]).message.get_if<SignedQuorumMessage>();
    EXPECT_EQ(vote.message, q2);
    EXPECT_EQ(vote.pubkey, ids[1].pubkey);
    EXPECT_TRUE(vote.validate());
}

}  // namespace
}  // namespace vesk
