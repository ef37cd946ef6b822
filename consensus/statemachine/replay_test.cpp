#include <gtest/gtest.h>

#include "consensus/statemachine/statemachine.hpp"
#include "consensus/test_keys.hpp"

namespace vesk {
namespace {

using namespace std::chrono_literals;
using Machine = VeskStatemachine<SimulatedTimestamper>;
using Forbid = std::optional<std::pair<uint64_t, uint64_t>>;

class VoteLockTest : public testing::Test {
protected:
    VoteLockTest() {
        NodeIdentity id(testkeys::secret(1));
        QuorumView view(0, 100, std::vector<std::pair<BlsPubkey, uint64_t>>{{id.pubkey, 1}});
        machine.emplace(Machine::new_with_config_and_timestamper(
            id, 0, ChainStateSnapshot{std::nullopt, QuorumCertificate{}, std::nullopt, view, false},
            NodeConfig{std::nullopt, 2s, false}, EntryContainer::make().first, SimulatedTimestamper{}));
    }
    Hash h(uint8_t v) {
        Hash x;
        x.bytes.fill(v);
        return x;
    }
    std::optional<Machine> machine;
};

TEST_F(VoteLockTest, LockRules) {
    Machine& m = *machine;
    EXPECT_EQ(m.vote_lock_forbids(5, 0), Forbid{});
    m.record_vote_lock(5, h(1), 2, h(9));
    // The same block's slot at the same or a lower view.
    EXPECT_EQ(m.vote_lock_forbids(5, 2), (Forbid{{5, 2}}));
    EXPECT_EQ(m.vote_lock_forbids(5, 1), (Forbid{{5, 2}}));
    // A higher view at the locked slot is still held while the lock extends
    // something other than the tip.
    EXPECT_EQ(m.vote_lock_forbids(5, 3), (Forbid{{5, 2}}));
    // A lower slot than the highest lock.
    EXPECT_EQ(m.vote_lock_forbids(4, 7), (Forbid{{5, 0}}));
    // A higher slot: the lower lock forbids only below its view.
    EXPECT_EQ(m.vote_lock_forbids(6, 1), (Forbid{{5, 2}}));
    EXPECT_EQ(m.vote_lock_forbids(6, 2), Forbid{});

    // A lock that extended the tip yields to a higher view.
    m.record_vote_lock(7, h(2), 1, m.tip_qc.message.qc_id);
    EXPECT_EQ(m.vote_lock_forbids(7, 2), Forbid{});
    // Recording keeps the higher view.
    m.record_vote_lock(7, h(3), 0, h(4));
    EXPECT_EQ(m.vote_locks.at(7).qc_id, h(2));
    m.record_vote_lock(7, h(5), 3, h(4));
    EXPECT_EQ(m.vote_locks.at(7), (VoteLock{h(5), 3, h(4)}));
}

}  // namespace
}  // namespace vesk
