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

Texts message_kinds(const SubResult& r) {
    Texts out;
    for (const auto& env : r.messages) {
        const ConsensusMessage& m = std::visit([](const auto& e) -> const ConsensusMessage& { return e.message; }, env);
        out.push_back(format("{}{}", std::holds_alternative<Broadcast>(env) ? "*" : "", m.kind_name()));
    }
    return out;
}

std::vector<Transaction> txs(size_t n) {
    std::vector<Transaction> out;
    for (size_t i = 0; i < n; ++i) {
        Transaction t;
        t.bytes = {static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8)};
        t.id = hashv({t.bytes});
        out.push_back(std::move(t));
    }
    return out;
}

using TickTest = MachineTest;

TEST_F(TickTest, FollowerAndUnpreparedLeader) {
    Machine follower = make(1);
    SubResult f = follower.tick();
    EXPECT_EQ(event_texts(f), Texts{format("BaseProgressCheck {{ vesk_id: {:?} }}", ids[0].pubkey)});
    EXPECT_TRUE(f.messages.empty());
    Machine leader = make(0);
    SubResult l = leader.tick();
    EXPECT_EQ(event_texts(l), Texts{"VeskProgressCheck"});
    EXPECT_TRUE(l.messages.empty());
}

TEST_F(TickTest, PreparedLeaderProposes) {
    tip.message.bank_hash = filled(9);
    Machine leader = make(0);
    leader.txs_per_entry = 2;
    const std::vector<Transaction> added = txs(3);
    leader.pending_txs = added;
    // Two entries of slot 1 on the tip's bank hash: transactions 0 and 1, then 2.
    const Hash expected = expected_entries_hash(
        filled(9), {expected_entry_hash(1, 0, ids[0].pubkey, {added[0].bytes, added[1].bytes}),
                    expected_entry_hash(1, 1, ids[0].pubkey, {added[2].bytes})});
    leader.prepare_next_block();
    EXPECT_EQ((leader.proposals[{ids[0].pubkey, 1}].replayed_entries_hash), expected);
    SubResult r = leader.tick();
    EXPECT_EQ(event_kinds(r), (Texts{"VeskProgressCheck", "NewProposalTimestamp", "VeskProposing", "VoteLockPending",
                                     "SignedProposal", "QuorumPending"}));
    EXPECT_EQ(event_texts(r)[1], format("NewProposalTimestamp {{ slot: 1, producer: {:?}, timestamp: {} }}",
                                        ids[0].pubkey, clock.now().unix_millis()));
    EXPECT_EQ(message_kinds(r), (Texts{"*EntryProposed", "*EntryProposed", "*BlockProposal"}));
    const auto& sp = *std::get<Broadcast>(r.messages[2]).message.get_if<SignedBlockProposalMessage>();
    EXPECT_TRUE(sp.validate());
    EXPECT_EQ(sp.proposal.entry_count, 2u);
    EXPECT_EQ(sp.proposal.leader_view, 0u);  // the first member after a tip nobody produced
    EXPECT_EQ(sp.proposal.parent_qc_id, leader.tip_qc.message.qc_id);
    EXPECT_EQ(sp.proposal.entries_hash, expected);
    EXPECT_TRUE(leader.pending_txs.empty());
    // One proposal per tick: the next tick only votes are pending.
    EXPECT_EQ(event_kinds(leader.tick()), Texts{"VeskProgressCheck"});
}

TEST_F(TickTest, ProposalWithoutTransactions) {
    Machine leader = make(0);
    leader.prepare_next_block();
    SubResult r = leader.tick();
    ASSERT_EQ(message_kinds(r), Texts{"*BlockProposal"});
    const auto& sp = *std::get<Broadcast>(r.messages[0]).message.get_if<SignedBlockProposalMessage>();
    EXPECT_EQ(sp.proposal.entry_count, 0u);
    EXPECT_EQ(sp.proposal.entries_hash, expected_entries_hash(leader.tip_qc.message.bank_hash, {}));
}

TEST_F(TickTest, PreparedRecordOnAnotherParent) {
    Machine leader = make(0);
    leader.prepare_next_block();
    leader.proposals[{ids[0].pubkey, 1}].processed_parent->slot = 3;
    SubResult r = leader.tick();
    EXPECT_EQ(event_texts(r), (Texts{"VeskProgressCheck", "VoteWithheld { slot: 1, reason: DoesNotExtendHead }"}));
    EXPECT_TRUE(r.messages.empty());
}

TEST_F(TickTest, HeadInTheFutureDefersTheProposal) {
    Machine leader = make(0);
    leader.tip_qc.message.timestamp = clock.now().unix_millis() + 5;
    leader.prepare_next_block();
    EXPECT_EQ(event_texts(leader.tick()),
              (Texts{"VeskProgressCheck", "VeskDeferringNonMonotonicProposal { slot: 1, timestamp_delta_ms: -5 }"}));
    clock.advance(5ms);
    EXPECT_EQ(event_kinds(leader.tick())[1], "NewProposalTimestamp");
}

