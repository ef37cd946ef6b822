#include "consensus/types.hpp"

#include "base/text.hpp"
#include "consensus/bls.hpp"

namespace vesk {

BlsPubkey BlsPubkey::identity() {
    BlsPubkey k;
    k.bytes[0] = 0xc0;
    return k;
}

NodeIdentity::NodeIdentity(const BlsSecretKey& s) : secret(s), pubkey(bls::pubkey_from_secret(s)) {}

std::optional<PubkeyAffine> PubkeyAffine::decode(const BlsPubkey& key) {
    PubkeyAffine p;
    if (blst_p1_uncompress(&p.point, key.bytes.data()) != BLST_SUCCESS) return std::nullopt;
    if (!blst_p1_affine_in_g1(&p.point)) return std::nullopt;
    return p;
}

std::optional<SignatureAffine> SignatureAffine::decode(const BlsSignature& sig) {
    SignatureAffine s;
    if (blst_p2_uncompress(&s.point, sig.bytes.data()) != BLST_SUCCESS) return std::nullopt;
    if (!blst_p2_affine_in_g2(&s.point)) return std::nullopt;
    return s;
}

void debug(std::string& out, const BlsPubkey& k) {
    out += "BlsPubkey(";
    append_hex(out, std::span<const uint8_t>(k.bytes.data(), 4));
    out += "..)";
}

void display(std::string& out, const BlsPubkey& k) {
    append_hex(out, std::span<const uint8_t>(k.bytes.data(), 8));
    out += "...";
}

void debug(std::string& out, const BlsSignature& s) {
    out += "BlsSignature(";
    append_hex(out, std::span<const uint8_t>(s.bytes.data(), 4));
    out += "..)";
}

void debug(std::string& out, BlsError e) {
    static const char* names[] = {"FieldDecode",       "EmptyAggregation", "KeyDerivation",
                                  "PointConversion",   "ParseFromString",  "ParseFromBytes",
                                  "InputLengthMismatch", "VerificationFailed"};
    out += names[static_cast<int>(e)];
}

void debug(std::string& out, const PubkeyProjective& p) {
    auto coord = [&](const blst_fp& f) {
        uint8_t b[48];
        blst_bendian_from_fp(b, &f);
        out += "0x";
        append_hex(out, b);
    };
    out += "PubkeyProjective(";
    coord(p.point.x);
    out += ", ";
    coord(p.point.y);
    out += ", ";
    coord(p.point.z);
    out += ')';
}

}  // namespace vesk
