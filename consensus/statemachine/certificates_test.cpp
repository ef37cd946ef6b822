#include <gtest/gtest.h>

#include <algorithm>
#include <limits>

#include "base/text.hpp"
#include "consensus/statemachine/statemachine.hpp"
#include "consensus/statemachine/test_support.hpp"
#include "consensus/test_keys.hpp"

namespace vesk {
namespace {

using namespace std::chrono_literals;
using namespace testsupport;

class ChainTipTest : public MachineTest {
protected:
    // A statement for `slot` by `producer` extending `parent`.
    QuorumMessage statement(uint64_t slot, size_t producer, const Hash& parent, uint64_t leader_view = 0) const {
        QuorumMessage m;
        m.slot = slot;
        m.parent_qc_id = parent;
        m.leader_view = leader_view;
        m.vesk_id = ids[producer].pubkey;
        m.timestamp = clock.now().unix_millis();
        m.bank_hash.bytes.fill(static_cast<uint8_t>(slot));
        m.qc_id = QuorumMessage::compute_qc_id(m.slot, m.parent_qc_id, m.leader_view, m.entries_hash, m.vesk_id,
                                               m.timestamp, m.bank_hash, m.recovery, m.crosschain);
        return m;
    }
    QuorumCertificate certify(const QuorumMessage& m, std::vector<size_t> signers = {0, 1, 2}) const {
        std::vector<std::pair<size_t, BlsSignature>> sigs;
        for (size_t i : signers) sigs.emplace_back(i, bls::sign(ids[i].secret, m.signing_bytes()));
        return QuorumCertificate(view->view_id, m, sigs);
    }
    std::vector<std::pair<BlsPubkey, BlsSignature>> votes(const QuorumMessage& m, std::vector<size_t> voters) const {
        std::vector<std::pair<BlsPubkey, BlsSignature>> out;
        for (size_t i : voters) out.emplace_back(ids[i].pubkey, bls::sign(ids[i].secret, m.signing_bytes()));
        return out;
    }
    // The leader's own processed proposal for slot 1 on the fresh tip.
    QuorumMessage leader_record(Machine& leader, uint64_t parent_slot = 0) {
        QuorumMessage m = statement(1, 0, leader.tip_qc.message.qc_id);
        ProposalState& st = leader.proposals[{ids[0].pubkey, 1}];
        st.processed_parent = ProcessedParent{Hash{}, ids[0].pubkey, parent_slot};
        return m;
    }
};

TEST_F(ChainTipTest, TallyNeedsTwoThirdsAndTheLeadersOwnVote) {
    Machine leader = make(0);
    QuorumMessage m = leader_record(leader);
    EXPECT_EQ(event_texts(leader.certify_proposal(*view, m, votes(m, {1, 2, 3}))),
              Texts{"QuorumPendingSelfVote { slot: 1, vote_count: 3, voting_stake: 3, total_stake: 4 }"});
    EXPECT_EQ(event_texts(leader.certify_proposal(*view, m, votes(m, {0, 1}))),
              Texts{"QuorumPending { slot: 1, vote_count: 2, voting_stake: 2, total_stake: 4 }"});
    // A voter the view does not know is counted but adds no stake.
    auto with_outsider = votes(m, {0, 1});
    with_outsider.emplace_back(bls::pubkey_from_secret(testkeys::secret(99)), BlsSignature{});
    EXPECT_EQ(event_texts(leader.certify_proposal(*view, m, with_outsider)),
              Texts{"QuorumPending { slot: 1, vote_count: 3, voting_stake: 2, total_stake: 4 }"});
    EXPECT_EQ(leader.tip_slot(), 0u);

    SubResult r = leader.certify_proposal(*view, m, votes(m, {1, 0, 2}));
    ASSERT_EQ(r.messages.size(), 1u);
    const auto& cert = *std::get<Broadcast>(r.messages[0]).message.get_if<QuorumCertificate>();
    EXPECT_EQ(cert.bitmap, 0b111u);
    EXPECT_TRUE(cert.verify(*view));
    EXPECT_EQ(event_kinds(r), (Texts{"QuorumReached", "CertificateValid"}));
    EXPECT_EQ(r.events[0], ConsensusLogEvent(events::QuorumReached{1, 3, 3, 4}));
    EXPECT_EQ(leader.tip_slot(), 1u);
    EXPECT_EQ(leader.tip_qc, cert);
}

TEST_F(ChainTipTest, ProposalMustExtendTheTip) {
    Machine leader = make(0);
    QuorumMessage m = leader_record(leader, 3);
    EXPECT_EQ(event_texts(leader.certify_proposal(*view, m, votes(m, {0, 1, 2}))),
              Texts{"VoteWithheld { slot: 1, reason: DoesNotExtendHead }"});
    QuorumMessage other_parent = statement(1, 0, Hash{{1}});
    leader_record(leader);
    EXPECT_EQ(event_texts(leader.certify_proposal(*view, other_parent, votes(other_parent, {0, 1, 2}))),
              Texts{"VoteWithheld { slot: 1, reason: DoesNotExtendHead }"});
    // A forged vote makes the certificate fail after the quorum.
    auto forged = votes(m, {0, 1, 2});
    forged[2].second = forged[1].second;
    leader_record(leader);
    EXPECT_EQ(event_texts(leader.certify_proposal(*view, m, forged)),
              (Texts{"QuorumReached { slot: 1, vote_count: 3, voting_stake: 3, total_stake: 4 }",
                     "CertificateInvalid { slot: 1 }"}));
}

TEST_F(ChainTipTest, AtTheTopOfTheSlotRangeNoProposalFollowsTheTip) {
    constexpr uint64_t top = std::numeric_limits<uint64_t>::max();
    ChainStateSnapshot snap = snapshot();
    snap.tip_qc = certify(statement(top, 0, Hash{}));
    Machine leader = make(0, snap);
    const QuorumMessage& tip = leader.tip_qc.message;
    // A record for the tip's own slot, on the tip: a saturated tip + 1 would
    // take it for the next slot.
    QuorumMessage m = statement(top, 0, tip.qc_id);
    leader.proposals[{ids[0].pubkey, top}].processed_parent = ProcessedParent{tip.bank_hash, tip.vesk_id, top};
    EXPECT_FALSE(leader.replayed_parent_matches_tip(top, ids[0].pubkey));
    EXPECT_EQ(event_kinds(leader.certify_proposal(*view, m, votes(m, {0, 1, 2}))), Texts{"VoteWithheld"});
    EXPECT_EQ(leader.tip_qc, snap.tip_qc);
}

TEST_F(ChainTipTest, CertificatePath) {
    // Tip at slot 10 by member 0 with leader view 2.
    ChainStateSnapshot snap = snapshot();
    QuorumMessage tip_msg = statement(10, 0, Hash{}, 2);
    snap.tip_qc = certify(tip_msg);
    auto fresh = [&] { return make(1, snap); };
    const Hash& tip_id = tip_msg.qc_id;

    Machine m = fresh();
    EXPECT_EQ(event_texts(m.receive_certificate(snap.tip_qc)), Texts{"CertificateAlreadyKnown { slot: 10 }"});
    EXPECT_EQ(event_texts(m.receive_certificate(certify(statement(100, 0, tip_id)))),
              Texts{"QuorumUnknown { slot: 100, msg_kind: \"Certificate\" }"});
    EXPECT_EQ(event_texts(m.receive_certificate(certify(statement(9, 1, Hash{})))),
              Texts{format("CertificateSuperseded {{ slot: 9, vesk_id: {:?}, current_slot: 10, current_vesk_id: {:?} }}",
                           ids[1].pubkey, ids[0].pubkey)});
    EXPECT_EQ(event_kinds(m.receive_certificate(certify(statement(10, 1, Hash{}, 1)))), Texts{"CertificateSuperseded"});
    QuorumMessage same_view = statement(10, 1, Hash{}, 2);
    EXPECT_EQ(event_texts(m.receive_certificate(certify(same_view))),
              Texts{format("SameViewQcConflict {{ slot: 10, leader_view: 2, vesk_id: {:?}, qc_id: {:?}, "
                           "conflicting_qc_id: {:?} }}",
                           ids[1].pubkey, same_view.qc_id, tip_id)});
    EXPECT_EQ(event_texts(m.receive_certificate(certify(same_view, {0, 1}))), Texts{"CertificateInvalid { slot: 10 }"});
    EXPECT_EQ(event_texts(m.receive_certificate(certify(statement(11, 0, Hash{{9}})))),
              Texts{"CertificateInvalid { slot: 11 }"});
    EXPECT_EQ(event_texts(m.receive_certificate(certify(statement(11, 0, tip_id), {0, 3}))),
              Texts{"CertificateInvalid { slot: 11 }"});
    EXPECT_EQ(m.tip_slot(), 10u);

    // A higher leader view replaces the tip at its own slot.
    QuorumMessage higher = statement(10, 1, Hash{}, 3);
    EXPECT_EQ(event_kinds(m.receive_certificate(certify(higher))).front(), "CertificateValid");
    EXPECT_EQ(m.tip_qc.message.qc_id, higher.qc_id);

    // Jumps of up to 200 slots, without a parent check; beyond, a gap.
    ChainStateSnapshot low = snapshot();
    auto members = testkeys::stake_one_members(ids);
    low.current_view = QuorumView(0, 1000, members);
    view.emplace(low.current_view);
    low.tip_qc = certify(statement(10, 0, Hash{}));
    Machine j = make(1, low);
    EXPECT_EQ(event_texts(j.receive_certificate(certify(statement(211, 0, Hash{})))),
              Texts{"CertificateSlotGap { slot: 211, current_slot: 10 }"});
    EXPECT_EQ(event_kinds(j.receive_certificate(certify(statement(210, 0, Hash{})))).front(), "CertificateValid");
    EXPECT_EQ(j.tip_slot(), 210u);
    EXPECT_FALSE(j.previous_qc.has_value());
}

TEST_F(ChainTipTest, TipMoveEffects) {
    ChainStateSnapshot snap = snapshot();
    QuorumMessage five = statement(5, 0, Hash{});
    snap.tip_qc = certify(five);
    Machine m = make(2, snap);
    // State at or below the new tip goes; above it stays.
    m.proposals[{ids[0].pubkey, 6}];
    m.proposals[{ids[0].pubkey, 7}];
    m.seen_announcements[{ids[0].pubkey, 6, 0}] = Hash{};
    m.checked_announcements.insert({ids[0].pubkey, 7, 0});
    m.proposal_first_seen[{ids[0].pubkey, 6}] = {0, 0};
    m.vote_locks[4] = VoteLock{};
    m.vote_locks[5] = VoteLock{};
    m.pending_replays[Hash{{1}}] = {5, {}};
    m.pending_replays[Hash{{2}}] = {6, {}};
    m.rotations = 3;
    m.tip_persisted = true;
    m.park_or_report(Ping(ids[1].pubkey, 1, ids[1].secret), 6, unpark::ChainStateReached{6});

    QuorumMessage six = statement(6, 0, five.qc_id);
    SubResult r = m.receive_certificate(certify(six));
    // The released ping is answered after CertificateValid.
    EXPECT_EQ(event_kinds(r), Texts{"CertificateValid"});
    EXPECT_EQ(r.messages.size(), 1u);
    EXPECT_EQ(m.tip_slot(), 6u);
    ASSERT_TRUE(m.previous_qc.has_value());
    EXPECT_EQ(m.previous_qc->message.slot, 5u);
    EXPECT_EQ(m.proposals.size(), 1u);
    EXPECT_TRUE(m.seen_announcements.empty());
    EXPECT_EQ(m.checked_announcements.size(), 1u);
    EXPECT_TRUE(m.proposal_first_seen.empty());
    EXPECT_EQ(m.vote_locks.size(), 1u);  // 5 stays, 4 goes
    EXPECT_TRUE(m.vote_locks.contains(5));
    EXPECT_EQ(m.pending_replays.size(), 1u);
    EXPECT_EQ(m.parked.slot_floor(), 5u);
    EXPECT_EQ(m.rotations, 0u);
    EXPECT_FALSE(m.tip_persisted);
    EXPECT_EQ(m.liveness.last_progress_at().unix_millis(), six.timestamp);
    EXPECT_EQ(m.accepted_qcs.rbegin()->first, 6u);
}

TEST_F(ChainTipTest, CertificateOfAnotherProducerMovesLeadership) {
    ChainStateSnapshot snap = snapshot();
    QuorumMessage five = statement(5, 0, Hash{});
    snap.tip_qc = certify(five);
    Machine m = make(3, snap);
    QuorumMessage six = statement(6, 2, five.qc_id);
    SubResult r = m.receive_certificate(certify(six));
    EXPECT_EQ(event_kinds(r), (Texts{"CertificateValid", "LeaderRotated"}));
    EXPECT_EQ(event_texts(r)[1],
              format("LeaderRotated {{ old_leader: {:?}, new_leader: {:?}, from_slot: 7, reason: \"received QC produced by "
                     "a different vesk id\" }}",
                     ids[0].pubkey, ids[2].pubkey));
    EXPECT_EQ(m.vesk_idx, 2u);

    // At the last slot of the view nothing rotates.
    snap.tip_qc = certify(statement(98, 0, Hash{}));
    Machine last = make(3, snap);
    EXPECT_EQ(event_kinds(last.receive_certificate(certify(statement(99, 1, snap.tip_qc.message.qc_id)))),
              Texts{"CertificateValid"});
    EXPECT_EQ(last.vesk_idx, 0u);
}

TEST_F(ChainTipTest, EpochSwitch) {
    std::vector<std::pair<BlsPubkey, uint64_t>> members;
    for (size_t i = 0; i < 4; ++i) members.emplace_back(ids[i].pubkey, i == 2 ? 9 : 1);
    QuorumView next(100, 200, members);  // member 2 is its first
    ChainStateSnapshot snap = snapshot();
    snap.next_view = next;
    QuorumMessage m98 = statement(98, 0, Hash{});
    snap.tip_qc = certify(m98);
    Machine m = make(1, snap);
    SubResult r = m.receive_certificate(certify(statement(99, 0, m98.qc_id)));
    EXPECT_EQ(event_texts(r).at(1),
              format("LeaderRotated {{ old_leader: {:?}, new_leader: {:?}, from_slot: 100, reason: \"resetting to "
                     "vesk idx 0 into new epoch\" }}",
                     ids[0].pubkey, ids[2].pubkey));
    EXPECT_EQ(m.vesk_idx, 0u);
    EXPECT_EQ(m.vesk_id(), ids[2].pubkey);
    EXPECT_TRUE(m.next_view.has_value());  // not yet promoted

    // The first certificate of the new epoch promotes it.
    QuorumMessage m100 = statement(100, 2, m.tip_qc.message.qc_id);
    std::vector<std::pair<size_t, BlsSignature>> sigs;
    sigs.emplace_back(*next.find_pubkey_index(ids[2].pubkey), bls::sign(ids[2].secret, m100.signing_bytes()));
    QuorumCertificate c100(next.view_id, m100, sigs);
    EXPECT_EQ(event_kinds(m.receive_certificate(c100)), Texts{"CertificateValid"});
    EXPECT_FALSE(m.next_view.has_value());
    EXPECT_EQ(m.current_view.view_id, next.view_id);
}

TEST_F(ChainTipTest, AcceptedCertificatesKeepTheLast256Slots) {
    Machine m = make(0);
    for (uint64_t s = 0; s <= 300; ++s) {
        QuorumCertificate c;
        c.message.slot = s;
        m.record_accepted_cert(c);
    }
    EXPECT_EQ(m.accepted_qcs.size(), 256u);
    EXPECT_EQ(m.accepted_qcs.begin()->first, 45u);
    EXPECT_EQ(m.accepted_qcs.rbegin()->first, 300u);
}

TEST_F(ChainTipTest, TipMoveToSlotZeroSkipsTheCleanups) {
    Machine m = make(0);
    m.vote_locks[0] = VoteLock{};
    QuorumMessage zero = statement(0, 0, Hash{}, 1);
    EXPECT_EQ(event_kinds(m.move_chain_tip(certify(zero))), Texts{"CertificateValid"});
    EXPECT_EQ(m.vote_locks.size(), 1u);
    EXPECT_EQ(m.accepted_qcs.size(), 0u);  // slot 0 sits at the floor
    EXPECT_THROW(
        {
            Machine n = make(0);
            n.move_chain_tip(certify(statement(3, 0, Hash{})));
            n.move_chain_tip(certify(statement(2, 0, Hash{})));
        },
        ContractFailure);
}

}  // namespace
}  // namespace vesk
