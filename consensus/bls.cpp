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

void prepare_message(std::optional<MillerLines>& out, std::span<const uint8_t> msg) {
    const blst_p2_affine h = hash_to_g2(msg);
    if (blst_p2_affine_is_inf(&h)) {
        out.reset();
        return;
    }
    if (!out) out.emplace();
    blst_precompute_lines(out->data(), &h);
}

bool pairing_holds(const blst_p1_affine& p, const std::optional<MillerLines>& h, const blst_p2_affine& s) {
    blst_fp12 f = *blst_fp12_one();
    if (h && !blst_p1_affine_is_inf(&p)) blst_miller_loop_lines(&f, h->data(), &p);
    if (!blst_p2_affine_is_inf(&s)) {
        // The lines of s would serve once only; the plain loop gives the same value.
        blst_fp12 g;
        blst_miller_loop(&g, &s, &neg_g1_generator_affine());
        blst_fp12_mul(&f, &f, &g);
    }
    blst_fp12 r;
    blst_final_exp(&r, &f);
    return blst_fp12_is_one(&r);
}

BlsSignature sign(const BlsSecretKey& secret, std::span<const uint8_t> msg) {
    ++signature_work().signs;
    const blst_p2_affine h = hash_to_g2(msg);
    blst_p2 hp;
    blst_p2_from_affine(&hp, &h);
    blst_p2 s;
    blst_p2_mult(&s, &hp, secret.scalar.b, 255);
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

bool counted_check(uint64_t SignatureWork::*tally, const BlsPubkey& key, const BlsSignature& sig,
                   std::span<const uint8_t> msg) {
    ++(signature_work().*tally);
    auto pk = PubkeyAffine::decode(key);
    if (!pk) return false;
    auto s = SignatureAffine::decode(sig);
    if (!s) return false;
    return pk->_verify_signature(*s, msg);
}

}  // namespace

bool verify(const BlsPubkey& key, const BlsSignature& sig, std::span<const uint8_t> msg) {
    return counted_check(&SignatureWork::single_checks, key, sig, msg);
}

bool verify_aggregate(const BlsPubkey& key, const BlsSignature& sig, std::span<const uint8_t> msg) {
    return counted_check(&SignatureWork::certificate_checks, key, sig, msg);
}

const blst_p1_affine& neg_g1_generator_affine() {
    static const blst_p1_affine value = [] {
        blst_p1 g = *blst_p1_generator();
        blst_p1_cneg(&g, true);
        blst_p1_affine a;
        blst_p1_to_affine(&a, &g);
        return a;
    }();
    return value;
}

}  // namespace vesk::bls

namespace vesk {

BlsPubkey BlsPubkey::from_projective(const PubkeyProjective& p) { return bls::compress_g1(p.point); }

bool PubkeyAffine::_verify_signature(const SignatureAffine& sig, std::span<const uint8_t> msg) const {
    std::optional<bls::MillerLines> h;
    bls::prepare_message(h, msg);
    return bls::pairing_holds(point, h, sig.point);
}

}  // namespace vesk
