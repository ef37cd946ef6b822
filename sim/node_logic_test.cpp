#include "sim/node_logic.hpp"

#include <gtest/gtest.h>

#include <deque>

#include "consensus/statemachine/test_support.hpp"

namespace vesk {
namespace {

using namespace std::chrono_literals;
using Node = SimNode<SimulatedTimestamper>;
using Msg = Node::Message;
using testsupport::expected_entries_hash;
using testsupport::expected_entry_hash;
using testsupport::rotation_members;

// Nodes built as the node builders build them: queued vote verification on.
struct Nodes {
    SimulatedTimestamper clock;
    testsupport::RotationMembers members = rotation_members(4);
    std::vector<Node> nodes;
    std::deque<std::pair<size_t, ConsensusMessage>> wire;
    std::vector<LogEvent<BlsPubkey, ConsensusLogEvent>> logs;

    Nodes() {
        for (const NodeIdentity& id : members.ids) {
            auto m = Node::Machine::new_with_config_and_timestamper(
                id, 0, ChainStateSnapshot{std::nullopt, QuorumCertificate{}, std::nullopt, members.view, false},
                NodeConfig{EquivocationDetector{}, 2s, false}, EntryContainer::make().first, clock);
            m.vote_verifier.enabled = true;
            nodes.emplace_back(std::move(m));
        }
    }

    size_t index_of(const BlsPubkey& k) const {
        for (size_t i = 0; i < nodes.size(); ++i) {
            if (nodes[i].get_id() == k) return i;
        }
        return nodes.size();
    }

    // As the network does: a broadcast reaches every node, the sender too.
    void route(size_t from, ConsensusNodeLogic::Result r) {
        for (const auto& l : r.logs) {
            EXPECT_EQ(l.source, nodes[from].get_id());
            EXPECT_EQ(l.timestamp, r.logs.front().timestamp);  // one stamp per step
        }
        logs.insert(logs.end(), r.logs.begin(), r.logs.end());
        for (Msg& m : r.messages) {
            if (auto* b = std::get_if<Msg::Broadcast>(&m.value)) {
                for (size_t t = 0; t < nodes.size(); ++t) wire.emplace_back(t, b->msg);
            } else {
                auto& u = std::get<Msg::Unicast>(m.value);
                wire.emplace_back(index_of(u.to), std::move(u.msg));
            }
        }
    }

    void deliver_all() {
        for (int waves = 0; !wire.empty() && waves < 100; ++waves) {
            std::deque<std::pair<size_t, ConsensusMessage>> wave;
            wave.swap(wire);
            for (auto& [to, msg] : wave) {
                if (to < nodes.size()) route(to, nodes[to].receive(std::move(msg)));
            }
            for (size_t i = 0; i < nodes.size(); ++i) {
                if (nodes[i].tick_requested()) route(i, nodes[i].tick());
            }
        }
    }

