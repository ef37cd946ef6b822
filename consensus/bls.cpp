#include "consensus/bls.hpp"

#include "base/contract.hpp"
#include "base/text.hpp"
#include "consensus/signature_work.hpp"

namespace vesk::bls {

namespace {

[[noreturn]] void fail(std::string_view what, BlsError e) {
    contract_fail(format("{}: {:?}", what, e));
}

}  // namespace

BlsPubkey compress_g1(const blst_p1& p) {
    // Round-trip through the uncompressed form with full checks, so a key we
    // hand out is one every decoder accepts.
    blst_p1_affine a;
    blst_p1_to_affine(&a, &p);
    uint8_t raw[96];
    blst_p1_affine_serialize(raw, &a);
    blst_p1_affine back;
    if (blst_p1_deserialize(&back, raw) != BLST_SUCCESS || !blst_p1_affine_in_g1(&back)) {
        fail("valid G1 point compresses", BlsError::PointConversion);
    }
    BlsPubkey k;
    blst_p1_affine_compress(k.bytes.data(), &back);
    return k;
}

BlsSignature compress_g2(const blst_p2& p) {
    blst_p2_affine a;
    blst_p2_to_affine(&a, &p);
    uint8_t raw[192];
    blst_p2_affine_serialize(raw, &a);
    blst_p2_affine back;
    if (blst_p2_deserialize(&back, raw) != BLST_SUCCESS || !blst_p2_affine_in_g2(&back)) {
        fail("valid G2 point compresses", BlsError::PointConversion);
    }
    BlsSignature s;
    blst_p2_affine_compress(s.bytes.data(), &back);
    return s;
}

BlsSecretKey keygen(std::span<const uint8_t, 32> seed) {
    BlsSecretKey sk;
    blst_keygen(&sk.scalar, seed.data(), seed.size(), nullptr, 0);
    if (!blst_scalar_fr_check(&sk.scalar)) fail("valid BLS seed", BlsError::FieldDecode);
    return sk;
}

BlsPubkey pubkey_from_secret(const BlsSecretKey& secret) {
    blst_p1 p;
    blst_p1_mult(&p, blst_p1_generator(), secret.scalar.b, 255);
    return compress_g1(p);
}

blst_p2_affine hash_to_g2(std::span<const uint8_t> msg) {
    blst_p2 h;
    blst_hash_to_g2(&h, msg.data(), msg.size(), reinterpret_cast<const uint8_t*>(DST.data()),
                    DST.size(), nullptr, 0);
    blst_p2_affine a;
    blst_p2_to_affine(&a, &h);
    return a;
}

BlsSignature sign(const BlsSecretKey& secret, std::span<const uint8_t> msg) {
    ++signature_work().signs;
    blst_p2 h;
    blst_hash_to_g2(&h, msg.data(), msg.size(), reinterpret_cast<const uint8_t*>(DST.data()),
                    DST.size(), nullptr, 0);
    blst_p2 s;
    blst_p2_mult(&s, &h, secret.scalar.b, 255);
    return compress_g2(s);
}

std::optional<BlsSignature> aggregate_signatures(std::span<const BlsSignature> sigs) {
    if (sigs.empty()) return std::nullopt;
    blst_p2 sum{};  // all-zero projective coordinates are the identity
    for (const BlsSignature& s : sigs) {
        auto d = SignatureAffine::decode(s);
        if (!d) return std::nullopt;
        blst_p2_add_or_double_affine(&sum, &sum, &d->point);
    }
    return compress_g2(sum);
}

namespace {

bool decode_and_check(const BlsPubkey& key, const BlsSignature& sig, std::span<const uint8_t> msg) {
    auto pk = PubkeyAffine::decode(key);
    if (!pk) return false;
    auto s = SignatureAffine::decode(sig);
    if (!s) return false;
    return pk->_verify_signature(*s, msg);
}

}  // namespace

bool verify(const BlsPubkey& key, const BlsSignature& sig, std::span<const uint8_t> msg) {
    ++signature_work().single_checks;
    return decode_and_check(key, sig, msg);
}

bool verify_aggregate(const BlsPubkey& key, const BlsSignature& sig, std::span<const uint8_t> msg) {
    ++signature_work().certificate_checks;
    return decode_and_check(key, sig, msg);
}

blst_p1_affine negated_g1_generator() {
    blst_p1 g = *blst_p1_generator();
    blst_p1_cneg(&g, true);
    blst_p1_affine a;
    blst_p1_to_affine(&a, &g);
    return a;
}

const blst_p1_affine& neg_g1_generator_affine() {
    static const blst_p1_affine value = negated_g1_generator();
    return value;
}

}  // namespace vesk::bls

namespace vesk {

BlsPubkey BlsPubkey::from_projective(const PubkeyProjective& p) { return bls::compress_g1(p.point); }

bool PubkeyAffine::_verify_signature(const SignatureAffine& sig, std::span<const uint8_t> msg) const {
    // e(pk, H(m)) · e(-G1, sig) == 1, as one product of two Miller loops over
    // precomputed lines and a single final exponentiation. A pair with the
    // identity on either side contributes one.
    blst_p2_affine h = bls::hash_to_g2(msg);
    blst_fp12 f = *blst_fp12_one();
    blst_fp6 lines[68];
    if (!blst_p2_affine_is_inf(&h) && !is_identity()) {
        blst_precompute_lines(lines, &h);
        blst_miller_loop_lines(&f, lines, &point);
    }
    if (!sig.is_identity()) {
        blst_precompute_lines(lines, &sig.point);
        blst_fp12 g;
        blst_miller_loop_lines(&g, lines, &bls::neg_g1_generator_affine());
        blst_fp12_mul(&f, &f, &g);
    }
    blst_fp12 r;
    blst_final_exp(&r, &f);
    return blst_fp12_is_one(&r);
}

}  // namespace vesk
