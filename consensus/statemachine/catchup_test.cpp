#include <gtest/gtest.h>

#include <memory>

#include "base/bytes.hpp"
#include "base/text.hpp"
#include "consensus/statemachine/statemachine.hpp"
#include "consensus/statemachine/test_shreds_io.hpp"
#include "consensus/statemachine/test_support.hpp"
#include "consensus/test_keys.hpp"

namespace vesk {
namespace {

using namespace std::chrono_literals;
using namespace testsupport;

// Whether two catch-up records hold the same state.
bool same(const ShredCatchup& a, const ShredCatchup& b) {
    return a.queue == b.queue && a.deferred_at == b.deferred_at && a.query_nonce == b.query_nonce &&
           a.phase == b.phase && a.target_slot == b.target_slot && a.blocks_fetched == b.blocks_fetched &&
           a.peer == b.peer;
}

// Over slots 0..999 with a 60 s liveness timeout; member 0 leads. A
// certified chain by member 0 runs from slot 1 up.
class CatchupTest : public MachineTest {
protected:
    CatchupTest() : MachineTest(4, 0, 1000) {
        config.liveness_timeout = 60s;
        Hash parent;
        chain.emplace_back();  // slot 0: the all-zero tip
        for (uint64_t s = 1; s <= 40; ++s) {
            chain.push_back(certify(statement(s, parent)));
            parent = chain.back().message.qc_id;
        }
    }

    QuorumMessage statement(uint64_t slot, const Hash& parent) const {
        QuorumMessage m;
        m.slot = slot;
        m.parent_qc_id = parent;
        m.vesk_id = ids[0].pubkey;
        m.timestamp = clock.now().unix_millis();
        m.bank_hash.bytes.fill(static_cast<uint8_t>(slot));
        m.qc_id = QuorumMessage::compute_qc_id(m.slot, m.parent_qc_id, m.leader_view, m.entries_hash, m.vesk_id,
                                               m.timestamp, m.bank_hash, m.recovery, m.crosschain);
        return m;
    }
    QuorumCertificate certify(const QuorumMessage& m) const {
        std::vector<std::pair<size_t, BlsSignature>> sigs;
        for (size_t i : {0, 1, 2}) sigs.emplace_back(i, bls::sign(ids[i].secret, m.signing_bytes()));
        return QuorumCertificate(view->view_id, m, sigs);
    }

    // Member `member` with its tip at `tip` of the chain.
    Machine make(size_t member, uint64_t tip) {
        ChainStateSnapshot snap = snapshot();
        snap.tip_qc = chain[tip];
        if (tip > 0) snap.previous_qc = chain[tip - 1];
        return MachineTest::make(member, std::move(snap));
    }
    // Member 1 at tip 10, holding the certificates of slots 5 to 10.
    Machine server() {
        Machine m = make(1, 4);
        advance(m, 10);
        return m;
    }
    // Moves `m` along the chain up to `slot`.
    void advance(Machine& m, uint64_t slot) {
        while (m.tip_slot() < slot) {
            ASSERT_EQ(event_kinds(m.receive_certificate(chain[m.tip_slot() + 1])).front(), "CertificateValid");
        }
    }
    // A running catch-up in the querying state.
    void start_catchup(Machine& m, uint64_t target = 30) {
        m.note_proposed_head(target, ids[0].pubkey);
        ASSERT_TRUE(m.shred_catchup.has_value());
    }

    // Nothing builds queries in the program; a host signs them like this.
    static ShredsAvailableRequest query(const NodeIdentity& from, uint64_t from_slot, u128 nonce) {
        ShredsAvailableRequest q{from.pubkey, from_slot, nonce, {}};
        q.signature = bls::sign(from.secret, ByteWriter()
                                                 .tag("SHREDS_AVAILABLE_REQUEST_DST")
                                                 .bytes(from.pubkey.bytes)
                                                 .u64(from_slot)
                                                 .u128v(nonce)
                                                 .data());
        return q;
    }
    ShredBlockRef block(size_t producer, uint64_t slot, uint32_t value = 0) const {
        return ShredBlockRef{ids[producer].pubkey, slot, value};
    }
    std::vector<ShredBlockRef> blocks(uint64_t first, uint64_t last) const {
        std::vector<ShredBlockRef> out;
        for (uint64_t s = first; s <= last; ++s) out.push_back(block(0, s));
        return out;
    }
    ShredsAvailableResponse catalog(size_t responder, uint64_t from_slot, u128 nonce,
                                    std::vector<ShredBlockRef> list) const {
        return ShredsAvailableResponse(ids[responder].pubkey, from_slot, nonce, std::move(list),
                                       ids[responder].secret);
    }
    ShredsFetchResponse chunk(const NodeIdentity& from, uint64_t slot, size_t producer, uint32_t start,
                              std::optional<uint32_t> next, size_t count) const {
        return ShredsFetchResponse(from.pubkey, slot, ids[producer].pubkey, start, next,
                                   make_shreds(slot, static_cast<uint8_t>(start), count), from.secret);
    }
    ShredsBehindResponse behind(const NodeIdentity& from, const BlsPubkey& requester, uint64_t from_slot,
                                u128 nonce, uint64_t tip_slot) const {
        return ShredsBehindResponse(from.pubkey, requester, from_slot, nonce, tip_slot, from.secret);
    }
    std::string key(size_t i) const { return format("{:?}", ids[i].pubkey); }

