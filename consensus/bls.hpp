#pragma once
// BLS12-381, minimal-public-key-size basic scheme: keys in G1, signatures in
// G2, messages hashed to G2 with one fixed tag and no augmentation.
#include <array>
#include <optional>
#include <span>
#include <string_view>

#include "consensus/types.hpp"

namespace vesk::bls {

inline constexpr std::string_view DST = "BLS_SIG_BLS12381G2_XMD:SHA-256_SSWU_RO_NUL_";

// IETF KeyGen with the seed as input keying material and empty key info.
BlsSecretKey keygen(std::span<const uint8_t, 32> seed);
BlsPubkey pubkey_from_secret(const BlsSecretKey& secret);
BlsSignature sign(const BlsSecretKey& secret, std::span<const uint8_t> msg);
// None for an empty list or when any signature does not decode.
std::optional<BlsSignature> aggregate_signatures(std::span<const BlsSignature> sigs);

// Decodes the key and the signature with full checks, then checks the
// signature over msg; no for anything that does not decode. The two differ
// only in the tally of signature work they add to: verify_aggregate is for
// an aggregate signature against aggregated keys.
bool verify(const BlsPubkey& key, const BlsSignature& sig, std::span<const uint8_t> msg);
bool verify_aggregate(const BlsPubkey& key, const BlsSignature& sig, std::span<const uint8_t> msg);

// -G1, computed once on first use and shared by every signature check;
// concurrent first users wait for it.
const blst_p1_affine& neg_g1_generator_affine();

// Compress a computed point, re-decoding it with full checks on the way.
BlsPubkey compress_g1(const blst_p1& p);
BlsSignature compress_g2(const blst_p2& p);

// Hash-to-G2 of a message with the system's tag.
blst_p2_affine hash_to_g2(std::span<const uint8_t> msg);

// Miller-loop lines of a G2 point, as blst_precompute_lines makes them.
using MillerLines = std::array<blst_fp6, 68>;
// The lines of hash_to_g2(msg) into out, reusing its storage; none when the
// hash is the identity.
void prepare_message(std::optional<MillerLines>& out, std::span<const uint8_t> msg);

// e(p, H) · e(-G1, s) == 1, with H given by its lines (none for the
// identity), in one final exponentiation. A pair with the identity on either
// side contributes one. Every signature check ends here: single checks,
// certificate checks and the batch verifier.
bool pairing_holds(const blst_p1_affine& p, const std::optional<MillerLines>& h, const blst_p2_affine& s);

}  // namespace vesk::bls
