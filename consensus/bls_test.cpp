#include "consensus/bls.hpp"

#include <gtest/gtest.h>

#include <functional>

#include "base/text.hpp"
#include "consensus/signature_work.hpp"
#include "consensus/test_keys.hpp"
#include "hash/hash.hpp"

namespace vesk {
namespace {

using bls::verify;

BlsSignature identity_signature() {
    BlsSignature s;
    s.bytes[0] = 0xc0;
    return s;
}

TEST(Bls, KeygenAndSigningAreDeterministic) {
    auto a = testkeys::secret(7), b = testkeys::secret(7);
    EXPECT_EQ(std::memcmp(a.scalar.b, b.scalar.b, 32), 0);
    EXPECT_EQ(bls::pubkey_from_secret(a), bls::pubkey_from_secret(b));
    EXPECT_EQ(NodeIdentity(a).pubkey, bls::pubkey_from_secret(a));
    EXPECT_EQ(bls::sign(a, as_bytes("m")), bls::sign(b, as_bytes("m")));
    EXPECT_NE(bls::pubkey_from_secret(a), bls::pubkey_from_secret(testkeys::secret(8)));
}

TEST(Bls, KeygenMatchesBlstKeygen) {
    std::array<uint8_t, 32> seed{};
    seed.fill(0x42);
    blst_scalar ref;
    blst_keygen(&ref, seed.data(), seed.size(), nullptr, 0);
    blst_p1 pk;
    blst_sk_to_pk_in_g1(&pk, &ref);
    BlsPubkey want;
    blst_p1_compress(want.bytes.data(), &pk);
    EXPECT_EQ(bls::pubkey_from_secret(bls::keygen(seed)), want);
}

TEST(Bls, SignatureChecks) {
    auto sk = testkeys::secret(1);
    auto pk = bls::pubkey_from_secret(sk);
    std::vector<uint8_t> msg = {'v', 'o', 't', 'e'};
    auto sig = bls::sign(sk, msg);
    EXPECT_TRUE(verify(pk, sig, msg));
    auto changed = msg;
    changed[2] ^= 1;
    EXPECT_FALSE(verify(pk, sig, changed));
    EXPECT_FALSE(verify(bls::pubkey_from_secret(testkeys::secret(2)), sig, msg));
    // The same check as blst's own one-call verification.
    auto pa = PubkeyAffine::decode(pk);
    auto sa = SignatureAffine::decode(sig);
    ASSERT_TRUE(pa && sa);
    EXPECT_EQ(blst_core_verify_pk_in_g1(&pa->point, &sa->point, true, msg.data(), msg.size(),
                                        reinterpret_cast<const uint8_t*>(bls::DST.data()), bls::DST.size(),
                                        nullptr, 0),
              BLST_SUCCESS);
}

TEST(Bls, DecodingRules) {
    EXPECT_TRUE(PubkeyAffine::decode(BlsPubkey::identity()).has_value());
    EXPECT_TRUE(PubkeyAffine::decode(BlsPubkey::identity())->is_identity());
    EXPECT_FALSE(PubkeyAffine::decode(BlsPubkey{}).has_value());  // no compressed flag
    EXPECT_FALSE(SignatureAffine::decode(BlsSignature{}).has_value());
    EXPECT_TRUE(SignatureAffine::decode(identity_signature()).has_value());

    // A small x on y^2 = x^3 + 4 gives a curve point outside the prime-order
    // subgroup: it decompresses but must not decode.
    BlsPubkey off_subgroup;
    blst_p1_affine raw;
    for (uint8_t x = 1;; ++x) {
        off_subgroup.bytes = {};
        off_subgroup.bytes[0] = 0x80;
        off_subgroup.bytes[47] = x;
        if (blst_p1_uncompress(&raw, off_subgroup.bytes.data()) == BLST_SUCCESS) break;
        ASSERT_LT(x, 100);
    }
    EXPECT_FALSE(blst_p1_affine_in_g1(&raw));
    EXPECT_FALSE(PubkeyAffine::decode(off_subgroup).has_value());
}

TEST(Bls, IdentityKeyAndSignaturePassEveryMessage) {
    // Only the batch vote verifier refuses identities; the single check does not.
    EXPECT_TRUE(verify(BlsPubkey::identity(), identity_signature(), as_bytes("anything")));
    EXPECT_TRUE(verify(BlsPubkey::identity(), identity_signature(), {}));
    auto sig = bls::sign(testkeys::secret(3), as_bytes("x"));
    EXPECT_FALSE(verify(BlsPubkey::identity(), sig, as_bytes("x")));
}

TEST(Bls, EachOperationAddsToItsOwnTally) {
    // Benchmarks price a run by these tallies; a check counts whether or not
    // its inputs decode.
    const auto sk = testkeys::secret(5);
    const auto pk = bls::pubkey_from_secret(sk);
    const auto good = bls::sign(sk, as_bytes("m"));
    struct Case {
        const char* what;
        std::function<bool()> run;
        bool answer;
        SignatureWork added;
    };
    const Case cases[] = {
        {"sign", [&] { return bls::sign(sk, as_bytes("m")) == good; }, true, {1, 0, 0, 0, 0}},
        {"single", [&] { return verify(pk, good, as_bytes("m")); }, true, {0, 1, 0, 0, 0}},
        {"single, no decode", [&] { return verify(BlsPubkey{}, good, as_bytes("m")); }, false, {0, 1, 0, 0, 0}},
        {"certificate", [&] { return bls::verify_aggregate(pk, good, as_bytes("m")); }, true, {0, 0, 0, 0, 1}},
        {"certificate, wrong message", [&] { return bls::verify_aggregate(pk, good, as_bytes("n")); }, false,
         {0, 0, 0, 0, 1}},
    };
    for (const Case& c : cases) {
        const SignatureWork before = signature_work();
        EXPECT_EQ(c.run(), c.answer) << c.what;
        const SignatureWork& after = signature_work();
        EXPECT_EQ(after.signs - before.signs, c.added.signs) << c.what;
        EXPECT_EQ(after.single_checks - before.single_checks, c.added.single_checks) << c.what;
        EXPECT_EQ(after.batch_checks - before.batch_checks, c.added.batch_checks) << c.what;
        EXPECT_EQ(after.batch_votes - before.batch_votes, c.added.batch_votes) << c.what;
        EXPECT_EQ(after.certificate_checks - before.certificate_checks, c.added.certificate_checks) << c.what;
    }
}

TEST(Bls, Aggregation) {
    auto s1 = testkeys::secret(1), s2 = testkeys::secret(2);
    auto a = bls::sign(s1, as_bytes("m")), b = bls::sign(s2, as_bytes("m"));
    EXPECT_FALSE(bls::aggregate_signatures({}).has_value());
    std::vector<BlsSignature> with_bad = {a, BlsSignature{}, b};
    EXPECT_FALSE(bls::aggregate_signatures(with_bad).has_value());
    std::vector<BlsSignature> one = {a};
    EXPECT_EQ(bls::aggregate_signatures(one), a);

    std::vector<BlsSignature> both = {a, b};
    auto agg = bls::aggregate_signatures(both);
    ASSERT_TRUE(agg);
    blst_p1 sum;
    auto p1 = *PubkeyAffine::decode(bls::pubkey_from_secret(s1));
    auto p2 = *PubkeyAffine::decode(bls::pubkey_from_secret(s2));
    blst_p1_from_affine(&sum, &p1.point);
    blst_p1_add_or_double_affine(&sum, &sum, &p2.point);
    EXPECT_TRUE(verify(BlsPubkey::from_projective(PubkeyProjective{sum}), *agg, as_bytes("m")));
    // A doubled signature is added twice.
    std::vector<BlsSignature> twice = {a, a};
    EXPECT_NE(bls::aggregate_signatures(twice), a);
}

TEST(Bls, NegatedGeneratorCancelsTheGenerator) {
    blst_p1 sum = *blst_p1_generator();
    blst_p1_add_or_double_affine(&sum, &sum, &bls::neg_g1_generator_affine());
    EXPECT_EQ(BlsPubkey::from_projective(PubkeyProjective{sum}), BlsPubkey::identity());
    EXPECT_EQ(BlsPubkey::from_projective(PubkeyProjective{}), BlsPubkey::identity());
}

TEST(Bls, TextForms) {
    BlsPubkey k;
    const uint8_t head[] = {0x8a, 0x0b, 0xc3, 0x11, 0x22, 0x33, 0x44, 0x55};
    std::memcpy(k.bytes.data(), head, sizeof head);
    EXPECT_EQ(to_debug(k), "BlsPubkey(8a0bc311..)");
    EXPECT_EQ(to_display(k), "8a0bc31122334455...");
    BlsSignature s;
    s.bytes[0] = 0xab;
    EXPECT_EQ(to_debug(s), "BlsSignature(ab000000..)");
    EXPECT_EQ(to_debug(BlsError::PointConversion), "PointConversion");
    EXPECT_TRUE(to_debug(PubkeyProjective{*blst_p1_generator()}).starts_with("PubkeyProjective(0x17f1d3a7"));
}

}  // namespace
}  // namespace vesk
