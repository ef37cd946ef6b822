#include "consensus/certificate.hpp"

#include <gtest/gtest.h>

#include <algorithm>

#include "base/text.hpp"
#include "consensus/bls.hpp"
#include "consensus/signature_work.hpp"
#include "consensus/test_keys.hpp"

namespace vesk {
namespace {

Hash filled(uint8_t v) {
    Hash h;
    h.bytes.fill(v);
    return h;
}

QuorumMessage sample_message() {
    QuorumMessage m;
    m.slot = 0x0102030405060708;
    m.parent_qc_id = filled(0x11);
    m.leader_view = 0x2a;
    m.entries_hash = filled(0x22);
    m.vesk_id.bytes.fill(0x33);
    m.timestamp = -2;
    m.bank_hash = filled(0x44);
    m.recovery = true;
    m.crosschain = CrosschainCommitment{filled(0x55), 0x99};
    m.qc_id = QuorumMessage::compute_qc_id(m.slot, m.parent_qc_id, m.leader_view, m.entries_hash, m.vesk_id,
                                           m.timestamp, m.bank_hash, m.recovery, m.crosschain);
    return m;
}

TEST(QuorumMessage, ByteLayout) {
    QuorumMessage m = sample_message();
    auto b = m.to_bytes();
    ASSERT_EQ(b.size(), 241u);
    EXPECT_EQ(b[0], 0x08);
    EXPECT_EQ(b[7], 0x01);
    EXPECT_EQ(b[8], 0x11);
    EXPECT_EQ(b[39], 0x11);
    EXPECT_EQ(b[40], 0x2a);
    EXPECT_EQ(b[48], 0x22);
    EXPECT_EQ(b[80], 0x33);
    EXPECT_EQ(b[127], 0x33);
    EXPECT_EQ(b[128], 0xfe);  // -2, little-endian
    EXPECT_EQ(b[135], 0xff);
    EXPECT_EQ(b[136], 0x44);
    EXPECT_TRUE(std::equal(b.begin() + 168, b.begin() + 200, m.qc_id.bytes.begin()));
    EXPECT_EQ(b[200], 1);
    EXPECT_EQ(b[201], 0x55);
    EXPECT_EQ(b[233], 0x99);
    EXPECT_EQ(b[240], 0x00);

    auto s = m.signing_bytes();
    ASSERT_EQ(s.size(), 256u);
    EXPECT_EQ(std::string(s.begin(), s.begin() + 15), "QUORUM_CERT_DST");
    EXPECT_TRUE(std::equal(b.begin(), b.end(), s.begin() + 15));
}

TEST(QuorumMessage, QcIdCoversEveryOtherField) {
    QuorumMessage m = sample_message();
    // 219 bytes: the tag, then every to_bytes field but qc_id.
    auto b = m.to_bytes();
    std::vector<uint8_t> pre(b.begin(), b.end());
    pre.erase(pre.begin() + 168, pre.begin() + 200);
    pre.insert(pre.begin(), {'v', 'e', 's', 'k', '-', 'q', 'c', '-', 'i', 'd'});
    ASSERT_EQ(pre.size(), 219u);
    EXPECT_EQ(m.qc_id, hashv({pre}));

    auto id = [](const QuorumMessage& q) {
        return QuorumMessage::compute_qc_id(q.slot, q.parent_qc_id, q.leader_view, q.entries_hash, q.vesk_id,
                                            q.timestamp, q.bank_hash, q.recovery, q.crosschain);
    };
    std::vector<void (*)(QuorumMessage&)> changes = {
        [](QuorumMessage& q) { q.slot++; },
        [](QuorumMessage& q) { q.parent_qc_id.bytes[5] ^= 1; },
        [](QuorumMessage& q) { q.leader_view++; },
        [](QuorumMessage& q) { q.entries_hash.bytes[0] ^= 1; },
        [](QuorumMessage& q) { q.vesk_id.bytes[47] ^= 1; },
        [](QuorumMessage& q) { q.timestamp++; },
        [](QuorumMessage& q) { q.bank_hash.bytes[31] ^= 1; },
        [](QuorumMessage& q) { q.recovery = !q.recovery; },
        [](QuorumMessage& q) { q.crosschain.root.bytes[3] ^= 1; },
        [](QuorumMessage& q) { q.crosschain.epoch++; },
    };
    for (size_t i = 0; i < changes.size(); ++i) {
        QuorumMessage q = m;
        changes[i](q);
        EXPECT_NE(id(q), m.qc_id) << "field " << i;
    }
    QuorumMessage q = m;
    q.qc_id.bytes[0] ^= 1;
    EXPECT_EQ(id(q), m.qc_id);
    EXPECT_NE(q.signing_bytes(), m.signing_bytes());
}

BlockProposalMessage sample_proposal() {
    BlockProposalMessage p;
    p.slot = 9;
    p.parent_qc_id = filled(0x11);
    p.leader_view = 3;
    p.entries_hash = filled(0x22);
    p.entry_count = 0x0507;
    p.proof_hash = filled(0x66);
    p.vesk_id = bls::pubkey_from_secret(testkeys::secret(1));
    p.timestamp = 1700000000000;
    p.recovery = false;
    return p;
}

TEST(BlockProposal, ByteLayoutAndConversion) {
    auto p = sample_proposal();
    auto b = p.signing_bytes();
    ASSERT_EQ(b.size(), 195u);
    EXPECT_EQ(std::string(b.begin(), b.begin() + 18), "BLOCK_PROPOSAL_DST");
    EXPECT_EQ(b[18], 9);
    EXPECT_EQ(b[26], 0x11);
    EXPECT_EQ(b[58], 3);
    EXPECT_EQ(b[66], 0x22);
    EXPECT_EQ(b[98], 0x07);
    EXPECT_EQ(b[99], 0x05);
    EXPECT_EQ(b[106], 0x66);
    EXPECT_TRUE(std::equal(p.vesk_id.bytes.begin(), p.vesk_id.bytes.end(), b.begin() + 138));
    EXPECT_EQ(b[186], static_cast<uint8_t>(1700000000000 & 0xff));
    EXPECT_EQ(b[194], 0);

    CrosschainCommitment cc{filled(0x77), 4};
    QuorumMessage q = p.to_quorum_message(filled(0x88), cc);
    EXPECT_EQ(q.slot, p.slot);
    EXPECT_EQ(q.parent_qc_id, p.parent_qc_id);
    EXPECT_EQ(q.leader_view, p.leader_view);
    EXPECT_EQ(q.entries_hash, p.entries_hash);
    EXPECT_EQ(q.vesk_id, p.vesk_id);
    EXPECT_EQ(q.timestamp, p.timestamp);
    EXPECT_EQ(q.bank_hash, filled(0x88));
    EXPECT_EQ(q.crosschain, cc);
    EXPECT_EQ(q.qc_id, QuorumMessage::compute_qc_id(q.slot, q.parent_qc_id, q.leader_view, q.entries_hash,
                                                    q.vesk_id, q.timestamp, q.bank_hash, q.recovery, cc));
}

TEST(BlockProposal, ValidateCatchesEveryFieldChange) {
    auto sk = testkeys::secret(1);
    SignedBlockProposalMessage sp{sample_proposal().sign(sk), bls::pubkey_from_secret(sk), sample_proposal()};
    EXPECT_TRUE(sp.validate());
    std::vector<void (*)(BlockProposalMessage&)> changes = {
        [](BlockProposalMessage& p) { p.slot++; },
        [](BlockProposalMessage& p) { p.parent_qc_id.bytes[0] ^= 1; },
        [](BlockProposalMessage& p) { p.leader_view++; },
        [](BlockProposalMessage& p) { p.entries_hash.bytes[0] ^= 1; },
        [](BlockProposalMessage& p) { p.entry_count++; },
        [](BlockProposalMessage& p) { p.proof_hash.bytes[0] ^= 1; },
        [](BlockProposalMessage& p) { p.vesk_id = bls::pubkey_from_secret(testkeys::secret(2)); },
        [](BlockProposalMessage& p) { p.timestamp++; },
        [](BlockProposalMessage& p) { p.recovery = true; },
    };
    for (size_t i = 0; i < changes.size(); ++i) {
        auto changed = sp;
        changes[i](changed.proposal);
        EXPECT_FALSE(changed.validate()) << "field " << i;
    }
    auto bad_key = sp;
    bad_key.pubkey = BlsPubkey{};
    EXPECT_FALSE(bad_key.validate());
}

TEST(BlockProposal, EveryCheckIsComputed) {
    // The message is a plain value: it remembers no earlier answer, so each
    // check is a signature check of its own. Remembering is the state
    // machine's business.
    auto sk = testkeys::secret(1);
    BlockProposalMessage p = sample_proposal();
    SignedBlockProposalMessage sp{p.sign(sk), bls::pubkey_from_secret(sk), p};
    auto forged = sp;
    forged.proposal.slot++;
    const uint64_t before = signature_work().single_checks;
    EXPECT_TRUE(sp.validate());
    EXPECT_TRUE(SignedBlockProposalMessage(sp).validate());
    EXPECT_FALSE(forged.validate());
    EXPECT_TRUE(sp.validate());
    EXPECT_EQ(signature_work().single_checks, before + 4);
}

TEST(Vote, Validate) {
    auto sk = testkeys::secret(4);
    QuorumMessage m = sample_message();
    SignedQuorumMessage v{bls::sign(sk, m.signing_bytes()), bls::pubkey_from_secret(sk), m};
    EXPECT_TRUE(v.validate());
    v.message.slot++;
    EXPECT_FALSE(v.validate());
}

class CertificateTest : public testing::Test {
protected:
    // A view of n members with stake 1 each and the members' votes on one statement.
    void make(uint32_t n) {
        ids = testkeys::identities(n);
        auto members = testkeys::stake_one_members(ids);
        view.emplace(0, 100, members);
        msg = sample_message();
        for (size_t i = 0; i < view->len(); ++i) {
            auto& id = *std::find_if(ids.begin(), ids.end(), [&](auto& x) { return x.pubkey == view->keys[i]; });
            sigs.push_back(bls::sign(id.secret, msg.signing_bytes()));
        }
    }
    QuorumCertificate cert_of(std::vector<size_t> signers) const {
        std::vector<std::pair<size_t, BlsSignature>> list;
        for (size_t i : signers) list.emplace_back(i, sigs[i]);
        return QuorumCertificate(view->view_id, msg, list);
    }
    std::vector<NodeIdentity> ids;
    std::optional<QuorumView> view;
    QuorumMessage msg;
    std::vector<BlsSignature> sigs;
};

TEST_F(CertificateTest, TwoThirdsThresholdIsInclusive) {
    make(4);
    EXPECT_TRUE(cert_of({0, 1, 2}).verify(*view));
    EXPECT_TRUE(cert_of({1, 2, 3}).verify(*view));
    EXPECT_TRUE(cert_of({0, 1, 2, 3}).verify(*view));
    EXPECT_FALSE(cert_of({0, 1}).verify(*view));
    EXPECT_FALSE(cert_of({2, 3}).verify(*view));
}

TEST_F(CertificateTest, ThreeMembersTwoSignersPass) {
    make(3);
    EXPECT_TRUE(cert_of({0, 2}).verify(*view));
    EXPECT_FALSE(cert_of({1}).verify(*view));
}

TEST_F(CertificateTest, RejectsForgeries) {
    make(4);
    // A bit at or above the member count counts nothing.
    auto high = cert_of({0, 1, 2});
    high.bitmap = uint64_t{1} << 10;
    EXPECT_FALSE(high.verify(*view));
    // Bits claimed without their signatures.
    auto claimed = cert_of({0, 1});
    claimed.bitmap = 0b111;
    EXPECT_FALSE(claimed.verify(*view));
    // A duplicate signer sets its bit once but adds its signature twice.
    auto dup = cert_of({0, 1, 1, 2});
    EXPECT_EQ(dup.bitmap, 0b111u);
    EXPECT_FALSE(dup.verify(*view));
    // An all-zero aggregate does not decode.
    auto zero = cert_of({0, 1, 2});
    zero.aggregated_signature = BlsSignature{};
    EXPECT_FALSE(zero.verify(*view));
    // Another statement, another view id.
    auto other = cert_of({0, 1, 2});
    other.message.slot++;
    EXPECT_FALSE(other.verify(*view));
    QuorumView moved(0, 101, std::vector<std::pair<BlsPubkey, uint64_t>>{
                                 {view->keys[0], 1}, {view->keys[1], 1}, {view->keys[2], 1}, {view->keys[3], 1}});
    EXPECT_FALSE(cert_of({0, 1, 2, 3}).verify(moved));
    // An empty view never certifies.
    QuorumView empty(0, 100, std::vector<std::pair<BlsPubkey, uint64_t>>{});
    auto c = cert_of({0, 1, 2});
    c.quorum_view_id = empty.view_id;
    EXPECT_FALSE(c.verify(empty));
}

TEST_F(CertificateTest, BuilderSkipsHighIndexesAndHandlesEmpty) {
    make(3);
    std::vector<std::pair<size_t, BlsSignature>> list = {{0, sigs[0]}, {70, sigs[1]}, {2, sigs[2]}};
    QuorumCertificate c(view->view_id, msg, list);
    EXPECT_EQ(c.bitmap, 5u);
    std::vector<BlsSignature> two = {sigs[0], sigs[2]};
    EXPECT_EQ(c.aggregated_signature, bls::aggregate_signatures(two));
    EXPECT_TRUE(c.verify(*view));

    QuorumCertificate empty(view->view_id, msg, {});
    EXPECT_EQ(empty.bitmap, 0u);
    EXPECT_EQ(empty.aggregated_signature, BlsSignature{});
    EXPECT_FALSE(empty.verify(*view));
}

TEST(Certificate, StakeProductsSaturate) {
    // Members of the largest stake: 2 of 3 signers reach two thirds even
    // though the products exceed 64 bits.
    auto ids = testkeys::identities(3);
    std::vector<std::pair<BlsPubkey, uint64_t>> members;
    for (auto& id : ids) members.emplace_back(id.pubkey, UINT64_MAX);
    QuorumView view(0, 10, members);
    QuorumMessage m = sample_message();
    std::vector<std::pair<size_t, BlsSignature>> list;
    for (size_t i = 0; i < 2; ++i) {
        auto& id = *std::find_if(ids.begin(), ids.end(), [&](auto& x) { return x.pubkey == view.keys[i]; });
        list.emplace_back(i, bls::sign(id.secret, m.signing_bytes()));
    }
    EXPECT_TRUE(QuorumCertificate(view.view_id, m, list).verify(view));
    list.pop_back();
    EXPECT_FALSE(QuorumCertificate(view.view_id, m, list).verify(view));
}

TEST(Certificate, IdentityAggregateCertifiesNothing) {
    // The identity key listed with most of the stake, and a certificate that
    // names only that member and carries the compressed identity (0xc0, then
    // zeros) as its aggregate: were the identity a member, it would pass for
    // any statement.
    auto ids = testkeys::identities(3);
    auto members = testkeys::stake_one_members(ids);
    members.emplace_back(BlsPubkey::identity(), 100);
    QuorumView view(0, 100, members);
    EXPECT_FALSE(view.has_pubkey(BlsPubkey::identity()));

    BlsSignature identity;
    identity.bytes[0] = 0xc0;
    QuorumCertificate forged;
    forged.quorum_view_id = view.view_id;
    forged.aggregated_signature = identity;
    // The identity member would sort first, so bit 0 named it.
    for (uint64_t bitmap : {uint64_t{1}, uint64_t{0b111}, uint64_t{1} << 3, ~uint64_t{0}}) {
        for (uint64_t slot : {uint64_t{0}, uint64_t{7}}) {
            forged.bitmap = bitmap;
            forged.message = sample_message();
            forged.message.slot = slot;
            EXPECT_FALSE(forged.verify(view)) << "bitmap " << bitmap << " slot " << slot;
        }
    }
}

TEST(Certificate, DebugText) {
    QuorumMessage m;
    m.vesk_id.bytes[0] = 0xaa;
    std::string zero(32, '1');
    std::string want_msg = "QuorumMessage { slot: 0, parent_qc_id: " + zero + ", leader_view: 0, entries_hash: " + zero +
                           ", vesk_id: BlsPubkey(aa000000..), timestamp: 0, bank_hash: " + zero + ", qc_id: " + zero +
                           ", recovery: false, crosschain: CrosschainCommitment { root: " + zero + ", epoch: 0 } }";
    EXPECT_EQ(to_debug(m), want_msg);
    QuorumCertificate c;
    c.message = m;
    c.bitmap = 7;
    EXPECT_EQ(to_debug(c), "QuorumCertificate { quorum_view_id: " + zero +
                               ", aggregated_signature: BlsSignature(00000000..), message: " + want_msg +
                               ", bitmap: 7 }");
}

}  // namespace
}  // namespace vesk