    void round() {
        for (size_t i = 0; i < nodes.size(); ++i) route(i, nodes[i].tick());
        deliver_all();
        clock.advance(10ms);
    }
};

size_t count_kind(const std::vector<LogEvent<BlsPubkey, ConsensusLogEvent>>& logs, std::string_view kind) {
    size_t n = 0;
    for (const auto& l : logs) {
        std::string t = to_debug(l.message);
        n += t.substr(0, t.find(' ')) == kind;
    }
    return n;
}

Transaction tx(uint32_t i) {
    Transaction t;
    t.bytes = {static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i >> 16)};
    t.id = hashv({t.bytes});
    return t;
}

BlockProposalMessage header(uint64_t slot, const Hash& parent, const BlsPubkey& leader, uint8_t tag = 0) {
    BlockProposalMessage h;
    h.slot = slot;
    h.parent_qc_id = parent;
    h.vesk_id = leader;
    h.entries_hash = testsupport::filled(tag);
    return h;
}

ConsensusMessage proposal_msg(const BlockProposalMessage& h, const BlsPubkey& signer) {
    return ConsensusMessage(SignedBlockProposalMessage{BlsSignature{}, signer, h});
}

TEST(SimNode, CertifiesBlocksThroughTickAndReceiveOnly) {
    Nodes c;
    for (int i = 0; i < 12; ++i) c.round();
    for (const Node& n : c.nodes) {
        EXPECT_GE(n.state.tip_slot(), 5u);
        EXPECT_TRUE(n.can_receive());
    }
    EXPECT_GE(count_kind(c.logs, "BlockReplayed"), 5u);
    EXPECT_EQ(count_kind(c.logs, "EntriesHashMismatch"), 0u);
    EXPECT_EQ(count_kind(c.logs, "BlindSigningGap"), 0u);
}

TEST(SimNode, BlockProductionFillsTheLeadersRecordOnce) {
    Nodes c;
    Node& leader = c.nodes[0];
    ASSERT_TRUE(leader.state.am_vesk_for_slot(1));
    const BlsPubkey id = leader.get_id();
    const Hash tip_bank = leader.state.tip_qc.message.bank_hash;

    struct Case {
        size_t stored, pending, per, entries;
    };
    for (Case k : {Case{0, 0, 128, 0}, Case{0, 300, 128, 3}, Case{200, 10000, 128, 256}, Case{0, 5, 0, 5},
                   Case{256, 10, 1, 256}}) {
        SCOPED_TRACE(format("stored {} pending {} per {}", k.stored, k.pending, k.per));
        Nodes fresh;
        Node& n = fresh.nodes[0];
        for (size_t i = 0; i < k.stored; ++i) {
            ASSERT_EQ(n.state.entry_container.add(EntryMessage{{tx(static_cast<uint32_t>(100000 + i)).bytes}, 1, i, id, false}),
                      AddOutcome::Added);
        }
        for (uint32_t i = 0; i < k.pending; ++i) n.state.pending_txs.push_back(tx(i));
        n.state.txs_per_entry = k.per;

        // The stored entries, then the pending transactions cut into entries
        // of `per` (one each when 0) numbered on from them, 256 in all at most.
        std::vector<Hash> entries;
        for (size_t i = 0; i < k.stored; ++i) {
            entries.push_back(expected_entry_hash(1, i, id, {tx(static_cast<uint32_t>(100000 + i)).bytes}));
        }
        const size_t per = k.per == 0 ? 1 : k.per;
        for (size_t start = 0; start < k.pending && entries.size() < 256; start += per) {
            std::vector<std::vector<uint8_t>> chunk;
            for (size_t i = start; i < std::min(k.pending, start + per); ++i) {
                chunk.push_back(tx(static_cast<uint32_t>(i)).bytes);
            }
            entries.push_back(expected_entry_hash(1, entries.size(), id, chunk));
        }
        ASSERT_EQ(entries.size(), k.entries);
        const Hash expected = expected_entries_hash(tip_bank, entries);

        EXPECT_TRUE(n.sim_block_production().empty());
        const ProposalState& st = n.state.proposals.at({id, 1});
        EXPECT_EQ(st.local_bank_hash, Hash{});
        EXPECT_EQ(st.replayed_entries_hash, expected);
        EXPECT_EQ(st.processed_parent, (ProcessedParent{tip_bank, n.state.tip_qc.message.vesk_id, 0}));
        EXPECT_EQ(n.state.pending_txs.size(), k.pending);  // copied, not taken

        // The record must match what the tick really cuts: else the
        // proposal is deferred without a word.
        const ConsensusNodeLogic::Result ticked = n.tick();
        std::optional<BlockProposalMessage> proposed;
        for (const Msg& m : ticked.messages) {
            if (const auto* b = std::get_if<Msg::Broadcast>(&m.value)) {
                if (const auto* p = b->msg.get_if<SignedBlockProposalMessage>()) proposed = p->proposal;
            }
        }
        ASSERT_TRUE(proposed);
        EXPECT_EQ(proposed->entry_count, k.entries);
        EXPECT_EQ(proposed->entries_hash, expected);

        // A second step before the tip moves leaves the record as it was.
        n.state.pending_txs.push_back(tx(999999));
        n.sim_block_production();
        EXPECT_EQ(n.state.proposals.at({id, 1}).replayed_entries_hash, expected);
    }

    // A node that does not lead the next slot leaves `proposals` alone.
    Node& follower = c.nodes[1];
    ASSERT_FALSE(follower.state.am_vesk_for_slot(1));
    follower.sim_block_production();
    EXPECT_TRUE(follower.state.proposals.empty());
}

TEST(SimNode, ReceivedProposalExtendingTheTipIsReplayedAndVotedFor) {
    Nodes c;
    ConsensusNodeLogic::Result lead = c.nodes[0].tick();
    std::optional<ConsensusMessage> proposal;
    for (Msg& m : lead.messages) {
        auto& b = std::get<Msg::Broadcast>(m.value);
        EXPECT_FALSE(b.delay.has_value());
        if (b.msg.get_if<SignedBlockProposalMessage>()) proposal = b.msg;
    }
    ASSERT_TRUE(proposal);
    const BlockProposalMessage& h = proposal->get_if<SignedBlockProposalMessage>()->proposal;

    Node& f = c.nodes[1];
    ConsensusNodeLogic::Result r = f.receive(*proposal);
    EXPECT_TRUE(f.replay_store.empty());
    const ProposalState& st = f.state.proposals.at({c.nodes[0].get_id(), 1});
    EXPECT_EQ(st.local_bank_hash, Hash{});
    EXPECT_EQ(st.replayed_entries_hash, h.entries_hash);
    EXPECT_EQ(count_kind(r.logs, "BlockReplayed"), 1u);
    bool voted = false;
    for (const Msg& m : r.messages) {
        if (const auto* b = std::get_if<Msg::Broadcast>(&m.value)) voted |= b->msg.get_if<SignedQuorumMessage>() != nullptr;
        if (const auto* u = std::get_if<Msg::Unicast>(&m.value)) voted |= u->msg.get_if<SignedQuorumMessage>() != nullptr;
    }
    EXPECT_TRUE(voted);
}

TEST(SimNode, ReplayStoreHandsOverOnlyWhatExtendsTheTip) {
    Nodes c;
    Node& f = c.nodes[1];
    const BlsPubkey a = c.nodes[2].get_id(), b = c.nodes[3].get_id();
    const Hash tip_qc = f.state.tip_qc.message.qc_id;
    const Hash next_qc = testsupport::filled(7);

    f.replay_store[{a, 2}] = header(2, next_qc, a);         // later slot: waits for the tip
    f.replay_store[{b, 1}] = header(1, testsupport::filled(9), b);  // wrong parent: waits, then dropped
    f.replay_store[{a, 1}] = header(1, tip_qc, a, 1);       // extends the tip
    f.replay_store[{b, 0}] = header(0, tip_qc, b);          // at the tip: dropped
    f.sim_replay();
    EXPECT_EQ(f.replay_store.size(), 2u);
    EXPECT_TRUE(f.replay_store.count({a, 2}) && f.replay_store.count({b, 1}));
    EXPECT_EQ(f.state.proposals.at({a, 1}).replayed_entries_hash, testsupport::filled(1));
    EXPECT_FALSE(f.state.proposals.count({b, 1}));

    // The tip reaches slot 1: the slot-2 header now extends it.
    f.state.tip_qc.message.slot = 1;
    f.state.tip_qc.message.qc_id = next_qc;
    f.sim_replay();
    EXPECT_TRUE(f.replay_store.empty());
    EXPECT_TRUE(f.state.proposals.count({a, 2}));
    EXPECT_FALSE(f.state.proposals.count({b, 1}));
}

TEST(SimNode, LaterProposalFromOneSignerForOneSlotReplacesTheEarlier) {
    Nodes c;
    Node& f = c.nodes[1];
    const BlsPubkey a = c.nodes[2].get_id();
    f.receive(proposal_msg(header(3, Hash{}, a, 1), a));
    f.receive(proposal_msg(header(3, Hash{}, a, 2), a));
    ASSERT_EQ(f.replay_store.size(), 1u);
    EXPECT_EQ(f.replay_store.at({a, 3}).entries_hash, testsupport::filled(2));
}

TEST(SimNode, ReplayStoreKeepsNoHeaderFarBeyondTheTip) {
    Nodes c;
    Node& f = c.nodes[1];
    const BlsPubkey a = c.nodes[2].get_id();
    for (uint64_t s = 2; s < 2000; ++s) f.receive(proposal_msg(header(s, Hash{}, a), a));
    EXPECT_EQ(f.replay_store.size(), 99u);  // slots 2 to 100
    EXPECT_TRUE(f.replay_store.count({a, 100}));
    EXPECT_FALSE(f.replay_store.count({a, 101}));

    // Near the top of the range the bound saturates instead of wrapping.
    f.replay_store.clear();
    f.state.tip_qc.message.slot = UINT64_MAX - 5;
    f.receive(proposal_msg(header(UINT64_MAX, Hash{}, a), a));
    EXPECT_TRUE(f.replay_store.count({a, UINT64_MAX}));
}

TEST(SimNode, WaitingVoteThresholds) {
    Nodes c;
    Node& n = c.nodes[0];
    EXPECT_TRUE(n.can_receive());
    EXPECT_FALSE(n.tick_requested());
    struct Case {
        size_t queued, ready;
        bool can_receive;
    };
    for (Case k : {Case{1, 0, true}, Case{0, 1, true}, Case{63, 0, true}, Case{64, 0, false}, Case{32, 32, false},
                   Case{40, 23, true}}) {
        n.state.vote_verifier.queue.assign(k.queued, QueuedVote{});
        n.state.vote_verifier.ready.assign(k.ready, VerifiedVote{VerifiedVote::Invalid{}});
        EXPECT_EQ(n.can_receive(), k.can_receive) << k.queued << "+" << k.ready;
        EXPECT_TRUE(n.tick_requested());
    }
}

TEST(SimNode, PreTickHookVetoSkipsTheTick) {
    Nodes c;
    Node& leader = c.nodes[0];
    int post_calls = 0;
    leader.pre_tick_hook = make_hook<std::pair<bool, SubResult>(Node&)>(
        [](Node&) { return std::pair{false, SubResult::event(events::BlockReplayed{42})}; });
    leader.post_tick_hook = make_hook<void(Node&, SubResult&)>([&](Node&, SubResult&) { ++post_calls; });
    ConsensusNodeLogic::Result r = leader.tick();
    EXPECT_TRUE(r.messages.empty());  // the leader would have proposed
    ASSERT_EQ(r.logs.size(), 1u);
    EXPECT_EQ(to_debug(r.logs[0].message), to_debug(ConsensusLogEvent(events::BlockReplayed{42})));
    EXPECT_EQ(post_calls, 0);
    // Block production still ran.
    EXPECT_TRUE(leader.state.proposals.count({leader.get_id(), 1}));
}

TEST(SimNode, PostTickHookAmendsAndMessageHookRewrites) {
    Nodes c;
    Node& leader = c.nodes[0];
    const BlsPubkey target = c.nodes[2].get_id();
    leader.post_tick_hook = make_hook<void(Node&, SubResult&)>(
        [](Node&, SubResult& r) { r.events.emplace_back(events::BlockReplayed{7}); });
    // Proposals go to one node twice; everything else is dropped.
    auto map = make_hook<std::vector<Msg>(Node&, Msg)>([&](Node&, Msg m) {
        auto* b = std::get_if<Msg::Broadcast>(&m.value);
        if (!b || !b->msg.get_if<SignedBlockProposalMessage>()) return std::vector<Msg>{};
        Msg u{Msg::Unicast{target, 1.5f, b->msg}};
        return std::vector<Msg>{u, u};
    });
    leader.map_messages_hook = map;
    ConsensusNodeLogic::Result r = leader.tick();
    ASSERT_FALSE(r.logs.empty());
    EXPECT_EQ(to_debug(r.logs.back().message), to_debug(ConsensusLogEvent(events::BlockReplayed{7})));
    ASSERT_EQ(r.messages.size(), 2u);
    for (const Msg& m : r.messages) {
        const auto& u = std::get<Msg::Unicast>(m.value);
        EXPECT_EQ(u.to, target);
        EXPECT_EQ(u.delay, 1.5f);
    }

    // Shared with another node, and applied on receive as well, where the
    // tick hooks play no part.
    Node& other = c.nodes[1];
    other.map_messages_hook = map;
    int pre_calls = 0;
    other.pre_tick_hook = make_hook<std::pair<bool, SubResult>(Node&)>([&](Node&) {
        ++pre_calls;
        return std::pair{true, SubResult{}};
    });
    ConsensusNodeLogic::Result got = other.receive(std::get<Msg::Unicast>(r.messages[0].value).msg);
    EXPECT_EQ(count_kind(got.logs, "BlockReplayed"), 1u);
    EXPECT_TRUE(got.messages.empty());  // its vote was dropped by the shared hook
    EXPECT_EQ(pre_calls, 0);
    EXPECT_EQ(map.use_count(), 3);
}

TEST(SimNode, FailedHookPoisonsItsLock) {
    Nodes c;
    Node& n = c.nodes[1];
    n.post_tick_hook = make_hook<void(Node&, SubResult&)>([](Node&, SubResult&) { contract_fail("hook failed"); });
    EXPECT_THROW(n.tick(), ContractFailure);
    EXPECT_TRUE(n.post_tick_hook->poisoned);
    EXPECT_THROW(n.tick(), ContractFailure);
}

TEST(NodeLogic, NodeIsHeldAndDrivenThroughTheInterface) {
    Nodes c;
    std::unique_ptr<ConsensusNodeLogic> held = std::make_unique<Node>(std::move(c.nodes[0]));
    const BlsPubkey id = held->get_id();
    ConsensusNodeLogic::Result r = held->tick();
    EXPECT_FALSE(r.messages.empty());
    for (const auto& l : r.logs) EXPECT_EQ(l.source, id);
    ASSERT_NE(dynamic_cast<Node*>(held.get()), nullptr);
    EXPECT_EQ(dynamic_cast<Node*>(held.get())->state.tip_slot(), 0u);
}

}  // namespace
}  // namespace vesk
