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

// n members. The tip is at slot 5, produced by member `tip_producer` at the
// clock's time.
class RotationTest : public MachineTest {
protected:
    void setup(uint32_t n, size_t tip_producer = 0, uint64_t tip_leader_view = 0) {
        seat(n);
        tip.message.slot = 5;
        tip.message.vesk_id = ids[tip_producer].pubkey;
        tip.message.leader_view = tip_leader_view;
        tip.message.timestamp = clock.now().unix_millis();
    }
    Machine make(size_t member, size_t vesk_idx) { return MachineTest::make(member, snapshot(), vesk_idx); }
    std::string rotated(size_t from, size_t to, std::string_view reason) {
        return format("LeaderRotated {{ old_leader: {:?}, new_leader: {:?}, from_slot: 6, reason: {:?} }}",
                      ids[from].pubkey, ids[to].pubkey, std::string(reason));
    }
};

TEST_F(RotationTest, FaultRotatesOnlyTheCurrentLeader) {
    setup(5);
    Machine m = make(2, 4);
    EXPECT_TRUE(m.rotate_for_fault(ids[3].pubkey, EvictionReason::Equivocation).empty());
    EXPECT_EQ(m.vesk_idx, 4u);
    EXPECT_EQ(m.rotations, 0u);

    WallTime before = m.liveness.last_progress_at();
    SubResult r = m.rotate_for_fault(ids[4].pubkey, EvictionReason::TimestampSkewed);
    EXPECT_EQ(event_texts(r), Texts{rotated(4, 0, "fault: TimestampSkewed")});
    EXPECT_EQ(m.vesk_idx, 0u);
    EXPECT_EQ(m.rotations, 1u);
    EXPECT_EQ(m.vesk_id(), ids[0].pubkey);
    // The fault moves the liveness clock on by one step, so the new leader
    // gets a whole timeout.
    EXPECT_EQ(m.liveness.last_progress_at(), before.plus(2s));
}

TEST_F(RotationTest, FaultRotationReleasesParkedMessagesAndCountsLaps) {
    setup(2);
    Machine m = make(1, 0);
    m.park_or_report(Ping(ids[0].pubkey, 3, ids[0].secret), 6, unpark::LeaderRotated{ids[1].pubkey, 6});
    SubResult r = m.rotate_for_fault(ids[0].pubkey, EvictionReason::BlockIdMismatch);
    // A follower answers the released ping after the rotation event; the
    // second rotation completes a lap of two.
    EXPECT_EQ(event_texts(r), Texts{rotated(0, 1, "fault: BlockIdMismatch")});
    EXPECT_EQ(r.messages.size(), 1u);
    SubResult again = m.rotate_for_fault(ids[1].pubkey, EvictionReason::Equivocation);
    EXPECT_EQ(event_texts(again), (Texts{rotated(1, 0, "fault: Equivocation"),
                                         "LivenessLapCompleted { slot: 6, laps: 1, quorum_size: 2 }"}));
}

TEST_F(RotationTest, LivenessTimeoutsDoublePerLap) {
    setup(4);
    Machine m = make(0, 1);
    clock.advance(1999ms);
    EXPECT_TRUE(m.liveness_rotation().empty());
    // 16 s: four 2 s steps fill the first lap, then two 4 s steps.
    clock.advance(14001ms);
    SubResult r = m.liveness_rotation();
    EXPECT_EQ(event_texts(r), (Texts{rotated(1, 3, "liveness"),
                                     "LivenessLapCompleted { slot: 6, laps: 1, quorum_size: 4 }"}));
    EXPECT_EQ(m.vesk_idx, 3u);
    EXPECT_EQ(m.rotations, 6u);
    // The lap in progress takes 4 s a step.
    clock.advance(3999ms);
    EXPECT_TRUE(m.liveness_rotation().empty());
    clock.advance(1ms);
    EXPECT_EQ(event_texts(m.liveness_rotation()), Texts{rotated(3, 0, "liveness")});
}