TEST_F(TickTest, ReadinessPing) {
    Machine leader = make(0);
    leader.produce_ready = false;
    leader.next_ping_at_ms = static_cast<uint64_t>(clock.now().unix_millis()) + 1;
    SubResult quiet = leader.tick();
    EXPECT_TRUE(quiet.empty());  // not even VeskProgressCheck
    clock.advance(1ms);
    SubResult ping = leader.tick();
    EXPECT_EQ(event_texts(ping), Texts{"VerifyingProduceReadiness"});
    EXPECT_EQ(message_kinds(ping), Texts{"*Ping"});
    const Ping& p = *std::get<Broadcast>(ping.messages[0]).message.get_if<Ping>();
    EXPECT_EQ(leader.ping_nonce, p.nonce);
    EXPECT_TRUE(p.verify());
    EXPECT_EQ(leader.next_ping_at_ms, static_cast<uint64_t>(clock.now().unix_millis()) + 1000);
}

TEST_F(TickTest, CatchupDeferralExpiresAfterTwoSeconds) {
    Machine m = make(1);
    ShredCatchup c;
    c.target_slot = 30;
    c.deferred_at = clock.now();
    c.query_nonce = 1;
    m.shred_catchup = c;
    clock.advance(1999ms);
    EXPECT_EQ(event_kinds(m.tick()), Texts{"BaseProgressCheck"});
    clock.advance(1ms);
    EXPECT_EQ(event_texts(m.tick()).front(), "ShredsCatchupDeferralExpired { target_slot: 30 }");
    EXPECT_FALSE(m.shred_catchup->deferred_at.has_value());
    EXPECT_NE(m.shred_catchup->query_nonce, 1u);
}

TEST_F(TickTest, AnnouncementsAreCheckedOnceTheirEntryArrives) {
    Machine m = make(1);
    EntryMessage e;
    e.slot = 1;
    e.producer = ids[0].pubkey;
    e.transactions = {{1}};
    Hash announced;
    announced.bytes.fill(3);
    m.seen_announcements[{ids[0].pubkey, 1, 0}] = announced;
    EXPECT_EQ(event_kinds(m.tick()), Texts{"BaseProgressCheck"});
    m.entry_container.add(e);
    EXPECT_EQ(event_texts(m.tick()).front(),
              format("AnnouncementHashMismatch {{ producer_id: {:?}, slot: 1, entry_id: 0, announced_hash: {:?}, "
                     "observed_hash: {:?} }}",
                     ids[0].pubkey, announced, e.hash()));
    EXPECT_EQ(event_kinds(m.tick()), Texts{"BaseProgressCheck"});  // checked once
}

TEST_F(TickTest, FlushCutsEntries) {
    struct Case {
        size_t pending;
        size_t per_entry;
        size_t stored;
        std::vector<size_t> sizes;  // transactions per new entry
        size_t left;
    };
    const Case cases[] = {
        {300, 128, 0, {128, 128, 44}, 0},
        {1000, 128, 250, {128, 128, 128, 128, 128, 128}, 232},
        {10, 128, 256, {}, 10},
        {3, 0, 0, {1, 1, 1}, 0},
    };
    for (const auto& c : cases) {
        Machine m = make(0);
        for (size_t i = 0; i < c.stored; ++i) {
            EntryMessage e;
            e.slot = 1;
            e.index = i;
            e.producer = ids[0].pubkey;
            m.entry_container.add(e);
        }
        m.txs_per_entry = c.per_entry;
        m.pending_txs = txs(c.pending);
        m.flush_pending_txs_to_entries(1);
        auto entries = m.entry_container.get(ids[0].pubkey, 1).value_or(SlotEntriesMap{});
        std::vector<size_t> sizes;
        for (const auto& [index, e] : entries) {
            if (index >= c.stored) sizes.push_back(e.transactions.size());
        }
        EXPECT_EQ(sizes, c.sizes) << c.pending << "/" << c.stored;
        EXPECT_EQ(m.pending_txs.size(), c.left) << c.pending << "/" << c.stored;
        if (!entries.empty() && c.stored == 0) {
            EXPECT_EQ(entries.begin()->second.transactions[0], txs(1)[0].bytes);
        }
    }
}

TEST_F(TickTest, FlushKeepsTransactionsTheSlotRefuses) {
    // The slot already has a header for one entry (proposed before a
    // rotation); the second chunk is refused and must stay pending.
    Machine m = make(0);
    BlockProposalMessage header;
    header.slot = 1;
    header.entry_count = 1;
    header.vesk_id = ids[0].pubkey;
    m.entry_container.finish_slot(header);
    m.txs_per_entry = 2;
    auto all = txs(5);
    m.pending_txs = all;
    m.flush_pending_txs_to_entries(1);
    ASSERT_EQ(m.entry_container.get(ids[0].pubkey, 1)->size(), 1u);
    ASSERT_EQ(m.pending_txs.size(), 3u);
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(m.pending_txs[i], all[2 + i]);
}

}  // namespace
}  // namespace vesk
