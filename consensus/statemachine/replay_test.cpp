#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "base/text.hpp"
#include "consensus/statemachine/statemachine.hpp"
#include "consensus/statemachine/test_support.hpp"
#include "consensus/test_keys.hpp"

namespace vesk {
namespace {

using namespace std::chrono_literals;
using namespace testsupport;
using Forbid = std::optional<std::pair<uint64_t, uint64_t>>;

// A lone member.
class VoteLockTest : public MachineTest {
protected:
    VoteLockTest() : MachineTest(1) { machine.emplace(make(0)); }
    static Hash h(uint8_t v) { return filled(v); }
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

TEST_F(VoteLockTest, LockTable) {
    Machine& m = *machine;
    struct Case {
        const char* name;
        std::vector<std::pair<uint64_t, VoteLock>> locks;
        uint64_t tip_leader_view;
        uint64_t slot, leader_view;
        Forbid expected;
    };
    std::vector<Case> cases = {
        {"higher view, tip view past the lock", {{5, {h(1), 2, h(9)}}}, 3, 5, 3, Forbid{}},
        {"lock without a parent", {{5, {h(1), 2, std::nullopt}}}, 0, 5, 3, Forbid{{5, 2}}},
        {"below a later lock", {{7, {h(1), 9, h(9)}}}, 0, 6, 12, Forbid{{7, 0}}},
        {"lower locks tie: later slot", {{3, {h(1), 4, h(9)}}, {4, {h(2), 4, h(9)}}}, 0, 5, 3, Forbid{{4, 4}}},
        {"lower locks at the view", {{3, {h(1), 4, h(9)}}, {4, {h(2), 4, h(9)}}}, 0, 5, 4, Forbid{}},
        {"greatest lower view wins", {{2, {h(1), 6, h(9)}}, {4, {h(2), 5, h(9)}}}, 0, 5, 3, Forbid{{2, 6}}},
    };
    for (const Case& c : cases) {
        m.vote_locks.clear();
        for (const auto& [slot, lock] : c.locks) m.vote_locks[slot] = lock;
        m.tip_qc.message.leader_view = c.tip_leader_view;
        EXPECT_EQ(m.vote_lock_forbids(c.slot, c.leader_view), c.expected) << c.name;
    }
}

// The tip is slot 5, certified for member 1 at leader view 3, so member 1
// leads slot 6 (vesk index 1) and a proposal of its at view 3 is eligible.
class ReplayTest : public MachineTest {
protected:
    ReplayTest() : members(testkeys::stake_one_members(testkeys::identities(4))) {
        tip.message.slot = 5;
        tip.message.vesk_id = ids[1].pubkey;
        tip.message.leader_view = 3;
        tip.message.bank_hash = filled(0x11);
        tip.message.qc_id = filled(0x22);
        tip.message.timestamp = clock.now().unix_millis();
    }

    Machine make(const NodeIdentity& id, size_t vesk_idx, NodeConfig node_config) {
        return MachineTest::make(id, snapshot(), vesk_idx, std::move(node_config));
    }
    Machine make(const NodeIdentity& id, size_t vesk_idx = 1) { return make(id, vesk_idx, config); }
    Machine make(size_t member, size_t vesk_idx = 1) { return make(ids[member], vesk_idx); }

    EntryMessage entry(uint64_t slot, uint64_t index, size_t producer = 1) const {
        return EntryMessage{{{static_cast<uint8_t>(index), 0xab}}, slot, index, ids[producer].pubkey, false};
    }
    // The header that `producer` proposes for `slot` with `n` entries, its
    // entries hash seeded with `seed` (the parent's bank hash).
    BlockProposalMessage header(uint64_t slot, uint64_t n, size_t producer = 1, uint64_t leader_view = 3,
                                std::optional<Hash> seed = std::nullopt) const {
        std::vector<Hash> hashes;
        for (uint64_t i = 0; i < n; ++i) hashes.push_back(entry(slot, i, producer).hash());
        BlockProposalMessage p;
        p.slot = slot;
        p.parent_qc_id = tip.message.qc_id;
        p.leader_view = leader_view;
        p.entries_hash = Block::compute_entries_hash(seed.value_or(tip.message.bank_hash), hashes);
        p.entry_count = n;
        p.proof_hash = hashv({bank().span()});
        p.vesk_id = ids[producer].pubkey;
        p.timestamp = tip.message.timestamp;
        return p;
    }
    BlockProposalMessage header() const { return header(6, 2); }
    static Hash bank() { return filled(0x33); }
    static CrosschainCommitment crosschain() { return CrosschainCommitment{filled(0x44), 9}; }
    ProcessedParent parent() const { return ProcessedParent{tip.message.bank_hash, tip.message.vesk_id, tip.message.slot}; }