TEST_F(RotationTest, TimeoutsStopGrowingAtSixteenTimes) {
    setup(4);
    for (uint64_t rotations : {16u, 40u}) {
        Machine m = make(0, 0);
        m.rotations = rotations;
        clock.advance(31999ms);
        EXPECT_TRUE(m.liveness_rotation().empty()) << rotations;
        clock.advance(1ms);
        EXPECT_EQ(m.liveness_rotation().events.size(), 1u) << rotations;
        EXPECT_EQ(m.rotations, rotations + 1);
        tip.message.timestamp = clock.now().unix_millis();
    }
}

TEST_F(RotationTest, NoTimeoutsAtTheFirstSlotAndSingleMemberRotatesToItself) {
    setup(1);
    tip.message.slot = 0;
    Machine genesis = make(0, 0);
    clock.advance(100s);
    EXPECT_TRUE(genesis.liveness_rotation().empty());

    tip.message.slot = 5;
    tip.message.timestamp = clock.now().unix_millis();
    Machine solo = make(0, 0);
    clock.advance(2s);
    EXPECT_EQ(event_texts(solo.liveness_rotation()),
              (Texts{rotated(0, 0, "liveness"), "LivenessLapCompleted { slot: 6, laps: 1, quorum_size: 1 }"}));
}

TEST_F(RotationTest, EligibleLeaderView) {
    setup(5, 1, 7);
    Machine m = make(0, 0);
    EXPECT_EQ(m.eligible_leader_view(ids[2].pubkey), 8u);
    EXPECT_EQ(m.eligible_leader_view(ids[1].pubkey), 7u);
    EXPECT_EQ(m.eligible_leader_view(ids[0].pubkey), 11u);
    EXPECT_FALSE(m.eligible_leader_view(bls::pubkey_from_secret(testkeys::secret(99))).has_value());
    m.rotations = 6;
    EXPECT_EQ(m.eligible_leader_view(ids[2].pubkey), 7u + 1 + 5);

    // At an epoch's first slot positions count from member 0.
    tip.message.slot = 99;
    auto members = testkeys::stake_one_members(ids);
    QuorumView next(100, 200, members);
    Machine e = Machine::new_with_config_and_timestamper(
        ids[0], 0, ChainStateSnapshot{next, tip, std::nullopt, *view, false}, NodeConfig{std::nullopt, 2s, false},
        EntryContainer::make().first, clock);
    EXPECT_EQ(e.eligible_leader_view(ids[0].pubkey), 7u);
    EXPECT_EQ(e.eligible_leader_view(ids[2].pubkey), 9u);
}

TEST_F(RotationTest, SetVeskIdClearsOwnProposalsOnlyOnAChange) {
    setup(4);
    Machine m = make(0, 0);
    auto fill = [&](const BlsPubkey& producer, uint64_t slot) {
        ProposalState& st = m.proposals[{producer, slot}];
        st.proposal = BlockProposalMessage{};
        st.votes.emplace_back(ids[1].pubkey, BlsSignature{});
        st.signed_leader_view = 3;
        st.local_bank_hash = Hash{};
    };
    fill(ids[0].pubkey, 6);
    fill(ids[1].pubkey, 6);
    m.set_vesk_id(ids[0].pubkey, 0, 6, false);
    EXPECT_TRUE(m.proposals.at({ids[0].pubkey, 6}).proposal.has_value());

    m.set_vesk_id(ids[2].pubkey, 2, 6, false);
    const ProposalState& own = m.proposals.at({ids[0].pubkey, 6});
    EXPECT_FALSE(own.proposal.has_value());
    EXPECT_TRUE(own.votes.empty());
    EXPECT_FALSE(own.signed_leader_view.has_value());
    EXPECT_TRUE(own.local_bank_hash.has_value());
    EXPECT_TRUE(m.proposals.at({ids[1].pubkey, 6}).proposal.has_value());  // others' records stay

    // An installed cell follows the leader.
    m.leader_cell = std::make_shared<LeaderCell>();
    m.set_vesk_id(ids[3].pubkey, 3, 6, true);
    EXPECT_EQ(m.leader_cell->leader(), ids[3].pubkey);
    EXPECT_FALSE(m.am_vesk_for_slot(6));
}

}  // namespace
}  // namespace vesk
