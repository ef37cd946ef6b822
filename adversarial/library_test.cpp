// The built-in scenarios: their data, and what running them shows. Every
// expectation below follows from the schedule: nine nodes of stake 1 need six
// votes for a certificate, node 0 leads throughout, a follower sends only
// votes (to the leader), and a certificate for a later slot brings a node
// that missed some back to the tip.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "adversarial/library.hpp"
#include "base/text.hpp"

namespace vesk {
namespace {

using Crash = Fault::Crash;
using Recover = Fault::Recover;
using Partition = Fault::Partition;
using DropMessages = Fault::DropMessages;
using FlipFlopPartition = Fault::FlipFlopPartition;

std::vector<uint64_t> slots_up_to(uint64_t n) {
    std::vector<uint64_t> out;
    for (uint64_t s = 1; s <= n; ++s) out.push_back(s);
    return out;
}

std::vector<std::pair<size_t, uint64_t>> tips(std::map<size_t, uint64_t> exceptions, uint64_t rest) {
    std::vector<std::pair<size_t, uint64_t>> out;
    for (size_t i = 0; i < 9; ++i) out.emplace_back(i, exceptions.contains(i) ? exceptions[i] : rest);
    return out;
}

size_t count_kind(const SimResult& r, auto pred) {
    return std::count_if(r.log.events.begin(), r.log.events.end(), pred);
}

template <class K>
size_t count_of(const SimResult& r) {
    return count_kind(r, [](const SimEvent& e) { return e.is<K>(); });
}

std::string first_line(const std::string& s) { return s.substr(0, s.find('\n')); }

void expect_all_pass(const SimResult& r) {
    ASSERT_EQ(r.invariants.size(), 5u);
    for (const InvariantResult& i : r.invariants) EXPECT_TRUE(i.passed) << i.name << ": " << i.message;
    EXPECT_EQ(count_of<SimEvent::InvariantViolated>(r), 0u);
}

// One certificate per round: LeaderFinalized {r + 1} in every round r.
void expect_one_slot_per_round(const SimResult& r, uint64_t rounds) {
    EXPECT_EQ(r.finalized_slots, slots_up_to(rounds));
    EXPECT_EQ(r.leader_finalized, rounds);
    uint64_t next_round = 0;
    for (const SimEvent& e : r.log.events) {
        if (const auto* f = e.get_if<SimEvent::LeaderFinalized>()) {
            EXPECT_EQ(e.round, next_round);
            EXPECT_EQ(f->slot, next_round + 1);
            EXPECT_EQ(f->node, 0u);
            ++next_round;
        }
    }
    EXPECT_EQ(next_round, rounds);
}

Scenario named(std::string_view name) {
    for (Scenario& s : library::all_scenarios()) {
        if (s.name == name) return s;
    }
    ADD_FAILURE() << "no scenario " << name;
    return {};
}

TEST(Library, TenScenariosInListingOrder) {
    struct Row {
        const char* name;
        const char* description;
        uint64_t rounds;
        std::vector<ScheduledFault> faults;
    };
    const std::vector<Row> rows{
        {"happy-path", "No faults \u2014 baseline honest operation", 50, {}},
        {"single-crash", "One base node crashes mid-run", 30, {{10, 30, {Crash{3, 10}}}}},
        {"minority-crash", "2 of 6 nodes crash", 30, {{5, 30, {Crash{4, 5}}}, {5, 30, {Crash{5, 5}}}}},
        {"majority-crash",
         "4 of 6 nodes crash \u2014 tests liveness failure",
         20,
         {{5, 20, {Crash{2, 5}}}, {5, 20, {Crash{3, 5}}}, {5, 20, {Crash{4, 5}}}, {5, 20, {Crash{5, 5}}}}},
        {"leader-crash-recover",
         "Leader crashes then restarts after 10 rounds",
         30,
         {{5, 15, {Crash{1, 5}}}, {15, 30, {Recover{1, 15}}}}},
        {"partition-minority",
         "Minority partition: 2 nodes split from 4",
         30,
         {{5, 20, {Partition{{1, 2, 3, 4}, {5, 6}}}}}},
        {"partition-even",
         "Even split: 3 vs 3 \u2014 neither has supermajority",
         30,
         {{5, 20, {Partition{{1, 2, 3}, {4, 5, 6}}}}}},
        {"message-drops", "Messages to/from node 3 are dropped for 10 rounds", 30, {{5, 15, {DropMessages{3}}}}},
        {"flip-flop-partition",
         "Network alternates between partitioned and connected every 3 rounds",
         30,
         {{0, 31, {FlipFlopPartition{{1, 2, 3}, {4, 5, 6}, 3}}}}},
        {"stress-test",
         "High transaction volume with multiple concurrent faults",
         100,
         {{20, 40, {Crash{5, 20}}},
          {30, 50, {DropMessages{3}}},
          {50, 70, {Partition{{1, 2, 3, 4, 5}, {6, 7, 8, 9, 10}}}}}},
    };
    const std::vector<Scenario> all = library::all_scenarios();
    ASSERT_EQ(all.size(), rows.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(rows[i].name);
        EXPECT_EQ(all[i].name, rows[i].name);
        EXPECT_EQ(all[i].description, rows[i].description);
        EXPECT_EQ(all[i].rounds, rows[i].rounds);
        EXPECT_EQ(all[i].seed, 42u);
        EXPECT_EQ(all[i].faults, rows[i].faults);
    }
    // The dash is the em dash, three bytes in UTF-8.
    EXPECT_EQ(all[0].description.substr(10, 3), "\xe2\x80\x94");

    // The single-scenario builders give the same scenarios.
    const Scenario singles[] = {library::single_crash(),
                                library::minority_crash(),
                                library::majority_crash(),
                                library::leader_crash_and_recover(),
                                library::network_partition_minority(),
                                library::network_partition_even(),
                                library::message_drops(),
                                library::flip_flop_partition(),
                                library::stress_test()};
    for (size_t i = 0; i < 9; ++i) {
        EXPECT_EQ(singles[i].name, all[i + 1].name);
        EXPECT_EQ(singles[i].faults, all[i + 1].faults);
    }
}

TEST(Library, StressTestScheduleInForce) {
    const Scenario s = library::stress_test();
    const std::vector<Fault> at55 = active_faults(s.faults, 55);
    EXPECT_TRUE(ConsensusSimulator::should_drop_message(2, 7, at55));
    EXPECT_FALSE(ConsensusSimulator::should_drop_message(0, 7, at55));
    EXPECT_FALSE(ConsensusSimulator::should_drop_message(7, 0, at55));
    // From round 40 on node 5 is up again; in 30..39 it is down.
    EXPECT_TRUE(is_crashed(5, 35, active_faults(s.faults, 35)));
    EXPECT_FALSE(is_crashed(5, 40, active_faults(s.faults, 40)));
    // Leader-crash-recover: node 1, not the leader, is down in 5..14.
    const Scenario lcr = library::leader_crash_and_recover();
    for (uint64_t r = 0; r < 30; ++r) {
        const auto active = active_faults(lcr.faults, r);
        EXPECT_EQ(is_crashed(1, r, active), r >= 5 && r < 15) << "round " << r;
        EXPECT_FALSE(is_crashed(0, r, active));
    }
}

TEST(Library, HappyPath) {
    const SimResult r = named("happy-path").run();
    expect_one_slot_per_round(r, 50);
    expect_all_pass(r);
    EXPECT_EQ(r.per_node, tips({}, 50));
    EXPECT_EQ(r.invariants[1].message, "50 blocks finalized out of 51 events");
    EXPECT_EQ(r.log.events.size(), 51u);
    EXPECT_NE(r.summary().find("Leader finalized: 50, Lagging: [none], Invariants:\n"), std::string::npos);
}

TEST(Library, SingleCrashLeavesTheNodeAtTheLastSlotItSaw) {
    // Node 3 saw slot 10 certified in round 9; the other eight go on.
    const SimResult r = named("single-crash").run();
    expect_one_slot_per_round(r, 30);
    expect_all_pass(r);
    EXPECT_EQ(r.per_node, tips({{3, 10}}, 30));
    EXPECT_NE(first_line(r.summary()).find("Leader finalized: 30, Lagging: [node 3@slot 10], Invariants:"),
              std::string::npos);
    EXPECT_EQ(count_of<SimEvent::MessageDropped>(r) + count_of<SimEvent::Note>(r), 0u);
}

TEST(Library, MinorityCrashKeepsAQuorum) {
    // Seven of nine still vote: enough for six.
    const SimResult r = named("minority-crash").run();
    expect_one_slot_per_round(r, 30);
    expect_all_pass(r);
    EXPECT_EQ(r.per_node, tips({{4, 5}, {5, 5}}, 30));
    EXPECT_NE(r.summary().find("Lagging: [node 4@slot 5, node 5@slot 5]"), std::string::npos);
}

TEST(Library, MajorityCrashFinalizesNothingOnceFourAreDown) {
    // From round 5 five of nine remain, one short of a certificate. Every
    // node saw slots 1 to 5 before that, so none lags the leader.
    const SimResult r = named("majority-crash").run();
    EXPECT_EQ(r.summary(),
              "Rounds: 5, Finalized slots: [1, 2, 3, 4, 5], Leader finalized: 5, Lagging: [none], Invariants:\n"
              "  [PASS] Safety: No forks detected\n"
              "  [PASS] Liveness: 5 blocks finalized out of 6 events\n"
              "  [PASS] Consistency: Chain is consistent\n"
              "  [PASS] NoForks: No duplicate heights\n"
              "  [PASS] MonotonicHeights: Heights are monotonic");
    EXPECT_EQ(r.per_node, tips({}, 5));
    for (const SimEvent& e : r.log.events) {
        if (e.is<SimEvent::LeaderFinalized>()) {
            EXPECT_LT(e.round, 5u);
        }
    }
}

TEST(Library, LeaderCrashRecoverCrashesAFollowerOnly) {
    // The crashed node is node 1, not the harness's leader: no round is
    // skipped, eight voters certify every slot, and node 1 catches up with
    // the first certificate it gets after round 14.
    const SimResult r = named("leader-crash-recover").run();
    expect_one_slot_per_round(r, 30);
    expect_all_pass(r);
    EXPECT_EQ(count_of<SimEvent::Note>(r), 0u);
    EXPECT_EQ(r.per_node, tips({}, 30));
}

TEST(Library, PartitionBetweenFollowersDropsNothing) {
    // Followers only vote to the leader, which is in neither group.
    const SimResult r = named("partition-minority").run();
    expect_one_slot_per_round(r, 30);
    expect_all_pass(r);
    EXPECT_EQ(count_of<SimEvent::MessageDropped>(r), 0u);
    EXPECT_EQ(r.per_node, tips({}, 30));
}

TEST(Library, MessageDropsOnlyInItsWindowAndRunsAreDeterministic) {
    const Scenario s = named("message-drops");
    const SimResult r = s.run();
    // Each round the leader's announcement, proposal and certificate to node
    // 3 are dropped; node 3 never gets a proposal, so it sends nothing.
    std::map<uint64_t, size_t> per_round;
    for (const SimEvent& e : r.log.events) {
        if (const auto* d = e.get_if<SimEvent::MessageDropped>()) {
            EXPECT_EQ(d->from, 0u);
            EXPECT_EQ(d->to, 3u);
            ++per_round[e.round];
        }
    }
    std::map<uint64_t, size_t> expected;
    for (uint64_t round = 5; round < 15; ++round) expected[round] = 3;
    EXPECT_EQ(per_round, expected);
    expect_one_slot_per_round(r, 30);
    expect_all_pass(r);
    EXPECT_EQ(r.per_node, tips({}, 30));
    EXPECT_EQ(r.invariants[1].message, "30 blocks finalized out of 61 events");

    // A second run of the same scenario: same history, tips, log and report.
    const SimResult again = s.run();
    EXPECT_EQ(again.finalized_slots, r.finalized_slots);
    EXPECT_EQ(again.per_node, r.per_node);
    EXPECT_EQ(again.log, r.log);
    EXPECT_EQ(again.summary(), r.summary());
    EXPECT_EQ(s.faults, named("message-drops").faults);
}

TEST(Library, StressTest) {
    // Node 5 down in 20..39 and node 3 cut off in 30..49 leave at least seven
    // voters; the partition of 50..69 is between followers only.
    const SimResult r = named("stress-test").run();
    expect_one_slot_per_round(r, 100);
    expect_all_pass(r);
    EXPECT_EQ(r.per_node, tips({}, 100));
    size_t drops = 0;
    for (const SimEvent& e : r.log.events) {
        if (const auto* d = e.get_if<SimEvent::MessageDropped>()) {
            EXPECT_TRUE(e.round >= 30 && e.round < 50) << "round " << e.round;
            EXPECT_EQ(d->to, 3u);
            ++drops;
        }
    }
    EXPECT_EQ(drops, 20u * 3);
}

}  // namespace
}  // namespace vesk
