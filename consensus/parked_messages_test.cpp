#include "consensus/parked_messages.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "base/diag.hpp"
#include "base/text.hpp"
#include "consensus/statemachine/limits.hpp"

namespace vesk {
namespace {

BlsPubkey key(uint8_t v) {
    BlsPubkey k;
    k.bytes.fill(v);
    return k;
}

const BlsPubkey A = key(0xa1);
const BlsPubkey B = key(0xb2);
const BlsPubkey OTHER = key(0x0e);

ConsensusMessage ping(const BlsPubkey& sender, uint64_t nonce) {
    Ping p;
    p.sender = sender;
    p.nonce = nonce;
    return p;
}

// Differently signed copies of one proposal share a key.
ConsensusMessage proposal(const BlsPubkey& signer, uint64_t slot, uint8_t sig) {
    SignedBlockProposalMessage p;
    p.pubkey = signer;
    p.proposal.slot = slot;
    p.proposal.vesk_id = signer;
    p.signature.bytes.fill(sig);
    return p;
}

UnparkEvent reached(uint64_t slot) { return unpark::ChainStateReached{slot}; }
UnparkEvent rotated(const BlsPubkey& leader, uint64_t slot) { return unpark::LeaderRotated{leader, slot}; }
UnparkEvent processed(const BlsPubkey& producer, uint64_t slot) { return unpark::BlockProcessed{producer, slot}; }

// Pings are told apart by their nonces.
std::vector<uint64_t> nonces(const std::vector<ConsensusMessage>& msgs) {
    std::vector<uint64_t> out;
    for (const auto& m : msgs) {
        const Ping* p = m.get_if<Ping>();
        out.push_back(p ? p->nonce : UINT64_MAX);
    }
    return out;
}

struct CapturingLogger : diag::Logger {
    std::vector<std::string> lines;
    void log(diag::Level, std::string_view target, std::string_view text) override {
        lines.push_back(format("{}: {}", target, text));
    }
};

struct LoggerScope {
    CapturingLogger logger;
    LoggerScope() { diag::set_logger(&logger); }
    ~LoggerScope() { diag::set_logger(nullptr); }
};

TEST(ParkedMessages, SourceOfEveryKind) {
    Pong pong;
    pong.pinger = OTHER;
    pong.responder = A;
    SignedEntryAnnouncement entry;
    entry.producer = A;
    SignedQuorumMessage vote;
    vote.pubkey = A;
    vote.message.vesk_id = OTHER;
    QuorumCertificate qc;
    qc.message.vesk_id = A;
    StateSyncRequest ssreq;
    ssreq.requester = A;
    StateSyncResponse ssresp;
    ssresp.vesk_id = OTHER;
    ssresp.responder = A;
    QcRequest qcreq;
    qcreq.requester = A;
    QcResponse qcresp;
    qcresp.responder = A;
    qcresp.qc.message.vesk_id = OTHER;
    ShredsAvailableRequest sareq;
    sareq.requester = A;
    ShredsAvailableResponse saresp;
    saresp.responder = A;
    ShredsFetchRequest sfreq;
    sfreq.requester = A;
    sfreq.producer = OTHER;
    ShredsFetchResponse sfresp;
    sfresp.responder = A;
    sfresp.producer = OTHER;
    ShredsBehindResponse behind;
    behind.responder = A;
    behind.requester = OTHER;
    SignedBlockProposalMessage prop;
    prop.pubkey = A;
    prop.proposal.vesk_id = OTHER;

    const std::vector<ConsensusMessage> all = {ping(A, 1), pong,  entry,  prop,   vote,  qc,    ssreq, ssresp,
                                               qcreq,      qcresp, sareq, saresp, sfreq, sfresp, behind};
    ASSERT_EQ(all.size(), 15u);
    for (size_t i = 0; i < all.size(); ++i) {
        EXPECT_EQ(static_cast<size_t>(all[i].kind()), i);
        EXPECT_EQ(message_source(all[i]), A) << all[i].kind_name();
    }
}

TEST(ParkedMessages, SlotWindowHoldsFloorThroughFloorPlusFifty) {
    struct Case {
        uint64_t floor;
        uint64_t valid_until;
        bool parked;
    };
    const Case cases[] = {
        {10, 9, false},
        {10, 10, true},
        {10, 60, true},
        {10, 61, false},
        {0, 0, true},
        {0, 50, true},
        {0, 51, false},
        // floor + 50 passes the top of the range: the window ends there.
        {UINT64_MAX - 10, UINT64_MAX - 11, false},
        {UINT64_MAX - 10, UINT64_MAX - 10, true},
        {UINT64_MAX - 10, UINT64_MAX, true},
        {UINT64_MAX - 50, UINT64_MAX, true},
        {UINT64_MAX - 51, UINT64_MAX, false},
        {UINT64_MAX, UINT64_MAX, true},
        {UINT64_MAX, 0, false},
        {UINT64_MAX, 49, false},
    };
    for (const auto& c : cases) {
        ParkedMessages store(c.floor, statemachine_detail::PARKED_PER_SOURCE);
        EXPECT_EQ(store.park(ping(A, 1), c.valid_until, reached(5)), c.parked)
            << "floor " << c.floor << " valid_until " << c.valid_until;
        EXPECT_EQ(store.source_size(A), c.parked ? 1u : 0u);
        EXPECT_EQ(nonces(store.unpark(reached(5))), c.parked ? std::vector<uint64_t>{1} : std::vector<uint64_t>{});
    }
}

TEST(ParkedMessages, SameMessageTwiceUnderOneEventKeepsTheFirst) {
    ParkedMessages store(10, statemachine_detail::PARKED_PER_SOURCE);
    const ConsensusMessage first = proposal(A, 15, 1);
    const ConsensusMessage second = proposal(A, 15, 2);  // same key, other signature
    ASSERT_EQ(first.key(), second.key());
    EXPECT_TRUE(store.park(first, 15, processed(A, 15)));
    EXPECT_TRUE(store.park(second, 40, processed(A, 15)));
    EXPECT_EQ(store.source_size(A), 1u);
    ASSERT_EQ(store.parked().size(), 1u);
    EXPECT_EQ(store.parked().at(processed(A, 15)).size(), 1u);

    // The kept copy is the first, with its own valid_until.
    ParkedMessages copy = store;
    copy.cleanup(15);
    EXPECT_TRUE(copy.parked().empty());
    EXPECT_EQ(copy.source_size(A), 0u);

    std::vector<ConsensusMessage> out = store.unpark(processed(A, 15));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_TRUE(out[0] == first);
    EXPECT_EQ(store.source_size(A), 0u);
}

TEST(ParkedMessages, ACopySignedByAnotherMemberNeverShadowsTheSignersOwn) {
    // B signs A's header and gets it in first; A's own proposal of the same
    // header is still parked, beside the copy.
    ParkedMessages store(10, statemachine_detail::PARKED_PER_SOURCE);
    ConsensusMessage copy = proposal(A, 15, 1);
    std::get<SignedBlockProposalMessage>(copy.payload).pubkey = B;
    const ConsensusMessage own = proposal(A, 15, 2);
    ASSERT_EQ(copy.key(), own.key());
    EXPECT_NE(parking_key(copy), parking_key(own));
    EXPECT_EQ(parking_key(own), parking_key(proposal(A, 15, 3)));

    EXPECT_TRUE(store.park(copy, 15, reached(14)));
    EXPECT_TRUE(store.park(own, 15, reached(14)));
    EXPECT_TRUE(store.park(proposal(A, 15, 3), 15, reached(14)));  // A's again: a duplicate
    EXPECT_EQ(store.source_size(A), 1u);
    EXPECT_EQ(store.source_size(B), 1u);
    std::vector<ConsensusMessage> out = store.unpark(reached(14));
    ASSERT_EQ(out.size(), 2u);
    EXPECT_TRUE(out[0] == copy);
    EXPECT_TRUE(out[1] == own);
}

TEST(ParkedMessages, SameMessageUnderTwoEventsIsStoredAndCountedTwice) {
    ParkedMessages store(10, statemachine_detail::PARKED_PER_SOURCE);
    EXPECT_TRUE(store.park(ping(A, 7), 20, reached(12)));
    EXPECT_TRUE(store.park(ping(A, 7), 20, rotated(B, 12)));
    EXPECT_EQ(store.source_size(A), 2u);

    EXPECT_EQ(nonces(store.unpark(rotated(B, 12))), std::vector<uint64_t>{7});
    EXPECT_EQ(store.source_size(A), 1u);
    EXPECT_EQ(nonces(store.unpark(reached(12))), std::vector<uint64_t>{7});
    // A count that drops to 0 keeps its entry.
    EXPECT_EQ(store.src_size(), (ParkedMessages::SourceSizes{{A, 0}}));
    EXPECT_TRUE(store.parked().empty());
}

TEST(ParkedMessages, SourceCapacityOfTheStateMachine) {
    ParkedMessages store(0, statemachine_detail::PARKED_PER_SOURCE);
    ASSERT_EQ(store.src_capacity(), 10000u);
    for (uint64_t n = 0; n < 10000; ++n) ASSERT_TRUE(store.park(ping(A, n), n % 51, reached(1 + n % 3)));
    EXPECT_EQ(store.source_size(A), 10000u);

    EXPECT_FALSE(store.park(ping(A, 10000), 5, reached(1)));
    EXPECT_FALSE(store.park(ping(A, 10000), 5, reached(9)));
    // The capacity check comes first, so even a copy of a parked message is refused.
    EXPECT_FALSE(store.park(ping(A, 0), 0, reached(1)));
    EXPECT_TRUE(store.park(ping(B, 0), 5, reached(1)));
    EXPECT_EQ(store.source_size(A), 10000u);
    EXPECT_EQ(store.source_size(B), 1u);

    // Releasing one event frees room for that many.
    const size_t released = store.unpark(reached(2)).size();
    EXPECT_EQ(released, 3333u);
    EXPECT_EQ(store.source_size(A), 10000u - released);
    EXPECT_TRUE(store.park(ping(A, 10000), 5, reached(1)));
}

TEST(ParkedMessages, SmallCapacityCountsAcrossEvents) {
    ParkedMessages store(0, 2);
    EXPECT_TRUE(store.park(ping(A, 1), 5, reached(1)));
    EXPECT_TRUE(store.park(ping(A, 1), 5, reached(2)));
    EXPECT_FALSE(store.park(ping(A, 2), 5, reached(3)));
    EXPECT_TRUE(store.park(ping(B, 1), 5, reached(3)));
    EXPECT_TRUE(store.park(ping(B, 2), 5, reached(3)));
    EXPECT_FALSE(store.park(ping(B, 3), 5, reached(3)));
    EXPECT_EQ(store.src_size(), (ParkedMessages::SourceSizes{{A, 2}, {B, 2}}));

    ParkedMessages none(0, 0);
    EXPECT_FALSE(none.park(ping(A, 1), 5, reached(1)));
    EXPECT_TRUE(none.parked().empty());
}

TEST(ParkedMessages, UnparkReturnsEachEventsMessagesInParkingOrder) {
    ParkedMessages store(100, statemachine_detail::PARKED_PER_SOURCE);
    // Interleaved across events and sources; 3 under the first event repeats.
    const struct {
        BlsPubkey source;
        uint64_t nonce;
        UnparkEvent event;
    } parks[] = {
        {A, 5, reached(101)},  {B, 1, processed(A, 101)}, {B, 9, reached(101)}, {A, 3, reached(101)},
        {A, 4, rotated(B, 101)}, {A, 2, processed(A, 101)}, {A, 5, reached(101)}, {B, 0, reached(101)},
    };
    for (const auto& p : parks) ASSERT_TRUE(store.park(ping(p.source, p.nonce), 110, p.event));
    EXPECT_EQ(store.source_size(A), 4u);
    EXPECT_EQ(store.source_size(B), 3u);

    EXPECT_EQ(nonces(store.unpark(reached(102))), std::vector<uint64_t>{});
    EXPECT_EQ(nonces(store.unpark(processed(B, 101))), std::vector<uint64_t>{});
    EXPECT_EQ(nonces(store.unpark(reached(101))), (std::vector<uint64_t>{5, 9, 3, 0}));
    EXPECT_EQ(nonces(store.unpark(reached(101))), std::vector<uint64_t>{});
    EXPECT_EQ(store.src_size(), (ParkedMessages::SourceSizes{{A, 2}, {B, 1}}));
    EXPECT_EQ(nonces(store.unpark(processed(A, 101))), (std::vector<uint64_t>{1, 2}));
    EXPECT_EQ(nonces(store.unpark(rotated(B, 101))), std::vector<uint64_t>{4});
    EXPECT_EQ(store.src_size(), (ParkedMessages::SourceSizes{{A, 0}, {B, 0}}));
    EXPECT_TRUE(store.parked().empty());
}

TEST(ParkedMessages, CleanupForgetsPassedSlotsAndMovesTheFloor) {
    ParkedMessages store(10, statemachine_detail::PARKED_PER_SOURCE);
    ASSERT_TRUE(store.park(ping(A, 1), 21, reached(15)));
    ASSERT_TRUE(store.park(ping(A, 2), 20, reached(15)));
    ASSERT_TRUE(store.park(ping(B, 3), 30, reached(15)));
    ASSERT_TRUE(store.park(ping(B, 4), 12, reached(15)));
    ASSERT_TRUE(store.park(ping(A, 5), 20, rotated(B, 11)));
    ASSERT_TRUE(store.park(ping(B, 6), 60, rotated(B, 11)));
    ASSERT_TRUE(store.park(ping(A, 7), 15, processed(A, 15)));

    store.cleanup(20);
    EXPECT_EQ(store.slot_floor(), 20u);
    // The emptied event is gone; the others keep their order.
    EXPECT_EQ(store.parked().size(), 2u);
    EXPECT_FALSE(store.parked().contains(processed(A, 15)));
    EXPECT_EQ(store.src_size(), (ParkedMessages::SourceSizes{{A, 1}, {B, 2}}));
    // The window follows the new floor.
    EXPECT_FALSE(store.park(ping(A, 8), 19, reached(15)));
    EXPECT_FALSE(store.park(ping(A, 8), 71, reached(15)));
    EXPECT_TRUE(store.park(ping(A, 8), 70, reached(15)));

    EXPECT_EQ(nonces(store.unpark(reached(15))), (std::vector<uint64_t>{1, 3, 8}));
    EXPECT_EQ(nonces(store.unpark(rotated(B, 11))), std::vector<uint64_t>{6});
    EXPECT_EQ(nonces(store.unpark(processed(A, 15))), std::vector<uint64_t>{});
    EXPECT_EQ(store.src_size(), (ParkedMessages::SourceSizes{{A, 0}, {B, 0}}));
}

TEST(ParkedMessages, CleanupMayLowerTheFloor) {
    ParkedMessages store(40, statemachine_detail::PARKED_PER_SOURCE);
    ASSERT_TRUE(store.park(ping(A, 1), 45, reached(41)));
    store.cleanup(5);
    EXPECT_EQ(store.slot_floor(), 5u);
    EXPECT_TRUE(store.park(ping(A, 2), 5, reached(41)));
    EXPECT_FALSE(store.park(ping(A, 3), 56, reached(41)));
    EXPECT_EQ(nonces(store.unpark(reached(41))), (std::vector<uint64_t>{1, 2}));

    // Near the top of the range the floor keeps its saturated window.
    store.cleanup(UINT64_MAX);
    EXPECT_TRUE(store.park(ping(A, 4), UINT64_MAX, reached(41)));
    store.cleanup(UINT64_MAX);
    EXPECT_TRUE(store.parked().empty());
    EXPECT_EQ(store.source_size(A), 0u);
}

TEST(ParkedMessages, RefusalDiagnostics) {
    LoggerScope scope;
    ParkedMessages store(10, 1);
    EXPECT_FALSE(store.park(proposal(A, 3, 1), 61, reached(11)));
    EXPECT_TRUE(store.park(ping(A, 1), 10, reached(11)));
    EXPECT_FALSE(store.park(ping(A, 2), 10, reached(11)));
    store.unpark(reached(11));
    store.cleanup(30);
    EXPECT_EQ(scope.logger.lines,
              (std::vector<std::string>{
                  "vesk_consensus::parked_messages: could not park message (kind=BlockProposal), already outdated "
                  "or too far in the future (valid_until=61, slot_floor=10)",
                  format("vesk_consensus::parked_messages: could not park message (kind=Ping), source ({:?}) "
                         "capacity reached",
                         std::optional<BlsPubkey>(A)),
              }));
    EXPECT_EQ(format("{:?}", std::optional<BlsPubkey>(A)), "Some(BlsPubkey(a1a1a1a1..))");
}

}  // namespace
}  // namespace vesk
