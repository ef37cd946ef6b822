#include "consensus/message.hpp"

#include <gtest/gtest.h>

#include "base/bytes.hpp"
#include "base/text.hpp"
#include "consensus/bls.hpp"
#include "consensus/test_keys.hpp"

namespace vesk {
namespace {

class MessageTest : public testing::Test {
protected:
    NodeIdentity a{testkeys::secret(1)};
    NodeIdentity b{testkeys::secret(2)};

    Hash filled(uint8_t v) {
        Hash h;
        h.bytes.fill(v);
        return h;
    }
    // The signature must cover exactly these bytes.
    static bool signs(const BlsPubkey& key, const BlsSignature& sig, const ByteWriter& expected) {
        return bls::verify(key, sig, expected.data());
    }
    QuorumCertificate some_qc() {
        QuorumCertificate qc;
        qc.quorum_view_id = filled(9);
        qc.message.slot = 12;
        qc.bitmap = 0b1011;
        qc.aggregated_signature.bytes[0] = 0xc0;
        return qc;
    }
};

TEST_F(MessageTest, SigningBytesOfFixedLayouts) {
    const u128 nonce = (u128{0x0102030405060708} << 64) | 0x1112131415161718;
    struct Case {
        const char* name;
        BlsPubkey signer;
        BlsSignature sig;
        ByteWriter expected;
        size_t len;
    };
    Ping ping(a.pubkey, 7, a.secret);
    Pong pong(b.pubkey, a.pubkey, 7, a.secret);
    SignedEntryAnnouncement ann(EntryAnnouncement{filled(3), a.pubkey, 44, 2}, a.secret);
    QcRequest qr0(a.pubkey, 5, std::nullopt, a.secret);
    QcRequest qr1(a.pubkey, 5, filled(4), a.secret);
    ShredsFetchRequest fr(a.pubkey, 6, b.pubkey, 77, a.secret);
    ShredsBehindResponse br(a.pubkey, b.pubkey, 8, nonce, 99, a.secret);

    Case cases[] = {
        {"Ping", a.pubkey, ping.signature, ByteWriter().tag("VESK_PING_DST").bytes(a.pubkey.bytes).u64(7), 69},
        {"Pong", a.pubkey, pong.signature,
         ByteWriter().tag("VESK_PONG_DST").bytes(b.pubkey.bytes).bytes(a.pubkey.bytes).u64(7), 117},
        {"Entry", a.pubkey, ann.signature, ByteWriter().tag("ENTRY_MESSAGE_DST").u64(44).bytes(filled(3).bytes), 57},
        {"QcRequest-none", a.pubkey, qr0.signature,
         ByteWriter().tag("QC_REQUEST_DST").bytes(a.pubkey.bytes).u64(5).u8(0), 71},
        {"QcRequest-some", a.pubkey, qr1.signature,
         ByteWriter().tag("QC_REQUEST_DST").bytes(a.pubkey.bytes).u64(5).u8(1).bytes(filled(4).bytes), 103},
        {"ShredsFetchRequest", a.pubkey, fr.signature,
         ByteWriter().tag("SHREDS_FETCH_REQUEST_DST").bytes(a.pubkey.bytes).u64(6).bytes(b.pubkey.bytes).u32(77), 132},
        {"ShredsBehindResponse", a.pubkey, br.signature,
         ByteWriter()
             .tag("SHREDS_BEHIND_RESPONSE_DST")
             .bytes(a.pubkey.bytes)
             .bytes(b.pubkey.bytes)
             .u64(8)
             .u64(0x1112131415161718)
             .u64(0x0102030405060708)
             .u64(99),
         154},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.expected.size(), c.len) << c.name;
        EXPECT_TRUE(signs(c.signer, c.sig, c.expected)) << c.name;
    }
    EXPECT_TRUE(ping.verify() && pong.verify() && ann.verify() && qr0.verify() && qr1.verify() && fr.verify() &&
                br.verify());
}

TEST_F(MessageTest, UnsignedRequestsHaveChecksOnly) {
    StateSyncRequest ss{a.pubkey, 17, {}};
    ss.signature = bls::sign(a.secret, ByteWriter().tag("STATE_SYNC_REQUEST_DST").bytes(a.pubkey.bytes).u64(17).data());
    EXPECT_TRUE(ss.verify());
    ss.from_slot = 18;
    EXPECT_FALSE(ss.verify());

    ShredsAvailableRequest sa{a.pubkey, 3, u128{5} << 64, {}};
    auto bytes = ByteWriter().tag("SHREDS_AVAILABLE_REQUEST_DST").bytes(a.pubkey.bytes).u64(3).u64(0).u64(5);
    ASSERT_EQ(bytes.size(), 100u);
    sa.signature = bls::sign(a.secret, bytes.data());
    EXPECT_TRUE(sa.verify());
    sa.nonce = 5;
    EXPECT_FALSE(sa.verify());
}

TEST_F(MessageTest, VariableLayouts) {
    QuorumCertificate qc = some_qc();
    auto body = qc.body_bytes();
    ASSERT_EQ(body.size(), 281u);
    EXPECT_EQ(body[0], 9);         // view id first
    EXPECT_EQ(body[32], 12);       // then the statement
    EXPECT_EQ(body[273], 0b1011);  // then the bitmap

    StateSyncResponse ssr({a.pubkey, b.pubkey}, 30, b.pubkey, true, {qc}, a.pubkey, a.secret);
    auto s = ssr.signing_bytes();
    // Both counts stand in the bytes: 144 + 48 per member + 281 per certificate.
    EXPECT_EQ(s.size(), 144u + 48 * 2 + 281);
    EXPECT_EQ(std::string(s.begin(), s.begin() + 23), "STATE_SYNC_RESPONSE_DST");
    EXPECT_EQ(s[23 + 48], 30);             // to_slot after the responder
    EXPECT_EQ(s[23 + 48 + 8 + 48], 1);     // has_next_view
    EXPECT_EQ(s[23 + 48 + 8 + 48 + 1], 2); // member count
    EXPECT_EQ(s[136 + 96], 1);             // certificate count
    EXPECT_TRUE(ssr.verify());

    QcResponse qres(a.pubkey, qc, a.secret);
    EXPECT_EQ(qres.signing_bytes().size(), 344u);
    auto changed_sig = qres;
    changed_sig.qc.aggregated_signature.bytes[5] ^= 1;
    EXPECT_TRUE(changed_sig.verify());  // the body leaves the aggregate out
    auto changed_bitmap = qres;
    changed_bitmap.qc.bitmap ^= 1;
    EXPECT_FALSE(changed_bitmap.verify());

    ShredsAvailableResponse sav(a.pubkey, 4, 1, {{b.pubkey, 4, 0xabcd}, {a.pubkey, 5, 1}}, a.secret);
    auto sb = sav.signing_bytes();
    EXPECT_EQ(sb.size(), 109u + 120);
    EXPECT_EQ(sb[29 + 48 + 8 + 16], 2);                 // block count
    EXPECT_EQ(sb[109], 4);                              // first block: slot
    EXPECT_EQ(sb[109 + 8 + 48], 0xcd);                  // then producer, then value
    EXPECT_TRUE(sav.verify());
}

TEST_F(MessageTest, ShredsFetchResponseDigest) {
    ShredsFetchResponse none(a.pubkey, 1, b.pubkey, 0, std::nullopt, {}, a.secret);
    auto n = none.signing_bytes();
    ASSERT_EQ(n.size(), 174u);
    EXPECT_EQ(n[25 + 48 + 8 + 48 + 4], 0);  // no next_index
    // Count 0, then the SHA-256 of the empty string.
    EXPECT_EQ(n[134], 0);
    Hash empty = hashv({as_bytes("")});
    EXPECT_TRUE(std::equal(empty.bytes.begin(), empty.bytes.end(), n.begin() + 142));

    ShredsFetchResponse some(a.pubkey, 1, b.pubkey, 0, 9, {{1, 2, 3}, {4}}, a.secret);
    auto s = some.signing_bytes();
    ASSERT_EQ(s.size(), 178u);
    Hash digest = hashv({ByteWriter().u64(3).bytes(std::vector<uint8_t>{1, 2, 3}).u64(1).u8(4).data()});
    EXPECT_TRUE(std::equal(digest.bytes.begin(), digest.bytes.end(), s.begin() + 146));
    EXPECT_TRUE(some.verify());
    auto flipped = some;
    flipped.shreds[1][0] = 5;
    EXPECT_NE(flipped.signing_bytes(), s);
    EXPECT_FALSE(flipped.verify());
}

TEST_F(MessageTest, VerifyRejectsChanges) {
    Ping ping(a.pubkey, 7, a.secret);
    ping.nonce = 8;
    EXPECT_FALSE(ping.verify());

    Pong pong(b.pubkey, a.pubkey, 7, a.secret);
    pong.pinger = a.pubkey;
    EXPECT_FALSE(pong.verify());

    SignedEntryAnnouncement ann(EntryAnnouncement{filled(3), a.pubkey, 44, 2}, a.secret);
    auto moved = ann;
    moved.entry_id = 3;
    EXPECT_TRUE(moved.verify());  // entry_id is bound through the entry hash, not signed
    EXPECT_NE(ConsensusMessage(moved).key(), ConsensusMessage(ann).key());
    auto other_producer = ann;
    other_producer.producer = b.pubkey;
    EXPECT_FALSE(other_producer.verify());

    ShredsBehindResponse br(a.pubkey, b.pubkey, 8, 1, 99, a.secret);
    br.tip_slot = 100;
    EXPECT_FALSE(br.verify());

    QcRequest bad_key(a.pubkey, 5, std::nullopt, a.secret);
    bad_key.requester = BlsPubkey{};
    EXPECT_FALSE(bad_key.verify());
}

TEST_F(MessageTest, MessageKeys) {
    BlockProposalMessage p;
    p.slot = 3;
    p.vesk_id = a.pubkey;
    SignedBlockProposalMessage one{p.sign(a.secret), a.pubkey, p};
    SignedBlockProposalMessage two{p.sign(b.secret), b.pubkey, p};
    EXPECT_EQ(ConsensusMessage(one).key(), ConsensusMessage(two).key());
    EXPECT_EQ(std::hash<MessageKey>()(ConsensusMessage(one).key()), std::hash<MessageKey>()(ConsensusMessage(two).key()));
    for (auto change : std::vector<void (*)(BlockProposalMessage&)>{
             [](BlockProposalMessage& q) { q.slot++; }, [](BlockProposalMessage& q) { q.entry_count++; },
             [](BlockProposalMessage& q) { q.proof_hash.bytes[0] ^= 1; },
             [](BlockProposalMessage& q) { q.recovery = true; }}) {
        SignedBlockProposalMessage changed = one;
        change(changed.proposal);
        EXPECT_NE(ConsensusMessage(changed).key(), ConsensusMessage(one).key());
    }

    SignedQuorumMessage v1;
    v1.pubkey = b.pubkey;
    v1.message.slot = 3;
    v1.message.vesk_id = a.pubkey;
    auto v2 = v1;
    v2.message.leader_view = 4;
    v2.message.qc_id = filled(1);
    EXPECT_EQ(ConsensusMessage(v1).key(), ConsensusMessage(v2).key());
    auto v3 = v1;
    v3.pubkey = a.pubkey;
    EXPECT_NE(ConsensusMessage(v1).key(), ConsensusMessage(v3).key());

    QuorumCertificate c1 = some_qc();
    auto c2 = c1;
    c2.bitmap = 1;
    c2.message.qc_id = filled(2);
    EXPECT_EQ(ConsensusMessage(c1).key(), ConsensusMessage(c2).key());
    c2.message.leader_view = 1;
    EXPECT_NE(ConsensusMessage(c1).key(), ConsensusMessage(c2).key());

    // Same identifying bytes under different kinds are different keys.
    StateSyncResponse ssr;
    ssr.responder = a.pubkey;
    QcResponse qres;
    qres.responder = a.pubkey;
    EXPECT_NE(ConsensusMessage(ssr).key(), ConsensusMessage(qres).key());
}

TEST_F(MessageTest, KindsInOrderAndNames) {
    EXPECT_EQ(ConsensusMessage(Ping{}).kind(), MessageKind::Ping);
    EXPECT_EQ(ConsensusMessage(SignedEntryAnnouncement{}).kind_name(), "EntryProposed");
    EXPECT_EQ(ConsensusMessage(SignedBlockProposalMessage{}).kind_name(), "BlockProposal");
    EXPECT_EQ(ConsensusMessage(SignedQuorumMessage{}).kind_name(), "BlockSignature");
    EXPECT_EQ(ConsensusMessage(QuorumCertificate{}).kind_name(), "Certificate");
    EXPECT_EQ(static_cast<int>(ConsensusMessage(ShredsBehindResponse{}).kind()), 14);
    EXPECT_EQ(kind_name(MessageKind::ShredsAvailableResponse), "ShredsAvailableResponse");
    EXPECT_EQ(to_display(EvictionReason::TimestampSkewed), "TimestampSkewed");
    EXPECT_EQ(to_display(EvictionReason::Equivocation), "Equivocation");

    // A copy is deep: the lists go with it.
    StateSyncResponse ssr;
    ssr.members = {a.pubkey};
    ConsensusMessage m(ssr);
    ConsensusMessage copy = m;
    std::get<StateSyncResponse>(copy.payload).members.push_back(b.pubkey);
    EXPECT_EQ(m.get_if<StateSyncResponse>()->members.size(), 1u);
    ConsensusMessageEnvelope env = Unicast{b.pubkey, m};
    EXPECT_EQ(std::get<Unicast>(env).recipient, b.pubkey);
}

}  // namespace
}  // namespace vesk
