// Clusters of state machines certifying blocks on their own.
#include <gtest/gtest.h>

#include "consensus/statemachine/test_cluster.hpp"

namespace vesk {
namespace {

using testcluster::Cluster;
using testcluster::Machine;
using namespace std::chrono_literals;

TEST(Cluster, FourNodesCertifyTwentyFiveSlotsInARow) {
    Cluster c(4, false);
    for (uint64_t slot = 1; slot <= 25; ++slot) {
        c.round(0);
        const Machine& leader = c.nodes[0];
        ASSERT_EQ(leader.tip_slot(), slot) << "slot " << slot;
        for (const Machine& m : c.nodes) {
            EXPECT_EQ(m.tip_qc, leader.tip_qc) << "slot " << slot;
            // Nothing at or below the tip is kept.
            for (const auto& [key, st] : m.proposals) EXPECT_GT(key.second, slot);
            for (const auto& [s, lock] : m.vote_locks) EXPECT_GE(s + 1, slot);
            EXPECT_EQ(m.accepted_qcs.rbegin()->first, slot);
            EXPECT_LE(m.accepted_qcs.size(), 256u);
        }
        const QuorumCertificate& qc = leader.tip_qc;
        EXPECT_TRUE(qc.verify(*c.view));
        size_t signers = static_cast<size_t>(__builtin_popcountll(qc.bitmap));
        EXPECT_GE(3 * signers, 2 * 4u) << "slot " << slot;
        EXPECT_TRUE(qc.bitmap & 1) << "the leader's own vote is in every certificate";
        EXPECT_EQ(qc.message.vesk_id, leader.identity.pubkey);
    }
    EXPECT_EQ(c.count("CertificateInvalid"), 0u);
    EXPECT_EQ(c.count("VoteWithheld"), 0u);
}

TEST(Cluster, NineNodesWithBatchedVotesAndTransactions) {
    Cluster c(9, true);
    for (uint64_t slot = 1; slot <= 30; ++slot) {
        c.round(5);
        ASSERT_EQ(c.nodes[0].tip_slot(), slot);
        for (const Machine& m : c.nodes) ASSERT_EQ(m.tip_qc, c.nodes[0].tip_qc) << "slot " << slot;
        EXPECT_TRUE(c.nodes[0].pending_txs.empty());
    }
    EXPECT_EQ(c.count("VoteSignatureInvalid"), 0u);
    EXPECT_EQ(c.count("AnnouncementHashMismatch"), 0u);
}

TEST(Cluster, SilentLeaderIsRotatedAwayAndCertificationGoesOn) {
    Cluster c(9, true);
    for (int i = 0; i < 3; ++i) c.round(1);
    ASSERT_EQ(c.nodes[1].tip_slot(), 3u);
    uint64_t lv = c.nodes[1].tip_qc.message.leader_view;

    c.silent[0] = true;
    c.round(1);
    EXPECT_EQ(c.nodes[1].tip_slot(), 3u);
    c.clock.advance(2s);
    // Every live node's tick counts the timeout and moves to member 1.
    for (size_t i = 1; i < 9; ++i) c.collect(i, c.nodes[i].tick());
    ASSERT_EQ(c.leader(), 1u);
    c.deliver_all();
    for (int i = 0; i < 3; ++i) c.round(1);
    const Machine& m = c.nodes[2];
    EXPECT_EQ(m.tip_slot(), 6u);
    EXPECT_EQ(m.tip_qc.message.vesk_id, c.nodes[1].identity.pubkey);
    // The first block after the rotation carries the next leader view.
    EXPECT_EQ(m.previous_qc->message.leader_view, lv + 1);
    EXPECT_GE(c.count("LeaderRotated"), 8u);
}

TEST(Cluster, ForgedVoteIsReportedAndNotCounted) {
    Cluster c(9, true);
    c.round(0);
    BlsSignature forged = bls::sign(testkeys::secret(1234), as_bytes("not a vote"));
    c.tamper = [&](size_t, ConsensusMessage& msg) {
        if (auto* v = std::get_if<SignedQuorumMessage>(&msg.payload)) {
            if (v->pubkey == c.nodes[3].identity.pubkey) v->signature = forged;
        }
    };
    for (int i = 0; i < 3; ++i) c.round(0);
    EXPECT_EQ(c.nodes[0].tip_slot(), 4u);
    EXPECT_EQ(c.count("VoteSignatureInvalid"), 3u);
    EXPECT_FALSE(c.nodes[0].tip_qc.bitmap & (uint64_t{1} << 3));
}

}  // namespace
}  // namespace vesk