    // What intake leaves behind: the producer's entries and the accepted header.
    void store(Machine& m, const BlockProposalMessage& h, size_t producer = 1, uint64_t entries = UINT64_MAX) const {
        for (uint64_t i = 0; i < std::min(entries, h.entry_count); ++i) m.entry_container.add(entry(h.slot, i, producer));
        m.proposals[{ids[producer].pubkey, h.slot}].proposal = h;
    }
    SubResult process(Machine& m, const BlockProposalMessage& h, size_t producer = 1) const {
        return process(m, h, parent(), producer);
    }
    SubResult process(Machine& m, const BlockProposalMessage& h, const ProcessedParent& p, size_t producer = 1) const {
        return m.queue_processed_block(ids[producer].pubkey, h, bank(), crosschain(), p);
    }

    std::string key(size_t member) const { return to_debug(ids[member].pubkey); }
    QuorumMessage vote_message(const BlockProposalMessage& h) const { return h.to_quorum_message(bank(), crosschain()); }
    std::string lock_pending(const Machine& m, const QuorumMessage& q) const {
        return format("VoteLockPending {{ slot: {}, qc_id: {:?}, leader_view: {}, parent_qc: {:?} }}", q.slot, q.qc_id,
                      q.leader_view, m.tip_qc);
    }
    // The whole event sequence of a follower's vote.
    Texts voted(const Machine& m, const QuorumMessage& q) const {
        return {format("BlockReplayed {{ slot: {} }}", q.slot), lock_pending(m, q),
                format("SignedProposal {{ slot: {} }}", q.slot)};
    }
    static std::string withheld(uint64_t slot, std::string_view reason) {
        return format("VoteWithheld {{ slot: {}, reason: {} }}", slot, std::string(reason));
    }
    std::string rotated(size_t from, size_t to, std::string_view reason) const {
        return format("LeaderRotated {{ old_leader: {:?}, new_leader: {:?}, from_slot: 6, reason: {:?} }}",
                      ids[from].pubkey, ids[to].pubkey, std::string(reason));
    }
    static const SignedQuorumMessage& sent_vote(const SubResult& r, size_t i = 0) {
        return *std::get<Unicast>(r.messages.at(i)).message.get_if<SignedQuorumMessage>();
    }

    // The members as listed, before the view orders them.
    std::vector<std::pair<BlsPubkey, uint64_t>> members;
};

TEST_F(ReplayTest, VotesForAProcessedBlockThatMatchesItsProposal) {
    Machine m = make(2);
    BlockProposalMessage h = header();
    store(m, h);
    SubResult r = process(m, h);
    QuorumMessage q = vote_message(h);
    EXPECT_EQ(event_texts(r), voted(m, q));
    ASSERT_EQ(message_texts(r), Texts{format("Unicast({}, BlockSignature)", key(1))});

    // The vote signs the block with the crosschain commitment it came with.
    const SignedQuorumMessage& vote = sent_vote(r);
    EXPECT_EQ(vote.message, q);
    EXPECT_EQ(vote.message.crosschain, crosschain());
    EXPECT_EQ(vote.message.bank_hash, bank());
    EXPECT_EQ(vote.pubkey, ids[2].pubkey);
    EXPECT_TRUE(vote.validate());

    EXPECT_EQ(m.vote_locks, (std::map<uint64_t, VoteLock>{{6, VoteLock{q.qc_id, 3, tip.message.qc_id}}}));
    EXPECT_EQ((m.proposals.at({ids[1].pubkey, 6}).signed_leader_view), 3u);
    EXPECT_FALSE(m.entry_container.finish_slot(h));  // replay handed the header over
    // Signed at this view: nothing more to do for the block.
    EXPECT_TRUE(m.try_replay(6, ids[1].pubkey).empty());
    EXPECT_TRUE(process(m, h).empty());
}

TEST_F(ReplayTest, AbsentCrosschainCommitmentVotesTheZeroCommitment) {
    Machine m = make(2);
    BlockProposalMessage h = header();
    store(m, h);
    ProposalState& st = m.proposals[{ids[1].pubkey, 6}];
    st.local_bank_hash = bank();
    st.replayed_entries_hash = h.entries_hash;
    st.processed_parent = parent();
    SubResult r = m.try_replay(6, ids[1].pubkey);
    QuorumMessage q = h.to_quorum_message(bank(), CrosschainCommitment{});
    EXPECT_EQ(event_texts(r), voted(m, q));
    ASSERT_EQ(r.messages.size(), 1u);
    EXPECT_EQ(sent_vote(r).message, q);
}

TEST_F(ReplayTest, ProcessedBlockNoticeRepeatsAndConflicts) {
    Machine m = make(2);
    BlockProposalMessage h = header();
    store(m, h, 1, 0);
    // The same notice twice replays twice and changes nothing.
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(event_texts(process(m, h)), Texts{"WaitingForEntries { slot: 6, have: 0, expected: 2 }"}) << i;
    }
    const ProposalState before = m.proposals.at({ids[1].pubkey, 6});

