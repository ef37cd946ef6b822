#pragma once
// Keys, signatures and node identities, and their decoded point forms.
#include <blst.h>

#include <array>
#include <compare>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <span>
#include <string>

namespace vesk {

// A compressed BLS12-381 G1 point: a validator's identity.
struct BlsPubkey {
    std::array<uint8_t, 48> bytes{};

    auto operator<=>(const BlsPubkey&) const = default;
    bool operator==(const BlsPubkey&) const = default;

    // 0xc0 followed by 47 zero bytes.
    static BlsPubkey identity();
    static BlsPubkey from_projective(const struct PubkeyProjective& p);
};

// A compressed BLS12-381 G2 point.
struct BlsSignature {
    std::array<uint8_t, 96> bytes{};

    bool operator==(const BlsSignature&) const = default;
};

// A secret scalar below the group order. Only bls:: reads it.
struct BlsSecretKey {
    blst_scalar scalar{};
};

struct NodeIdentity {
    BlsSecretKey secret;
    BlsPubkey pubkey;

    explicit NodeIdentity(const BlsSecretKey& secret);
};

enum class BlsError {
    FieldDecode,
    EmptyAggregation,
    KeyDerivation,
    PointConversion,
    ParseFromString,
    ParseFromBytes,
    InputLengthMismatch,
    VerificationFailed,
};

struct SignatureAffine;

// A decoded public key (on the curve, in the subgroup).
struct PubkeyAffine {
    blst_p1_affine point{};

    // Decompression, on-curve check, subgroup check.
    static std::optional<PubkeyAffine> decode(const BlsPubkey& key);
    bool is_identity() const { return blst_p1_affine_is_inf(&point); }
    // One two-pair Miller loop and one final exponentiation.
    bool _verify_signature(const SignatureAffine& sig, std::span<const uint8_t> msg) const;
};

struct PubkeyProjective {
    blst_p1 point{};
};

// A decoded signature (on the curve, in the subgroup).
struct SignatureAffine {
    blst_p2_affine point{};

    static std::optional<SignatureAffine> decode(const BlsSignature& sig);
    bool is_identity() const { return blst_p2_affine_is_inf(&point); }
};

void debug(std::string& out, const BlsPubkey& k);
void display(std::string& out, const BlsPubkey& k);
void debug(std::string& out, const BlsSignature& s);
void debug(std::string& out, BlsError e);
void debug(std::string& out, const PubkeyProjective& p);

}  // namespace vesk

template <>
struct std::hash<vesk::BlsPubkey> {
    size_t operator()(const vesk::BlsPubkey& k) const noexcept {
        // Compressed x coordinates are uniform past the flag byte.
        size_t v;
        std::memcpy(&v, k.bytes.data() + 8, sizeof v);
        return v;
    }
};
