#include <gtest/gtest.h>

#include <algorithm>

#include "base/text.hpp"
#include "consensus/statemachine/statemachine.hpp"
#include "consensus/statemachine/test_support.hpp"
#include "consensus/test_keys.hpp"

namespace vesk {
namespace {

using namespace std::chrono_literals;
using namespace testsupport;

class StateMachineTest : public MachineTest {
protected:
    // A proposal by member 0 for slot 1, processed with bank hash 7s.
    BlockProposalMessage proposal() const {
        BlockProposalMessage p;
        p.slot = 1;
        p.vesk_id = ids[0].pubkey;
        p.timestamp = 1000;
        return p;
    }
    Hash bank() const {
        Hash h;
        h.bytes.fill(7);
        return h;
    }
    SignedQuorumMessage vote_by(size_t member, const QuorumMessage& m) const {
        return SignedQuorumMessage{bls::sign(ids[member].secret, m.signing_bytes()), ids[member].pubkey, m};
    }
    void give_leader_processed_proposal(Machine& leader) const {
        ProposalState& st = leader.proposals[{ids[0].pubkey, 1}];
        st.proposal = proposal();
        st.local_bank_hash = bank();
    }
    QuorumMessage expected_message() const { return proposal().to_quorum_message(bank(), CrosschainCommitment{}); }