    BlockProposalMessage other_entries = h;
    other_entries.entries_hash = filled(0x55);
    ProcessedParent other_parent = parent();
    other_parent.slot = 4;
    struct Case {
        const char* name;
        std::function<SubResult()> notice;
    };
    std::vector<Case> cases = {
        {"bank hash", [&] { return m.queue_processed_block(ids[1].pubkey, h, filled(0x66), crosschain(), parent()); }},
        {"entries hash", [&] { return process(m, other_entries); }},
        {"crosschain",
         [&] { return m.queue_processed_block(ids[1].pubkey, h, bank(), CrosschainCommitment{}, parent()); }},
        {"parent", [&] { return process(m, h, other_parent); }},
    };
    for (const Case& c : cases) {
        SubResult r = c.notice();
        EXPECT_EQ(event_texts(r), Texts{format("ProcessedBankConflict {{ slot: 6, producer: {} }}", key(1))}) << c.name;
        EXPECT_TRUE(r.messages.empty()) << c.name;
        const ProposalState& now = m.proposals.at({ids[1].pubkey, 6});
        EXPECT_EQ(now.local_bank_hash, before.local_bank_hash) << c.name;
        EXPECT_EQ(now.replayed_entries_hash, before.replayed_entries_hash) << c.name;
        EXPECT_EQ(now.crosschain, before.crosschain) << c.name;
        EXPECT_EQ(now.processed_parent, before.processed_parent) << c.name;
    }
}

TEST_F(ReplayTest, WaitsForEveryEntryInIndexOrder) {
    BlockProposalMessage h = header(6, 3);
    struct Case {
        std::vector<uint64_t> stored;
        uint64_t have;
    };
    for (const Case& c : std::vector<Case>{{{}, 0}, {{0, 2}, 1}, {{1, 2}, 0}, {{0, 1}, 2}}) {
        Machine m = make(2);
        store(m, h, 1, 0);
        for (uint64_t i : c.stored) m.entry_container.add(entry(6, i));
        EXPECT_EQ(event_texts(process(m, h)),
                  Texts{format("WaitingForEntries {{ slot: 6, have: {}, expected: 3 }}", c.have)});
        EXPECT_TRUE(m.vote_locks.empty());
    }

    // The last entry arrives: the next replay votes.
    Machine m = make(2);
    store(m, h, 1, 2);
    process(m, h);
    m.entry_container.add(entry(6, 2));
    EXPECT_EQ(event_texts(m.try_replay(6, ids[1].pubkey)), voted(m, vote_message(h)));
}

TEST_F(ReplayTest, BlockWithoutEntriesSkipsTheContainer) {
    Machine m = make(2);
    BlockProposalMessage h = header(6, 0);
    EXPECT_EQ(h.entries_hash, Block::compute_entries_hash(tip.message.bank_hash, {}));
    store(m, h);
    m.entry_container.add(entry(6, 0));  // stray entry the proposal does not announce
    EXPECT_EQ(event_texts(process(m, h)), voted(m, vote_message(h)));
}

TEST_F(ReplayTest, BlockThatDiffersFromItsProposalRejectsTheProducer) {
    BlockProposalMessage h = header();
    std::vector<Hash> entry_hashes = {entry(6, 0).hash(), entry(6, 1).hash()};
    Hash computed = h.entries_hash;
    struct Case {
        const char* name;
        std::function<SubResult(Machine&)> run;
        Texts events;
    };
    BlockProposalMessage bad_entries = h;
    bad_entries.entries_hash = filled(0x55);
    BlockProposalMessage bad_proof = h;
    bad_proof.proof_hash = filled(0x66);
    std::vector<Case> cases = {
        {"entries do not hash to the proposal",
         [&](Machine& m) { store(m, bad_entries); return process(m, bad_entries); },
         {format("EntriesHashMismatch {{ slot: 6, computed_entries_hash: {:?}, proposed_entries_hash: {:?}, "
                 "entry_hashes: [{:?}, {:?}] }}",
                 computed, filled(0x55), entry_hashes[0], entry_hashes[1]),
          rotated(1, 2, "fault: BlockIdMismatch")}},
        {"proof hash is not that of the local bank",
         [&](Machine& m) { store(m, bad_proof); return process(m, bad_proof); },
         {format("BlindSigningGap {{ slot: 6, producer: {}, local_bank_hash: {:?}, leader_proof_hash: {:?} }}", key(1),
                 bank(), filled(0x66)),
          rotated(1, 2, "fault: ConsensusViolation")}},
        {"processed block reported other entries",
         [&](Machine& m) { store(m, h); return process(m, bad_entries); },
         {format("EntriesHashMismatch {{ slot: 6, computed_entries_hash: {:?}, proposed_entries_hash: {:?}, "
                 "entry_hashes: [] }}",
                 filled(0x55), computed),
          rotated(1, 2, "fault: BlockIdMismatch")}},
        {"processed block without entries hash",
         [&](Machine& m) {
             store(m, h);
             ProposalState& st = m.proposals[{ids[1].pubkey, 6}];
             st.local_bank_hash = bank();
             st.processed_parent = parent();
             return m.try_replay(6, ids[1].pubkey);
         },
         {format("EntriesHashMismatch {{ slot: 6, computed_entries_hash: {:?}, proposed_entries_hash: {:?}, "
                 "entry_hashes: [] }}",
                 Hash{}, computed),
          rotated(1, 2, "fault: BlockIdMismatch")}},
    };
    for (const Case& c : cases) {
        Machine m = make(3);
        SubResult r = c.run(m);
        EXPECT_EQ(event_texts(r), c.events) << c.name;
        EXPECT_TRUE(r.messages.empty()) << c.name;
        EXPECT_TRUE(m.vote_locks.empty()) << c.name;
        EXPECT_FALSE((m.proposals.at({ids[1].pubkey, 6}).proposal.has_value())) << c.name;
        EXPECT_FALSE(m.entry_container.get(ids[1].pubkey, 6).has_value()) << c.name;
        EXPECT_EQ(m.vesk_idx, 2u) << c.name;
    }

    // A producer that no longer leads is rejected without a rotation.
    Machine m = make(3, 2);
    store(m, bad_proof);
    EXPECT_EQ(event_texts(process(m, bad_proof)), Texts{cases[1].events[0]});
    EXPECT_EQ(m.vesk_idx, 2u);
}

TEST_F(ReplayTest, SlotOutsideEveryViewReplaysWithoutVoting) {
    Machine m = make(2);
    BlockProposalMessage h = header(100, 1);
    store(m, h);
    SubResult r = process(m, h);
    EXPECT_EQ(event_texts(r), Texts{"BlockReplayed { slot: 100 }"});
    EXPECT_TRUE(r.messages.empty());
    EXPECT_TRUE(m.vote_locks.empty());
    EXPECT_FALSE((m.proposals.at({ids[1].pubkey, 100}).signed_leader_view.has_value()));
}

TEST_F(ReplayTest, BlockThatDoesNotExtendTheTipGetsNoVote) {
    struct Case {
        const char* name;
        BlockProposalMessage header;
        ProcessedParent parent;
    };
    BlockProposalMessage other_parent_qc = header();
    other_parent_qc.parent_qc_id = filled(0x77);
    ProcessedParent lower = parent();
    lower.slot = 4;
    ProcessedParent other_producer = parent();
    other_producer.vesk_id = ids[0].pubkey;
    ProcessedParent other_bank = parent();
    other_bank.bank_hash = filled(0x78);
    ProcessedParent skipping = parent();
    skipping.slot = 6;
    std::vector<Case> cases = {
        {"proposal names another parent certificate", other_parent_qc, parent()},
        {"parent below the tip", header(), lower},
        {"parent by another producer", header(), other_producer},
        {"parent with another bank", header(6, 2, 1, 3, other_bank.bank_hash), other_bank},
        {"slot above the next", header(7, 2), skipping},
    };
    for (const Case& c : cases) {
        Machine m = make(2);
        store(m, c.header);
        SubResult r = process(m, c.header, c.parent);
        EXPECT_EQ(event_texts(r), Texts{withheld(c.header.slot, "DoesNotExtendHead")}) << c.name;
        EXPECT_TRUE(r.messages.empty()) << c.name;
        EXPECT_TRUE(m.vote_locks.empty()) << c.name;
        EXPECT_TRUE(m.entry_container.finish_slot(c.header)) << c.name;  // not handed over
    }
}

TEST_F(ReplayTest, AtTheGenesisTipOnlyTheParentSlotCounts) {
    tip = QuorumCertificate{};
    // Tip slot 0 and no tip producer: member 1 is eligible at view 1.
    Machine m = make(2);
    BlockProposalMessage h = header(1, 1, 1, 1, filled(0x78));
    store(m, h);
    EXPECT_FALSE(m.replayed_parent_matches_tip(1, ids[1].pubkey));
    SubResult r = process(m, h, ProcessedParent{filled(0x78), ids[3].pubkey, 0});
    EXPECT_TRUE(m.replayed_parent_matches_tip(1, ids[1].pubkey));
    EXPECT_EQ(event_texts(r), voted(m, vote_message(h)));
}

TEST_F(ReplayTest, EveryReasonToWithholdAVote) {
    NodeIdentity outsider(testkeys::secret(99));
    struct Case {
        const char* name;
        std::function<Machine()> machine;
        BlockProposalMessage header;
        size_t producer;
        std::string reason;
    };
    auto plain = [&] { return make(2); };
    auto with_lock = [&](uint64_t slot, uint64_t leader_view) {
        return [this, slot, leader_view] {
            Machine m = make(2);
            m.vote_locks[slot] = VoteLock{filled(0x99), leader_view, filled(0x98)};
            return m;
        };
    };
    std::vector<Case> cases = {
        {"not a member", [&] { return make(outsider); }, header(), 1, "NotInQuorum"},
        {"observer", [&] { Machine m = make(2); m.observer = true; return m; }, header(), 1, "NotInQuorum"},
        {"vote held for persistence", [&] { Machine m = make(2); m.vote_in_flight = PreparedVote{}; return m; }, header(), 1,
         "VotingDisabled"},
        {"tip not persisted", [&] { return make(ids[2], 1, NodeConfig{std::nullopt, 2s, true}); }, header(), 1,
         "VotingDisabled"},
        {"leader view not the producer's", plain, header(6, 2, 1, 4), 1, "LeaderViewIneligible"},
        {"producer of another turn", plain, header(6, 2, 3, 3), 3, "LeaderViewIneligible"},
        {"lock at this slot and view", with_lock(6, 3), header(), 1,
         "LockedByPriorVote { prior_vote_slot: 6, prior_vote_leader_view: 3 }"},
        {"lock at a later slot", with_lock(7, 1), header(), 1,
         "LockedByPriorVote { prior_vote_slot: 7, prior_vote_leader_view: 0 }"},
        {"lock at a lower slot and higher view", with_lock(4, 8), header(), 1,
         "LockedByPriorVote { prior_vote_slot: 4, prior_vote_leader_view: 8 }"},
    };
    for (const Case& c : cases) {
        Machine m = c.machine();
        auto locks = m.vote_locks;
        store(m, c.header, c.producer);
        SubResult r = process(m, c.header, c.producer);
        EXPECT_EQ(event_texts(r), Texts{withheld(6, c.reason)}) << c.name;
        EXPECT_TRUE(r.messages.empty()) << c.name;
        EXPECT_EQ(m.vote_locks, locks) << c.name;
        EXPECT_FALSE((m.proposals.at({ids[c.producer].pubkey, 6}).signed_leader_view.has_value())) << c.name;
    }

    // The tip has moved past a lower-view lock at the slot: it yields.
    Machine m = with_lock(6, 2)();
    store(m, header());
    EXPECT_EQ(event_texts(process(m, header())), voted(m, vote_message(header())));
}

TEST_F(ReplayTest, NeverTwoBlocksAtOneSlotAndLeaderView) {
    Machine m = make(3);
    BlockProposalMessage a = header();
    store(m, a);
    ASSERT_EQ(process(m, a).messages.size(), 1u);

    // The record of the block is gone; another block of the same producer
    // for the same slot and view comes in.
    m.proposals.erase({ids[1].pubkey, 6});
    BlockProposalMessage b = a;
    b.timestamp += 1;
    store(m, b);
    SubResult r = process(m, b);
    EXPECT_EQ(event_texts(r), Texts{withheld(6, "LockedByPriorVote { prior_vote_slot: 6, prior_vote_leader_view: 3 }")});
    EXPECT_TRUE(r.messages.empty());
    EXPECT_EQ(m.vote_locks.at(6).qc_id, vote_message(a).qc_id);

    // After a rotation the next member's block at view 4 for the same slot
    // may be voted: the lock extended the tip. The vote goes to the new leader.
    m.rotate_for_fault(ids[1].pubkey, EvictionReason::Equivocation);
    BlockProposalMessage c = header(6, 2, 2, 4);
    store(m, c, 2);
    SubResult next = process(m, c, 2);
    EXPECT_EQ(event_texts(next), voted(m, vote_message(c)));
    EXPECT_EQ(message_texts(next), Texts{format("Unicast({}, BlockSignature)", key(2))});
    EXPECT_EQ(m.vote_locks.at(6), (VoteLock{vote_message(c).qc_id, 4, tip.message.qc_id}));
}

TEST_F(ReplayTest, VoteHeldWhilePersisting) {
    Machine m = make(2);
    m.vote_persistence = true;
    BlockProposalMessage h = header();
    store(m, h);
    QuorumMessage q = vote_message(h);
    SubResult r = process(m, h);
    EXPECT_EQ(event_texts(r), (Texts{"BlockReplayed { slot: 6 }", lock_pending(m, q)}));
    EXPECT_TRUE(r.messages.empty());
    ASSERT_TRUE(m.vote_in_flight.has_value());
    EXPECT_EQ(m.vote_in_flight->view_id, view->view_id);
    EXPECT_EQ(m.vote_in_flight->proposal, h);
    EXPECT_EQ(m.vote_in_flight->message, q);
    EXPECT_FALSE(m.vote_in_flight->own_vote);
    EXPECT_FALSE((m.proposals.at({ids[1].pubkey, 6}).signed_leader_view.has_value()));
    EXPECT_EQ(m.vote_locks.at(6).qc_id, q.qc_id);

    try {
        m.prepare_vote(*m.vote_in_flight);
        ADD_FAILURE() << "a second vote in flight";
    } catch (const ContractFailure& e) {
        EXPECT_EQ(e.message(), "only one vote lock may be in flight");
    }
}

TEST_F(ReplayTest, ReplayWaitsForAPersistedParentCertificate) {
    Machine m = make(ids[2], 1, NodeConfig{std::nullopt, 2s, true});
    BlockProposalMessage h = header();
    store(m, h);
    EXPECT_EQ(event_texts(process(m, h)), Texts{withheld(6, "VotingDisabled")});
    using Waiting = std::vector<std::pair<uint64_t, BlsPubkey>>;
    ASSERT_EQ(m.pending_replays.size(), 1u);
    EXPECT_EQ(m.pending_replays.at(tip.message.qc_id), (std::pair{uint64_t{5}, Waiting{{6, ids[1].pubkey}}}));

    // More replays on the same parent join its list; the parent slot stays.
    m.park_replay_pending_parent_qc_persisted(tip.message.qc_id, 9, ids[3].pubkey);
    EXPECT_EQ(m.pending_replays.at(tip.message.qc_id),
              (std::pair{uint64_t{5}, Waiting{{6, ids[1].pubkey}, {9, ids[3].pubkey}}}));
    m.park_replay_pending_parent_qc_persisted(filled(0x5a), 0, ids[3].pubkey);
    EXPECT_EQ(m.pending_replays.at(filled(0x5a)), (std::pair{uint64_t{0}, Waiting{{0, ids[3].pubkey}}}));

    // The same block replayed again, as a resent proposal makes it, waits once.
    EXPECT_EQ(event_texts(m.try_replay(6, ids[1].pubkey)), Texts{withheld(6, "VotingDisabled")});
    m.park_replay_pending_parent_qc_persisted(tip.message.qc_id, 9, ids[3].pubkey);
    EXPECT_EQ(m.pending_replays.at(tip.message.qc_id),
              (std::pair{uint64_t{5}, Waiting{{6, ids[1].pubkey}, {9, ids[3].pubkey}}}));

    // Once the tip is persisted, the waiting replay votes.
    m.tip_persisted = true;
    auto [slot, producer] = m.pending_replays.at(tip.message.qc_id).second.front();
    SubResult r = m.try_replay(slot, producer);
    EXPECT_EQ(event_texts(r), voted(m, vote_message(h)));
    EXPECT_EQ(message_texts(r), Texts{format("Unicast({}, BlockSignature)", key(1))});
}

TEST_F(ReplayTest, LeaderNeverReplaysItsOwnBlock) {
    Machine leader = make(1);
    BlockProposalMessage h = header();
    store(leader, h);
    EXPECT_TRUE(process(leader, h).empty());
    EXPECT_TRUE(leader.vote_locks.empty());
}

TEST_F(ReplayTest, LeaderVotesForItsOwnProposal) {
    Machine leader = make(1);
    // The leader built the block: entries and proof are not checked.
    BlockProposalMessage h = header();
    h.entries_hash = filled(0x55);
    h.proof_hash = filled(0x56);
    ProposalState& own = leader.proposals[{ids[1].pubkey, 6}];
    own.proposal = h;
    own.local_bank_hash = bank();
    own.processed_parent = parent();
    QuorumMessage q = vote_message(h);

    SubResult r = leader.self_vote_pending_proposal(h, bank(), crosschain());
    Texts events = event_texts(r);
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(Texts(events.begin(), events.begin() + 2), (Texts{lock_pending(leader, q), "SignedProposal { slot: 6 }"}));
    EXPECT_TRUE(std::none_of(r.messages.begin(), r.messages.end(),
                             [](const auto& env) { return std::holds_alternative<Unicast>(env); }));
    const ProposalState& after = leader.proposals.at({ids[1].pubkey, 6});
    ASSERT_EQ(after.votes.size(), 1u);
    EXPECT_EQ(after.votes[0].first, ids[1].pubkey);
    EXPECT_TRUE((SignedQuorumMessage{after.votes[0].second, ids[1].pubkey, q}.validate()));
    EXPECT_EQ(after.signed_leader_view, 3u);
    EXPECT_EQ(leader.vote_locks.at(6), (VoteLock{q.qc_id, 3, tip.message.qc_id}));

    // Another block at the same slot and view is refused.
    BlockProposalMessage other = h;
    other.timestamp += 1;
    EXPECT_EQ(event_texts(leader.self_vote_pending_proposal(other, bank(), crosschain())),
              Texts{withheld(6, "LockedByPriorVote { prior_vote_slot: 6, prior_vote_leader_view: 3 }")});
}

TEST_F(ReplayTest, LeaderWithholdsItsOwnVote) {
    BlockProposalMessage h = header();
    BlockProposalMessage off_tip = h;
    off_tip.parent_qc_id = filled(0x77);
    BlockProposalMessage later = header(7, 2);
    auto ready = [&](Machine& m) {
        ProposalState& own = m.proposals[{ids[1].pubkey, 6}];
        own.local_bank_hash = bank();
        own.processed_parent = parent();
    };
    struct Case {
        const char* name;
        std::function<void(Machine&)> setup;
        BlockProposalMessage header;
        Texts events;
    };
    std::vector<Case> cases = {
        {"parent certificate not the tip", ready, off_tip, {}},
        {"not the next slot", ready, later, {}},
        {"block not processed", [](Machine&) {}, h, {withheld(6, "DoesNotExtendHead")}},
        {"processed on another parent",
         [&](Machine& m) {
             ready(m);
             m.proposals[{ids[1].pubkey, 6}].processed_parent->slot = 4;
         },
         h, {withheld(6, "DoesNotExtendHead")}},
        {"voting disabled", [&](Machine& m) { ready(m); m.vote_in_flight = PreparedVote{}; }, h, {}},
        {"locked",
         [&](Machine& m) {
             ready(m);
             m.vote_locks[7] = VoteLock{filled(0x99), 1, filled(0x98)};
         },
         h, {withheld(6, "LockedByPriorVote { prior_vote_slot: 7, prior_vote_leader_view: 0 }")}},
    };
    for (const Case& c : cases) {
        Machine m = make(1);
        c.setup(m);
        auto locks = m.vote_locks;
        SubResult r = m.self_vote_pending_proposal(c.header, bank(), crosschain());
        EXPECT_EQ(event_texts(r), c.events) << c.name;
        EXPECT_TRUE(r.messages.empty()) << c.name;
        EXPECT_EQ(m.vote_locks, locks) << c.name;
    }

    // No view covers the next slot.
    view.emplace(0, 6, members);
    Machine m = make(1);
    ready(m);
    EXPECT_TRUE(m.self_vote_pending_proposal(h, bank(), crosschain()).empty());
    EXPECT_TRUE(m.vote_locks.empty());
}

TEST_F(ReplayTest, SlotArithmeticAtTheTopOfTheRangeSaturates) {
    // A tip at the last slot has no next slot: nothing extends it.
    tip.message.slot = UINT64_MAX;
    Machine m = make(1);
    BlockProposalMessage h = header(UINT64_MAX, 0);
    ProposalState& own = m.proposals[{ids[1].pubkey, UINT64_MAX}];
    own.local_bank_hash = bank();
    own.processed_parent = ProcessedParent{tip.message.bank_hash, tip.message.vesk_id, UINT64_MAX};
    EXPECT_FALSE(m.replayed_parent_matches_tip(UINT64_MAX, ids[1].pubkey));
    EXPECT_TRUE(m.self_vote_pending_proposal(h, bank(), crosschain()).empty());
    EXPECT_TRUE(m.vote_locks.empty());

    // One below: the last slot is the next.
    tip.message.slot = UINT64_MAX - 1;
    Machine below = make(2);
    below.proposals[{ids[1].pubkey, UINT64_MAX}].processed_parent =
        ProcessedParent{tip.message.bank_hash, tip.message.vesk_id, UINT64_MAX - 1};
    EXPECT_TRUE(below.replayed_parent_matches_tip(UINT64_MAX, ids[1].pubkey));
}

TEST_F(ReplayTest, ProposalWaitingForItsBlockVotesOnceTheBlockIsProcessed) {
    Machine m = make(2);
    BlockProposalMessage h = header();
    for (uint64_t i = 0; i < h.entry_count; ++i) m.entry_container.add(entry(6, i));
    SubResult early = m.receive(SignedBlockProposalMessage{h.sign(ids[1].secret), ids[1].pubkey, h});
    ASSERT_FALSE(early.events.empty());
    EXPECT_EQ(to_debug(early.events.back()),
              format("ParkedUntilEvent {{ event: BlockProcessed {{ producer: {}, block_height: 6 }}, msg_kind: "
                     "\"BlockProposal\" }}",
                     key(1)));

    // The notice finds no header to replay; the released proposal brings it.
    SubResult r = process(m, h);
    Texts expected = {format("ReceivedProposal {{ slot: 6, producer: {} }}", key(1))};
    for (std::string& t : voted(m, vote_message(h))) expected.push_back(std::move(t));
    EXPECT_EQ(event_texts(r), expected);
    ASSERT_EQ(message_texts(r), Texts{format("Unicast({}, BlockSignature)", key(1))});
    EXPECT_EQ(sent_vote(r).message.crosschain, crosschain());
}

}  // namespace
}  // namespace vesk