    // Hands every message of `r` to `to`; nothing here broadcasts.
    static SubResult relay(const SubResult& r, Machine& to) {
        SubResult out;
        for (const auto& env : r.messages) {
            const auto* u = std::get_if<Unicast>(&env);
            EXPECT_NE(u, nullptr);
            if (u == nullptr) continue;
            EXPECT_EQ(u->recipient, to.identity.pubkey);
            out += to.receive(u->message);
        }
        return out;
    }

    std::vector<QuorumCertificate> chain;
    NodeIdentity outsider{testkeys::secret(50)};
};

TEST_F(CatchupTest, WholeCatchupBetweenTwoMachines) {
    // The server is at tip 10; the lagging node at tip 6.
    Machine server = this->server();
    Machine lag = make(2, 6);
    auto served = std::make_shared<MemoryShredsIo>(3);
    auto stored = std::make_shared<MemoryShredsIo>(3);
    server.shreds_io = served;
    lag.shreds_io = stored;

    // Certified slots offer the certified leader's block even when another
    // producer's is listed first; the slot after the tip offers the block
    // voted for under the highest leader view.
    served->add_block(ids[0].pubkey, 7, make_shreds(7, 0, 7));
    served->add_block(ids[3].pubkey, 8, make_shreds(8, 3, 2));
    served->add_block(ids[0].pubkey, 8, make_shreds(8, 0, 4), 88);
    served->add_block(ids[0].pubkey, 9, make_shreds(9, 0, 3));
    served->add_block(ids[0].pubkey, 10, make_shreds(10, 0, 1));
    served->add_block(ids[3].pubkey, 11, make_shreds(11, 3, 5));
    served->add_block(ids[0].pubkey, 11, make_shreds(11, 0, 2));
    served->add_block(ids[0].pubkey, 12, make_shreds(12, 0, 2));
    server.proposals[{ids[3].pubkey, 11}].signed_leader_view = 1;
    server.proposals[{ids[0].pubkey, 11}].signed_leader_view = 0;

    // A proposal far ahead starts the catch-up.
    BlockProposalMessage ahead;
    ahead.slot = 20;
    ahead.vesk_id = ids[0].pubkey;
    ahead.timestamp = clock.now().unix_millis();
    SubResult seen = lag.receive(SignedBlockProposalMessage{ahead.sign(ids[0].secret), ids[0].pubkey, ahead});
    EXPECT_EQ(event_kinds(seen), (Texts{"ReceivedProposal", "NewProposalTimestamp", "ParkedUntilEvent",
                                        "ProposalAheadOfTip", "ProposalDiscontiguous"}));
    ASSERT_TRUE(lag.shred_catchup.has_value());
    EXPECT_EQ(lag.shred_catchup->target_slot, 20u);

    // The host sends the query; the server answers with slots 7 to 11.
    SubResult answer = server.receive(query(lag.identity, 7, lag.shred_catchup->query_nonce));
    EXPECT_EQ(event_texts(answer),
              (Texts{format("ShredsAvailableRequested {{ from_peer: {}, from_slot: 7 }}", key(2)),
                     format("ShredsAvailableServed {{ to_peer: {}, from_slot: 7, blocks: 5 }}", key(2))}));
    ASSERT_EQ(answer.messages.size(), 1u);
    const auto& offered = std::get<Unicast>(answer.messages[0]).message.get_if<ShredsAvailableResponse>()->blocks;
    EXPECT_EQ(offered, (std::vector<ShredBlockRef>{block(0, 7), block(0, 8, 88), block(0, 9), block(0, 10),
                                                   block(3, 11)}));

    SubResult accepted = relay(answer, lag);
    EXPECT_EQ(event_texts(accepted),
              Texts{format("ShredsCatalogAccepted {{ from_peer: {}, blocks: 5 }}", key(1))});
    EXPECT_EQ(message_texts(accepted), Texts{format("Unicast({}, ShredsFetchRequest)", key(1))});
    EXPECT_EQ(lag.shred_catchup->peer, ids[1].pubkey);

    // Shreds flow block by block in chunks of three until the queue is done.
    Texts progress;
    SubResult last;
    for (SubResult to_server = accepted; !to_server.messages.empty(); to_server = last) {
        ASSERT_LT(progress.size(), 20u);
        last = relay(relay(to_server, server), lag);
        for (const auto& e : event_texts(last)) progress.push_back(e);
    }
    auto p = [&](uint64_t slot, size_t n) {
        return format("ShredsFetchProgress {{ from_peer: {}, slot: {}, shreds: {} }}", key(1), slot, n);
    };
    EXPECT_EQ(progress, (Texts{p(7, 3), p(7, 3), p(7, 1), p(8, 3), p(8, 1), p(9, 3), p(10, 1), p(11, 3), p(11, 2),
                               "ShredsCatchupFetchComplete { blocks: 5 }"}));
    EXPECT_TRUE(last.messages.empty());

    std::vector<Shred> expected;
    for (auto part : {make_shreds(7, 0, 7), make_shreds(8, 0, 4), make_shreds(9, 0, 3), make_shreds(10, 0, 1),
                      make_shreds(11, 3, 5)}) {
        expected.insert(expected.end(), part.begin(), part.end());
    }
    EXPECT_EQ(stored->ingested(), expected);
    EXPECT_TRUE(served->ingested().empty());

    // The catch-up waits for the tip: querying, nothing queued, no peer.
    const ShredCatchup& c = *lag.shred_catchup;
    EXPECT_TRUE(std::holds_alternative<ShredCatchup::Querying>(c.phase));
    EXPECT_TRUE(c.queue.empty());
    EXPECT_FALSE(c.peer.has_value());
    EXPECT_EQ(c.blocks_fetched, 5u);

    // Tip moves below the target keep it; reaching the target ends it.
    advance(lag, 19);
    ASSERT_TRUE(lag.shred_catchup.has_value());
    EXPECT_EQ(lag.shred_catchup->blocks_fetched, 5u);
    advance(lag, 20);
    EXPECT_FALSE(lag.shred_catchup.has_value());
}

TEST_F(CatchupTest, ServingCatalogs) {
    Machine server = this->server();
    auto store = std::make_shared<MemoryShredsIo>();
    for (uint64_t s = 5; s <= 12; ++s) store->add_block(ids[0].pubkey, s, make_shreds(s, 0, 1));
    const NodeIdentity& asker = ids[2];

    // No store: the query is noted and nothing is offered.
    EXPECT_EQ(event_texts(server.handle_shreds_available_request(query(asker, 7, 9))),
              Texts{format("ShredsAvailableRequested {{ from_peer: {}, from_slot: 7 }}", key(2))});
    server.shreds_io = store;

    struct Case {
        uint64_t from;
        std::vector<ShredBlockRef> offered;  // empty: no catalog
        bool behind;
    };
    const Case cases[] = {
        {11, {block(0, 11)}, false},     // nothing voted at 11: the last block listed
        {7, blocks(7, 11), false},        // 7 up to tip + 1
        {6, {}, true},                    // more than 4 below tip + 1
        {12, {}, false},                  // beyond tip + 1: silence
    };
    for (const Case& c : cases) {
        SubResult r = server.handle_shreds_available_request(query(asker, c.from, (u128{77} << 64) | 5));
        ASSERT_FALSE(r.events.empty()) << c.from;
        EXPECT_EQ(event_texts(r).front(),
                  format("ShredsAvailableRequested {{ from_peer: {}, from_slot: {} }}", key(2), c.from));
        if (c.behind) {
            EXPECT_EQ(event_texts(r).back(),
                      format("ShredsBehindServed {{ to_peer: {}, from_slot: 6, tip_slot: 11 }}", key(2)));
            ASSERT_EQ(r.messages.size(), 1u);
            const auto& u = std::get<Unicast>(r.messages[0]);
            EXPECT_EQ(u.recipient, asker.pubkey);
            EXPECT_EQ(*u.message.get_if<ShredsBehindResponse>(),
                      behind(ids[1], asker.pubkey, 6, (u128{77} << 64) | 5, 11));
        } else if (c.offered.empty()) {
            EXPECT_EQ(r.events.size(), 1u) << c.from;
            EXPECT_TRUE(r.messages.empty()) << c.from;
        } else {
            ASSERT_EQ(r.messages.size(), 1u) << c.from;
            EXPECT_EQ(event_texts(r).back(), format("ShredsAvailableServed {{ to_peer: {}, from_slot: {}, blocks: {} }}",
                                                    key(2), c.from, c.offered.size()));
            const auto& u = std::get<Unicast>(r.messages[0]);
            EXPECT_EQ(u.recipient, asker.pubkey);
            EXPECT_EQ(*u.message.get_if<ShredsAvailableResponse>(),
                      catalog(1, c.from, (u128{77} << 64) | 5, c.offered));
        }
    }
}

TEST_F(CatchupTest, CatalogChoosesOneBlockPerSlotAndStopsAtAGap) {
    Machine server = this->server();
    auto store = std::make_shared<MemoryShredsIo>();
    server.shreds_io = store;
    auto offered = [&](uint64_t from) {
        SubResult r = server.handle_shreds_available_request(query(ids[2], from, 1));
        if (r.messages.empty()) return std::vector<ShredBlockRef>{};
        return std::get<Unicast>(r.messages[0]).message.get_if<ShredsAvailableResponse>()->blocks;
    };

    // At slot 11 a tie on the leader view goes to the later block; a block
    // without a signed view ranks below every block with one.
    store->add_block(ids[0].pubkey, 11, {}, 1);
    store->add_block(ids[1].pubkey, 11, {}, 2);
    store->add_block(ids[2].pubkey, 11, {}, 3);
    store->add_block(ids[3].pubkey, 11, {}, 4);
    server.proposals[{ids[1].pubkey, 11}].signed_leader_view = 2;
    server.proposals[{ids[2].pubkey, 11}].signed_leader_view = 2;
    server.proposals[{ids[3].pubkey, 11}];  // a state without a signed view
    EXPECT_EQ(offered(11), std::vector<ShredBlockRef>{block(2, 11, 3)});

    // Slot 9 holds no block of its certified leader: the catalog ends at 8,
    // and a catalog that would start there is not sent at all.
    store->add_block(ids[0].pubkey, 7, {});
    store->add_block(ids[0].pubkey, 8, {});
    store->add_block(ids[3].pubkey, 9, {});
    store->add_block(ids[0].pubkey, 10, {});
    EXPECT_EQ(offered(7), blocks(7, 8));
    EXPECT_EQ(offered(9), std::vector<ShredBlockRef>{});
    // A certified slot whose certificate is gone ends the catalog.
    store->add_block(ids[0].pubkey, 9, {});
    server.accepted_qcs.erase(10);
    EXPECT_EQ(offered(9), std::vector<ShredBlockRef>{block(0, 9)});

    // A slot with no block ends it; blocks a store lists outside the asked
    // range are ignored.
    Machine other = this->server();
    auto careless = std::make_shared<MemoryShredsIo>();
    other.shreds_io = careless;
    for (uint64_t s : {1, 2, 7, 8, 10, 11, 12, 20}) careless->add_block(ids[0].pubkey, s, {});
    careless->set_ignore_range(true);
    SubResult r = other.handle_shreds_available_request(query(ids[2], 7, 1));
    EXPECT_EQ(event_kinds(r).back(), "ShredsAvailableServed");
    ASSERT_EQ(r.messages.size(), 1u);
    EXPECT_EQ(std::get<Unicast>(r.messages[0]).message.get_if<ShredsAvailableResponse>()->blocks, blocks(7, 8));
    EXPECT_EQ(std::get<Unicast>(other.handle_shreds_available_request(query(ids[2], 10, 1)).messages.at(0))
                  .message.get_if<ShredsAvailableResponse>()
                  ->blocks,
              blocks(10, 11));
}

TEST_F(CatchupTest, RequestsFromSelfStrangersAndForgers) {
    Machine server = make(1, 10);
    auto store = std::make_shared<MemoryShredsIo>();
    store->add_block(ids[0].pubkey, 11, make_shreds(11, 0, 2));
    server.shreds_io = store;

    EXPECT_TRUE(server.handle_shreds_available_request(query(ids[1], 11, 1)).empty());
    EXPECT_EQ(event_texts(server.handle_shreds_available_request(query(outsider, 11, 1))),
              Texts{format("ShredsAvailableAuthInvalid {{ requester: {:?} }}", outsider.pubkey)});
    ShredsAvailableRequest forged = query(ids[2], 11, 1);
    forged.nonce = 2;
    EXPECT_EQ(event_texts(server.handle_shreds_available_request(forged)),
              Texts{format("ShredsAvailableAuthInvalid {{ requester: {} }}", key(2))});

    ShredsFetchRequest fetch(ids[2].pubkey, 11, ids[0].pubkey, 0, ids[2].secret);
    ShredsFetchRequest stranger(outsider.pubkey, 11, ids[0].pubkey, 0, outsider.secret);
    ShredsFetchRequest tampered = fetch;
    tampered.start_index = 1;
    for (const auto& bad : {stranger, tampered}) {
        EXPECT_EQ(event_texts(server.handle_shreds_fetch_request(bad)),
                  Texts{format("ShredsFetchAuthInvalid {{ peer: {:?} }}", bad.requester)});
    }
    EXPECT_TRUE(store->ingested().empty());
}

TEST_F(CatchupTest, ServingShreds) {
    Machine server = make(1, 10);
    ShredsFetchRequest fetch(ids[2].pubkey, 9, ids[0].pubkey, 3, ids[2].secret);
    const Texts requested{format("ShredsFetchRequested {{ from_peer: {}, slot: 9, start_index: 3 }}", key(2))};
    EXPECT_EQ(event_texts(server.handle_shreds_fetch_request(fetch)), requested);

    auto store = std::make_shared<MemoryShredsIo>(2);
    store->add_block(ids[0].pubkey, 9, make_shreds(9, 0, 6));
    server.shreds_io = store;
    SubResult r = server.handle_shreds_fetch_request(fetch);
    EXPECT_EQ(event_texts(r), (Texts{requested[0], format("ShredsFetchServed {{ to_peer: {}, slot: 9, shreds: 2 }}",
                                                          key(2))}));
    ASSERT_EQ(r.messages.size(), 1u);
    std::vector<Shred> all = make_shreds(9, 0, 6);
    EXPECT_EQ(std::get<Unicast>(r.messages[0]),
              (Unicast{ids[2].pubkey, ConsensusMessage(ShredsFetchResponse(ids[1].pubkey, 9, ids[0].pubkey, 3, 5,
                                                                           {all[3], all[4]}, ids[1].secret))}));

    // A block the store lacks is answered with nothing in it.
    SubResult none = server.handle_shreds_fetch_request(ShredsFetchRequest(ids[2].pubkey, 9, ids[3].pubkey, 0,
                                                                           ids[2].secret));
    EXPECT_EQ(event_texts(none).back(), format("ShredsFetchServed {{ to_peer: {}, slot: 9, shreds: 0 }}", key(2)));
    const auto* empty = std::get<Unicast>(none.messages.at(0)).message.get_if<ShredsFetchResponse>();
    EXPECT_TRUE(empty->shreds.empty());
    EXPECT_FALSE(empty->next_index.has_value());
}

TEST_F(CatchupTest, CatalogAcceptance) {
    struct Case {
        const char* name;
        uint64_t from;
        std::vector<ShredBlockRef> list;
        bool accepted;
        size_t queued = 0;
    };
    std::vector<ShredBlockRef> gap = {block(0, 9), block(0, 10), block(0, 12)};
    std::vector<ShredBlockRef> repeat = {block(0, 11), block(0, 11)};
    const Case cases[] = {
        {"9 to 12 queues 11 and 12", 9, blocks(9, 12), true, 2},
        {"a gap", 9, gap, false},
        {"a repeated slot", 11, repeat, false},
        {"starts above tip + 1", 12, blocks(12, 14), false},
        {"ends below tip + 1", 8, blocks(8, 10), false},
        {"first slot not the one named", 10, blocks(11, 12), false},
        {"empty", 11, {}, false},
        {"64 blocks", 11, blocks(11, 74), true, 64},
        {"65 blocks", 11, blocks(11, 75), false},
    };
    for (const Case& c : cases) {
        Machine m = make(2, 10);
        start_catchup(m);
        ShredCatchup before = *m.shred_catchup;
        SubResult r = m.handle_shreds_available_response(catalog(1, c.from, before.query_nonce, c.list));
        if (!c.accepted) {
            EXPECT_EQ(event_texts(r), Texts{format("ShredsCatalogIgnored {{ from_peer: {} }}", key(1))}) << c.name;
            EXPECT_TRUE(r.messages.empty()) << c.name;
            EXPECT_TRUE(same(*m.shred_catchup, before)) << c.name;
            continue;
        }
        EXPECT_EQ(event_texts(r), Texts{format("ShredsCatalogAccepted {{ from_peer: {}, blocks: {} }}", key(1),
                                               c.queued)})
            << c.name;
        EXPECT_EQ(std::get<Unicast>(r.messages.at(0)),
                  (Unicast{ids[1].pubkey, ConsensusMessage(ShredsFetchRequest(ids[2].pubkey, 11, ids[0].pubkey, 0,
                                                                              ids[2].secret))}))
            << c.name;
        const ShredCatchup& after = *m.shred_catchup;
        EXPECT_EQ(after.queue.size(), c.queued) << c.name;
        EXPECT_EQ(after.queue.front(), block(0, 11)) << c.name;
        EXPECT_EQ(after.peer, ids[1].pubkey) << c.name;
        EXPECT_EQ(after.phase, (decltype(after.phase){ShredCatchup::Fetching{ids[0].pubkey, 11, 0}})) << c.name;
        EXPECT_EQ(after.query_nonce, before.query_nonce) << c.name;
        EXPECT_EQ(after.target_slot, before.target_slot) << c.name;
    }
}

TEST_F(CatchupTest, CatalogsThatDoNotAnswerTheRunningQuery) {
    Machine idle = make(2, 10);
    EXPECT_EQ(event_kinds(idle.handle_shreds_available_response(catalog(1, 11, 0, blocks(11, 12)))),
              Texts{"ShredsCatalogIgnored"});
    EXPECT_FALSE(idle.shred_catchup.has_value());

    Machine m = make(2, 10);
    start_catchup(m);
    const u128 nonce = m.shred_catchup->query_nonce;
    ShredCatchup before = *m.shred_catchup;
    EXPECT_EQ(event_kinds(m.handle_shreds_available_response(catalog(1, 11, nonce + 1, blocks(11, 12)))),
              Texts{"ShredsCatalogIgnored"});
    // Strangers and forgers are refused before the query is looked at.
    ShredsAvailableResponse stranger(outsider.pubkey, 11, nonce, blocks(11, 12), outsider.secret);
    ShredsAvailableResponse forged = catalog(1, 11, nonce, blocks(11, 12));
    forged.blocks.push_back(block(0, 13));
    EXPECT_EQ(event_texts(m.handle_shreds_available_response(stranger)),
              Texts{format("ShredsCatalogAuthInvalid {{ responder: {:?} }}", outsider.pubkey)});
    EXPECT_EQ(event_texts(m.handle_shreds_available_response(forged)),
              Texts{format("ShredsCatalogAuthInvalid {{ responder: {} }}", key(1))});
    EXPECT_TRUE(same(*m.shred_catchup, before));

    // While a peer's catalog is being fetched no other catalog is taken.
    ASSERT_EQ(event_kinds(m.handle_shreds_available_response(catalog(1, 11, nonce, blocks(11, 12)))),
              Texts{"ShredsCatalogAccepted"});
    before = *m.shred_catchup;
    EXPECT_EQ(event_kinds(m.handle_shreds_available_response(catalog(3, 11, nonce, blocks(11, 13)))),
              Texts{"ShredsCatalogIgnored"});
    EXPECT_EQ(event_kinds(m.handle_shreds_available_response(catalog(1, 11, nonce, blocks(11, 13)))),
              Texts{"ShredsCatalogIgnored"});
    EXPECT_TRUE(same(*m.shred_catchup, before));
}

TEST_F(CatchupTest, FetchResponsesOutsideTheRunningFetch) {
    Machine m = make(2, 10);
    auto store = std::make_shared<MemoryShredsIo>();
    m.shreds_io = store;
    EXPECT_EQ(event_texts(m.handle_shreds_fetch_response(chunk(ids[1], 11, 0, 0, std::nullopt, 1))),
              Texts{format("ShredsFetchUncorrelated {{ from_peer: {} }}", key(1))});
    start_catchup(m);
    // Querying: no fetch runs.
    EXPECT_EQ(event_kinds(m.handle_shreds_fetch_response(chunk(ids[1], 11, 0, 0, std::nullopt, 1))),
              Texts{"ShredsFetchUncorrelated"});
    ASSERT_EQ(event_kinds(m.handle_shreds_available_response(
                  catalog(1, 11, m.shred_catchup->query_nonce, blocks(11, 12)))),
              Texts{"ShredsCatalogAccepted"});
    const ShredCatchup before = *m.shred_catchup;

    ShredsFetchResponse bad_sig = chunk(ids[1], 11, 0, 0, 2, 2);
    bad_sig.shreds[0][0] ^= 1;
    struct Case {
        const char* name;
        ShredsFetchResponse response;
        std::string event;
    };
    const std::string uncorrelated = format("ShredsFetchUncorrelated {{ from_peer: {} }}", key(1));
    const Case cases[] = {
        {"another member, validly signed", chunk(ids[3], 11, 0, 0, 2, 2),
         format("ShredsFetchUncorrelated {{ from_peer: {} }}", key(3))},
        {"a stranger", chunk(outsider, 11, 0, 0, 2, 2),
         format("ShredsFetchUncorrelated {{ from_peer: {:?} }}", outsider.pubkey)},
        {"another slot", chunk(ids[1], 12, 0, 0, 2, 2), uncorrelated},
        {"another producer", chunk(ids[1], 11, 3, 0, 2, 2), uncorrelated},
        {"another start index", chunk(ids[1], 11, 0, 1, 2, 2), uncorrelated},
        {"a forged chunk", bad_sig, format("ShredsFetchAuthInvalid {{ peer: {} }}", key(1))},
        {"513 shreds", chunk(ids[1], 11, 0, 0, 513, 513), uncorrelated},
        {"next index equal to start", chunk(ids[1], 11, 0, 0, 0, 2), uncorrelated},
    };
    for (const Case& c : cases) {
        SubResult r = m.handle_shreds_fetch_response(c.response);
        EXPECT_EQ(event_texts(r), Texts{c.event}) << c.name;
        EXPECT_TRUE(r.messages.empty()) << c.name;
        EXPECT_TRUE(same(*m.shred_catchup, before)) << c.name;
    }
    EXPECT_EQ(store->ingest_calls(), 0u);

    // 512 is the most a chunk may carry.
    SubResult r = m.handle_shreds_fetch_response(chunk(ids[1], 11, 0, 0, 512, 512));
    EXPECT_EQ(event_texts(r), Texts{format("ShredsFetchProgress {{ from_peer: {}, slot: 11, shreds: 512 }}", key(1))});
    EXPECT_EQ(store->ingested().size(), 512u);
    EXPECT_EQ(m.shred_catchup->phase, (decltype(before.phase){ShredCatchup::Fetching{ids[0].pubkey, 11, 512}}));
    // A stale copy of the chunk just taken no longer matches.
    EXPECT_EQ(event_kinds(m.handle_shreds_fetch_response(chunk(ids[1], 11, 0, 0, 512, 512))),
              Texts{"ShredsFetchUncorrelated"});
}

TEST_F(CatchupTest, FetchWithoutStoreAdvancesAndEmptyChunksIngestNothing) {
    Machine m = make(2, 10);
    start_catchup(m);
    ASSERT_EQ(event_kinds(m.handle_shreds_available_response(
                  catalog(1, 11, m.shred_catchup->query_nonce, blocks(11, 12)))),
              Texts{"ShredsCatalogAccepted"});
    // No store: the shreds are dropped, the fetch goes on.
    SubResult r = m.handle_shreds_fetch_response(chunk(ids[1], 11, 0, 0, std::nullopt, 3));
    EXPECT_EQ(event_kinds(r), Texts{"ShredsFetchProgress"});
    EXPECT_EQ(std::get<Unicast>(r.messages.at(0)),
              (Unicast{ids[1].pubkey,
                       ConsensusMessage(ShredsFetchRequest(ids[2].pubkey, 12, ids[0].pubkey, 0, ids[2].secret))}));
    EXPECT_EQ(m.shred_catchup->blocks_fetched, 1u);

    auto store = std::make_shared<MemoryShredsIo>();
    m.shreds_io = store;
    r = m.handle_shreds_fetch_response(chunk(ids[1], 12, 0, 0, std::nullopt, 0));
    EXPECT_EQ(event_texts(r), (Texts{format("ShredsFetchProgress {{ from_peer: {}, slot: 12, shreds: 0 }}", key(1)),
                                     "ShredsCatchupFetchComplete { blocks: 2 }"}));
    EXPECT_TRUE(r.messages.empty());
    EXPECT_EQ(store->ingest_calls(), 0u);
}

TEST_F(CatchupTest, PeerThatIsBehindPausesUntilTheDeferralExpires) {
    Machine m = make(2, 10);
    start_catchup(m);
    const BlsPubkey me = ids[2].pubkey;
    const u128 nonce = m.shred_catchup->query_nonce;
    const ShredCatchup before = *m.shred_catchup;
    const std::string ignored = format("ShredsBehindIgnored {{ from_peer: {} }}", key(1));

    struct Case {
        const char* name;
        ShredsBehindResponse response;
        std::string event;
    };
    ShredsBehindResponse forged = behind(ids[1], me, 11, nonce, 16);
    forged.tip_slot = 17;
    const Case cases[] = {
        {"tip only 4 ahead", behind(ids[1], me, 11, nonce, 15), ignored},
        {"another nonce", behind(ids[1], me, 11, nonce ^ 1, 16), ignored},
        {"another requester", behind(ids[1], ids[3].pubkey, 11, nonce, 16), ignored},
        {"another slot", behind(ids[1], me, 10, nonce, 16), ignored},
        {"a stranger", behind(outsider, me, 11, nonce, 16),
         format("ShredsBehindAuthInvalid {{ responder: {:?} }}", outsider.pubkey)},
        {"forged", forged, format("ShredsBehindAuthInvalid {{ responder: {} }}", key(1))},
    };
    for (const Case& c : cases) {
        SubResult r = m.handle_shreds_behind_response(c.response);
        EXPECT_EQ(event_texts(r), Texts{c.event}) << c.name;
        EXPECT_TRUE(r.messages.empty()) << c.name;
        EXPECT_TRUE(same(*m.shred_catchup, before)) << c.name;
    }

    SubResult r = m.handle_shreds_behind_response(behind(ids[1], me, 11, nonce, 16));
    EXPECT_EQ(event_texts(r), Texts{format("ShredsCatchupBehind {{ from_peer: {}, tip_slot: 16 }}", key(1))});
    EXPECT_TRUE(r.messages.empty());
    ShredCatchup paused = before;
    paused.deferred_at = clock.now();
    EXPECT_TRUE(same(*m.shred_catchup, paused));
    // A paused catch-up takes no second behind answer.
    EXPECT_EQ(event_texts(m.handle_shreds_behind_response(behind(ids[3], me, 11, nonce, 40))),
              Texts{format("ShredsBehindIgnored {{ from_peer: {} }}", key(3))});

    // The pause outlives 1.999 s and ends at 2 s with a fresh nonce.
    clock.advance(1999ms);
    EXPECT_EQ(event_kinds(m.tick()), Texts{"BaseProgressCheck"});
    EXPECT_TRUE(same(*m.shred_catchup, paused));
    clock.advance(1ms);
    EXPECT_EQ(event_texts(m.tick()), (Texts{"ShredsCatchupDeferralExpired { target_slot: 30 }",
                                            format("BaseProgressCheck {{ vesk_id: {} }}", key(0))}));
    ShredCatchup resumed = *m.shred_catchup;
    EXPECT_NE(resumed.query_nonce, nonce);
    resumed.query_nonce = nonce;
    EXPECT_TRUE(same(resumed, before));
    // Answers to the old query no longer match.
    EXPECT_EQ(event_texts(m.handle_shreds_behind_response(behind(ids[1], me, 11, nonce, 16))), Texts{ignored});
    EXPECT_EQ(event_kinds(m.handle_shreds_available_response(catalog(1, 11, nonce, blocks(11, 12)))),
              Texts{"ShredsCatalogIgnored"});
}

TEST_F(CatchupTest, BehindAnswerWhileFetchingIsIgnored) {
    Machine m = make(2, 10);
    start_catchup(m);
    const u128 nonce = m.shred_catchup->query_nonce;
    ASSERT_EQ(event_kinds(m.handle_shreds_available_response(catalog(1, 11, nonce, blocks(11, 12)))),
              Texts{"ShredsCatalogAccepted"});
    const ShredCatchup before = *m.shred_catchup;
    EXPECT_EQ(event_kinds(m.handle_shreds_behind_response(behind(ids[3], ids[2].pubkey, 11, nonce, 30))),
              Texts{"ShredsBehindIgnored"});
    EXPECT_TRUE(same(*m.shred_catchup, before));
}

TEST_F(CatchupTest, PausedCatchupFetchesAndReturnsToThePause) {
    Machine m = make(2, 10);
    start_catchup(m);
    const u128 nonce = m.shred_catchup->query_nonce;
    ASSERT_EQ(event_kinds(m.handle_shreds_behind_response(behind(ids[3], ids[2].pubkey, 11, nonce, 16))),
              Texts{"ShredsCatchupBehind"});
    const WallTime paused_at = *m.shred_catchup->deferred_at;

    ASSERT_EQ(event_kinds(m.handle_shreds_available_response(catalog(1, 11, nonce, blocks(11, 11)))),
              Texts{"ShredsCatalogAccepted"});
    EXPECT_EQ(m.shred_catchup->deferred_at, paused_at);
    clock.advance(1s);
    EXPECT_EQ(event_kinds(m.handle_shreds_fetch_response(chunk(ids[1], 11, 0, 0, std::nullopt, 1))),
              (Texts{"ShredsFetchProgress", "ShredsCatchupFetchComplete"}));
    EXPECT_EQ(m.shred_catchup->deferred_at, paused_at);
    EXPECT_TRUE(std::holds_alternative<ShredCatchup::Querying>(m.shred_catchup->phase));
    EXPECT_FALSE(m.shred_catchup->peer.has_value());
    EXPECT_EQ(m.shred_catchup->query_nonce, nonce);
}

TEST_F(CatchupTest, TipMovesLiftThePauseOrEndTheCatchup) {
    Machine m = make(2, 10);
    start_catchup(m, 13);
    u128 nonce = m.shred_catchup->query_nonce;
    // An unpaused catch-up keeps its query across a tip move.
    advance(m, 11);
    EXPECT_EQ(m.shred_catchup->query_nonce, nonce);

    ASSERT_EQ(event_kinds(m.handle_shreds_behind_response(behind(ids[1], ids[2].pubkey, 12, nonce, 17))),
              Texts{"ShredsCatchupBehind"});
    advance(m, 12);  // target - 1
    ASSERT_TRUE(m.shred_catchup.has_value());
    EXPECT_FALSE(m.shred_catchup->deferred_at.has_value());
    EXPECT_NE(m.shred_catchup->query_nonce, nonce);
    advance(m, 13);
    EXPECT_FALSE(m.shred_catchup.has_value());
}

TEST_F(CatchupTest, QueryNoncesDiffer) {
    u128 a = ShredCatchup::fresh_query_nonce();
    u128 b = ShredCatchup::fresh_query_nonce();
    EXPECT_NE(a, b);
    EXPECT_NE(a >> 64, 0u);  // both halves drawn
}

}  // namespace
}  // namespace vesk