    std::string key(size_t member) const { return to_debug(ids[member].pubkey); }
};

TEST_F(StateMachineTest, FreshSnapshot) {
    Machine m = make(1);
    EXPECT_TRUE(m.accepted_qcs.empty());  // the all-zero tip does not verify
    EXPECT_EQ(m.parked.slot_floor(), 0u);
    EXPECT_EQ(m.warmup_until_slot, 10u);
    EXPECT_EQ(m.vesk_id(), ids[0].pubkey);
    EXPECT_FALSE(m.am_vesk_for_slot(1));
    EXPECT_TRUE(make(0).am_vesk_for_slot(1));
    EXPECT_TRUE(m.can_vote());
    EXPECT_FALSE(m.is_observer_for_slot(1));
    EXPECT_TRUE(m.is_observer_for_slot(100));  // outside every view
    EXPECT_EQ(make(2, snapshot(), 6).vesk_id(), ids[2].pubkey);  // 6 mod 4

    EXPECT_THROW(Machine::new_with_config_and_timestamper(ids[0], 0, snapshot(), NodeConfig{std::nullopt, 0s, false},
                                                          EntryContainer::make().first, clock),
                 ContractFailure);
}

TEST_F(StateMachineTest, VerifiedTipCertificatesAreAccepted) {
    QuorumMessage prev, tip;
    prev.slot = 4;
    tip.slot = 5;
    auto certify = [&](const QuorumMessage& m) {
        std::vector<std::pair<size_t, BlsSignature>> sigs;
        for (size_t i = 0; i < 3; ++i) sigs.emplace_back(i, bls::sign(ids[i].secret, m.signing_bytes()));
        return QuorumCertificate(view->view_id, m, sigs);
    };
    ChainStateSnapshot snap = snapshot();
    snap.tip_qc = certify(tip);
    snap.previous_qc = certify(prev);
    snap.previous_qc->bitmap = 0b1;  // below two thirds: dropped
    Machine m = make(0, snap);
    ASSERT_EQ(m.accepted_qcs.size(), 1u);
    EXPECT_EQ(m.accepted_qcs.begin()->first, 5u);
    EXPECT_EQ(m.warmup_until_slot, 15u);
    EXPECT_EQ(m.parked.slot_floor(), 5u);
}

TEST_F(StateMachineTest, LeadershipAcrossEpochs) {
    // The next epoch's view covers 100..199 with the members in another order.
    std::vector<std::pair<BlsPubkey, uint64_t>> next_members;
    for (size_t i = 0; i < 4; ++i) next_members.emplace_back(ids[i].pubkey, i == 3 ? 5 : 1);
    ChainStateSnapshot snap = snapshot();
    snap.next_view.emplace(100, 200, next_members);  // member 3 leads it
    for (size_t vesk_idx : {0u, 1u, 2u}) {
        for (size_t i = 0; i < 4; ++i) {
            Machine m = make(i, snap, vesk_idx);
            EXPECT_EQ(m.am_vesk_for_slot(100), i == 3) << i;
            EXPECT_EQ(m.am_vesk_for_slot(1), i == vesk_idx) << i;
        }
    }
    // Beyond every view nobody leads, yet vesk_id still names a member.
    for (size_t i = 0; i < 4; ++i) {
        Machine m = make(i, snapshot(), 1);
        EXPECT_FALSE(m.am_vesk_for_slot(100));
        EXPECT_EQ(m.vesk_id(), ids[1].pubkey);
    }
}

TEST_F(StateMachineTest, EmptyViewIsAContractFailure) {
    ChainStateSnapshot snap = snapshot();
    snap.current_view = QuorumView(0, 100, std::vector<std::pair<BlsPubkey, uint64_t>>{});
    Machine m = make(0, snap);
    EXPECT_FALSE(m.am_vesk_for_slot(1));
    EXPECT_THROW(m.vesk_id(), ContractFailure);
}

TEST_F(StateMachineTest, TipAtTheTopOfTheSlotRangeDoesNotWrap) {
    ChainStateSnapshot snap = snapshot();
    snap.tip_qc.message.slot = UINT64_MAX;
    Machine m = make(0, snap);
    EXPECT_EQ(m.warmup_until_slot, UINT64_MAX);
    EXPECT_FALSE(m.am_vesk_for_slot(UINT64_MAX));
    EXPECT_FALSE(m.can_vote());
}

TEST_F(StateMachineTest, LeaderDispatchOfEveryKind) {
    Machine leader = make(0);
    Ping ping(ids[1].pubkey, 9, ids[1].secret);
    SignedBlockProposalMessage sp{proposal().sign(ids[0].secret), ids[0].pubkey, proposal()};
    StateSyncResponse ssr({}, 3, ids[1].pubkey, false, {}, ids[1].pubkey, ids[1].secret);
    struct Case {
        const char* name;
        ConsensusMessage msg;
        Texts messages;
        Texts events;
    };
    std::vector<Case> cases = {
        {"Ping", ping, {format("Unicast({}, Pong)", key(1))}, {}},
        {"Pong", Pong(ids[0].pubkey, ids[1].pubkey, 9, ids[1].secret), {}, {format("PongInvalid {{ peer: {} }}", key(1))}},
        {"EntryProposed", SignedEntryAnnouncement(EntryAnnouncement{Hash{}, ids[1].pubkey, 1, 0}, ids[1].secret), {}, {}},
        {"BlockProposal", sp, {}, {"IgnoredProposalAsVesk"}},
        {"BlockSignature", vote_by(1, expected_message()), {}, {format("ReceivedVote {{ slot: 1, from: {} }}", key(1)), "NoProposalPending"}},
        {"StateSyncResponse", ssr, {}, {format("StateSyncResponseUnsolicited {{ responder: {}, slot: 3 }}", key(1))}},
        {"QcRequest",
         QcRequest(ids[1].pubkey, 1, std::nullopt, ids[1].secret),
         {},
         {format("QcRequested {{ from_peer: {}, slot: 1 }}", key(1)),
          format("QcRequestMissing {{ from_peer: {}, slot: 1 }}", key(1))}},
    };
    for (auto& c : cases) {
        SubResult r = leader.receive(c.msg);
        EXPECT_EQ(message_texts(r), c.messages) << c.name;
        EXPECT_EQ(event_texts(r), c.events) << c.name;
    }
}

TEST_F(StateMachineTest, VoteCollectionSequences) {
    Machine leader = make(0);
    QuorumMessage m = expected_message();
    std::string from1 = format("ReceivedVote {{ slot: 1, from: {} }}", key(1));

    // Before the leader processed its own block.
    EXPECT_EQ(event_texts(leader.receive(vote_by(1, m))), (Texts{from1, "NoProposalPending"}));

    give_leader_processed_proposal(leader);
    // Accepted; without the leader's own vote no certificate is formed.
    EXPECT_EQ(event_texts(leader.receive(vote_by(1, m))),
              (Texts{from1, "QuorumPendingSelfVote { slot: 1, vote_count: 1, voting_stake: 1, total_stake: 4 }"}));
    EXPECT_EQ((leader.proposals[{ids[0].pubkey, 1}].votes.size()), 1u);
    EXPECT_EQ(event_texts(leader.receive(vote_by(1, m))), (Texts{from1, format("DuplicateVote {{ from: {} }}", key(1))}));

    QuorumMessage other = m;
    other.leader_view = 1;
    EXPECT_EQ(event_texts(leader.receive(vote_by(1, other))),
              (Texts{from1, format("VoteMismatch {{ slot: 1, from: {} }}", key(1))}));

    SignedQuorumMessage forged = vote_by(2, m);
    forged.signature = vote_by(3, m).signature;
    EXPECT_EQ(event_texts(leader.receive(forged)),
              (Texts{format("ReceivedVote {{ slot: 1, from: {} }}", key(2)),
                     format("VoteSignatureInvalid {{ from: {} }}", key(2))}));

    // Stale, unknown voter, unknown quorum.
    QuorumMessage stale = m;
    stale.slot = 0;
    EXPECT_EQ(event_texts(leader.receive(vote_by(1, stale))), Texts{"StaleVoteIgnored { slot: 0, current_slot: 0 }"});
    SignedQuorumMessage outsider = vote_by(1, m);
    outsider.pubkey = bls::pubkey_from_secret(testkeys::secret(99));
    EXPECT_EQ(event_texts(leader.receive(outsider)), Texts{"VoterUnknown"});
    QuorumMessage far = m;
    far.slot = 100;
    EXPECT_EQ(event_texts(leader.receive(vote_by(1, far))),
              Texts{"QuorumUnknown { slot: 100, msg_kind: \"BlockSignature\" }"});
}

TEST_F(StateMachineTest, VoteQueueTakesOnlyMembersVotesAboveTheTipAtTheLeader) {
    Machine leader = make(0);
    leader.vote_verifier.enabled = true;
    give_leader_processed_proposal(leader);
    QuorumMessage m = expected_message();

    EXPECT_TRUE(leader.receive(vote_by(1, m)).empty());
    EXPECT_EQ(leader.vote_verifier.queue_len(), 1u);

    // Not queued: a vote at the tip, from a non-member, and one whose voter
    // already voted (receive_inner reports the duplicate).
    QuorumMessage stale = m;
    stale.slot = 0;
    EXPECT_FALSE(leader.receive(vote_by(2, stale)).empty());
    SignedQuorumMessage outsider = vote_by(2, m);
    outsider.pubkey = bls::pubkey_from_secret(testkeys::secret(99));
    EXPECT_EQ(event_texts(leader.receive(outsider)), Texts{"VoterUnknown"});
    leader.proposals[{ids[0].pubkey, 1}].votes.emplace_back(ids[3].pubkey, BlsSignature{});
    EXPECT_EQ(event_texts(leader.receive(vote_by(3, m))).back(), format("DuplicateVote {{ from: {} }}", key(3)));
    EXPECT_EQ(leader.vote_verifier.queue_len(), 1u);

    // A node that does not lead the next slot does not queue.
    Machine follower = make(1);
    follower.vote_verifier.enabled = true;
    follower.receive(vote_by(2, m));
    EXPECT_EQ(follower.vote_verifier.queue_len(), 0u);

    // The queue goes through one batch verification.
    leader.vote_verifier.verify_queued();
    EXPECT_EQ(leader.vote_verifier.queue_len(), 0u);
    auto outcome = leader.vote_verifier.pop_ready();
    ASSERT_TRUE(outcome.has_value());
    EXPECT_TRUE(outcome->is_valid());
    EXPECT_FALSE(leader.vote_verifier.pop_ready().has_value());
}

TEST_F(StateMachineTest, PingGetsExactlyOneAddressedPong) {
    Machine follower = make(2);
    SubResult r = follower.receive(Ping(ids[1].pubkey, 42, ids[1].secret));
    EXPECT_TRUE(r.events.empty());
    ASSERT_EQ(message_texts(r), Texts{format("Unicast({}, Pong)", key(1))});
    const Pong& pong = *std::get<Unicast>(r.messages[0]).message.get_if<Pong>();
    EXPECT_EQ(pong.pinger, ids[1].pubkey);
    EXPECT_EQ(pong.responder, ids[2].pubkey);
    EXPECT_EQ(pong.nonce, 42u);
    EXPECT_TRUE(pong.verify());

    Ping forged(ids[1].pubkey, 42, ids[3].secret);
    EXPECT_EQ(event_texts(follower.receive(forged)), Texts{format("PingInvalid {{ peer: {} }}", key(1))});
    BlsPubkey outsider = bls::pubkey_from_secret(testkeys::secret(99));
    EXPECT_EQ(event_texts(follower.receive(Ping(outsider, 1, testkeys::secret(99)))),
              Texts{format("PingUnauthorized {{ peer: {} }}", to_debug(outsider))});
}

TEST_F(StateMachineTest, ReadinessAtTwoThirds) {
    Machine leader = make(0);
    leader.produce_ready = false;
    leader.ping_nonce = 5;
    auto pong_from = [&](size_t i, uint64_t nonce) { return Pong(ids[0].pubkey, ids[i].pubkey, nonce, ids[i].secret); };
    auto connected = [&](size_t i) { return format("PeerConnected {{ peer: {} }}", key(i)); };

    EXPECT_EQ(event_texts(leader.receive(pong_from(1, 6))), Texts{format("PongInvalid {{ peer: {} }}", key(1))});
    EXPECT_EQ(event_texts(leader.receive(pong_from(1, 5))), Texts{connected(1)});
    EXPECT_EQ(event_texts(leader.receive(pong_from(1, 5))), Texts{connected(1)});  // the same member adds nothing
    EXPECT_EQ(event_texts(leader.receive(pong_from(2, 5))), Texts{connected(2)});  // 2 of 4: below two thirds
    EXPECT_FALSE(leader.produce_ready);
    EXPECT_EQ(event_texts(leader.receive(pong_from(3, 5))), (Texts{connected(3), "ProduceReady"}));
    EXPECT_TRUE(leader.produce_ready);
    EXPECT_FALSE(leader.ping_nonce.has_value());
    EXPECT_TRUE(leader.ponged.empty());
    // No ping outstanding any more.
    EXPECT_EQ(event_texts(leader.receive(pong_from(1, 5))), Texts{format("PongInvalid {{ peer: {} }}", key(1))});

    BlsPubkey outsider = bls::pubkey_from_secret(testkeys::secret(99));
    EXPECT_EQ(event_texts(leader.receive(Pong(ids[0].pubkey, outsider, 5, testkeys::secret(99)))),
              Texts{format("PongUnauthorized {{ peer: {} }}", to_debug(outsider))});
}

TEST_F(StateMachineTest, ObserversNeverLeadNorVote) {
    Machine m = make(0);
    m.observer = true;
    EXPECT_FALSE(m.am_vesk_for_slot(1));
    EXPECT_FALSE(m.can_vote());
    SubResult r;
    r.messages.push_back(Unicast{ids[1].pubkey, vote_by(0, expected_message())});
    r.messages.push_back(Broadcast{Ping(ids[0].pubkey, 1, ids[0].secret)});
    m.filter_outgoing_votes(r);
    EXPECT_EQ(message_texts(r), Texts{"Broadcast(Ping)"});

    // Without observer mode only votes for slots outside our views go.
    Machine n = make(0);
    QuorumMessage far = expected_message();
    far.slot = 150;
    SubResult s;
    s.messages.push_back(Unicast{ids[1].pubkey, vote_by(0, far)});
    s.messages.push_back(Unicast{ids[1].pubkey, vote_by(0, expected_message())});
    n.filter_outgoing_votes(s);
    EXPECT_EQ(message_texts(s), Texts{format("Unicast({}, BlockSignature)", key(1))});
}

TEST_F(StateMachineTest, ParkingAndRelease) {
    Machine leader = make(0);
    UnparkEvent ev = unpark::ChainStateReached{3};
    Ping first(ids[1].pubkey, 1, ids[1].secret);
    Ping second(ids[2].pubkey, 2, ids[2].secret);
    EXPECT_EQ(to_debug(leader.park_or_report(first, 4, ev)),
              "ParkedUntilEvent { event: ChainStateReached { block_height: 3 }, msg_kind: \"Ping\" }");
    EXPECT_EQ(to_debug(leader.park_or_report(second, 4, ev)),
              "ParkedUntilEvent { event: ChainStateReached { block_height: 3 }, msg_kind: \"Ping\" }");
    EXPECT_EQ(to_debug(leader.park_or_report(first, 51, ev)), "ParkFailed { msg_kind: \"Ping\" }");

    EXPECT_TRUE(leader.process_parked_messages(unpark::ChainStateReached{9}).empty());
    // Released in parking order, each through the whole intake.
    SubResult r = leader.process_parked_messages(ev);
    EXPECT_EQ(message_texts(r), (Texts{format("Unicast({}, Pong)", key(1)), format("Unicast({}, Pong)", key(2))}));
    EXPECT_TRUE(leader.process_parked_messages(ev).empty());
}

TEST(SubResultTest, AdditionKeepsOrder) {
    SubResult a, b;
    a.messages.push_back(Broadcast{Ping{}});
    a.events.emplace_back(events::VoterUnknown{});
    b.messages.push_back(Unicast{BlsPubkey{}, Pong{}});
    b.events.emplace_back(events::ProduceReady{});
    a += std::move(b);
    ASSERT_EQ(a.messages.size(), 2u);
    EXPECT_TRUE(std::holds_alternative<Broadcast>(a.messages[0]));
    EXPECT_TRUE(std::holds_alternative<Unicast>(a.messages[1]));
    EXPECT_EQ(event_texts(a), (Texts{"VoterUnknown", "ProduceReady"}));
}

}  // namespace
}  // namespace vesk
