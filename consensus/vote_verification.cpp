#include "consensus/vote_verification.hpp"

#include <algorithm>

#include "base/contract.hpp"
#include "base/random.hpp"
#include "base/text.hpp"
#include "consensus/bls.hpp"
#include "consensus/signature_work.hpp"

namespace vesk {

namespace {

// Window of the chunk multi-scalar multiplications: the fastest for up to
// eight points, table build included.
constexpr size_t MSM_WBITS = 4;
constexpr size_t COEFFICIENT_BITS = 128;
using Coefficient = std::array<uint8_t, COEFFICIENT_BITS / 8>;

// Random and nonzero, so a chunk holding a bad signature fails the batch
// equation except with negligible probability.
Coefficient draw_coefficient() {
    u128 r = 0;
    while (r == 0) r = thread_rng().next_u128();
    Coefficient c;
    for (size_t i = 0; i < c.size(); ++i) c[i] = static_cast<uint8_t>(r >> (8 * i));
    return c;
}

struct G1 {
    using Affine = blst_p1_affine;
    using Projective = blst_p1;
    static constexpr auto table_size = blst_p1s_mult_wbits_precompute_sizeof;
    static constexpr auto scratch_size = blst_p1s_mult_wbits_scratch_sizeof;
    static constexpr auto precompute = blst_p1s_mult_wbits_precompute;
    static constexpr auto mult = blst_p1s_mult_wbits;
    static constexpr auto to_affine = blst_p1_to_affine;
};
struct G2 {
    using Affine = blst_p2_affine;
    using Projective = blst_p2;
    static constexpr auto table_size = blst_p2s_mult_wbits_precompute_sizeof;
    static constexpr auto scratch_size = blst_p2s_mult_wbits_scratch_sizeof;
    static constexpr auto precompute = blst_p2s_mult_wbits_precompute;
    static constexpr auto mult = blst_p2s_mult_wbits;
    static constexpr auto to_affine = blst_p2_to_affine;
};

// Σ c_i · points_i over decoded subgroup points. blst's table-driven
// multi-scalar multiplication is complete, so sums that meet doublings,
// inverses or the identity come out exact.
template <class G>
typename G::Affine weighted_sum(std::span<const typename G::Affine> points, std::span<const Coefficient> c) {
    constexpr size_t max_points = VoteSignatureVerifier::CHUNK;
    contract_check(points.size() == c.size() && points.size() <= max_points, "one coefficient per point of a chunk");
    // 2^(w-1) multiples per point, and one projective point per point.
    typename G::Affine table[max_points << (MSM_WBITS - 1)];
    typename G::Projective scratch[max_points];
    contract_check(G::table_size(MSM_WBITS, points.size()) <= sizeof table &&
                       G::scratch_size(points.size()) <= sizeof scratch,
                   "multi-scalar buffers fit a chunk");
    // A null second entry tells blst that the first points at a flat array.
    const typename G::Affine* point_list[2] = {points.data(), nullptr};
    const uint8_t* scalar_list[2] = {c.data()->data(), nullptr};
    G::precompute(table, MSM_WBITS, point_list, points.size());
    typename G::Projective sum;
    G::mult(&sum, table, MSM_WBITS, points.size(), scalar_list, COEFFICIENT_BITS, reinterpret_cast<limb_t*>(scratch));
    typename G::Affine out;
    G::to_affine(&out, &sum);
    return out;
}

}  // namespace

void debug(std::string& out, const VerifiedVote& v) {
    if (const auto* ok = v.valid()) {
        DebugTuple(out, "Valid").field(ok->view_id).field(ok->vote).finish();
    } else {
        DebugTuple(out, "Invalid").field(v.invalid()->pubkey).finish();
    }
}

std::optional<PubkeyAffine> VoteSignatureVerifier::key(const BlsPubkey& pubkey) {
    if (auto it = key_cache.find(pubkey); it != key_cache.end()) return it->second;
    auto decoded = PubkeyAffine::decode(pubkey);
    if (!decoded || decoded->is_identity()) return std::nullopt;
    if (key_cache.size() >= KEY_CACHE_CAPACITY) key_cache.clear();
    key_cache.emplace(pubkey, *decoded);
    return decoded;
}

const std::optional<MillerLines>& VoteSignatureVerifier::message(const QuorumMessage& m) {
    if (last_message && *last_message == m) return prepared_message;
    bls::prepare_message(prepared_message, m.signing_bytes());
    last_message = m;
    return prepared_message;
}

VoteSignatureVerifier::PreparedVote VoteSignatureVerifier::prepare(const SignedQuorumMessage& vote) {
    PreparedVote p;
    auto k = key(vote.pubkey);
    if (!k) return p;
    p.key = *k;
    auto s = SignatureAffine::decode(vote.signature);
    if (!s) return p;
    p.signature = *s;
    p.usable = !s->is_identity();
    return p;
}

bool VoteSignatureVerifier::batch_equation(std::span<const PubkeyAffine> keys,
                                           std::span<const SignatureAffine> signatures,
                                           const std::optional<MillerLines>& h) {
    contract_check(keys.size() == signatures.size() && !keys.empty() && keys.size() <= CHUNK,
                   "a chunk of key and signature pairs");
    std::array<Coefficient, CHUNK> coefficients;
    std::array<blst_p1_affine, CHUNK> key_points;
    std::array<blst_p2_affine, CHUNK> signature_points;
    const size_t n = keys.size();
    for (size_t i = 0; i < n; ++i) {
        coefficients[i] = draw_coefficient();
        key_points[i] = keys[i].point;
        signature_points[i] = signatures[i].point;
    }
    std::span<const Coefficient> c(coefficients.data(), n);
    blst_p1_affine p = weighted_sum<G1>({key_points.data(), n}, c);
    blst_p2_affine s = weighted_sum<G2>({signature_points.data(), n}, c);
    return bls::pairing_holds(p, h, s);
}

std::vector<VerifiedVote> VoteSignatureVerifier::verify(
    std::span<const std::pair<Hash, SignedQuorumMessage>> votes) {
    std::vector<VerifiedVote> out;
    out.reserve(votes.size());
    std::array<PreparedVote, CHUNK> prepared;
    std::array<PubkeyAffine, CHUNK> keys;
    std::array<SignatureAffine, CHUNK> signatures;

    for (size_t start = 0; start < votes.size(); start += CHUNK) {
        const auto chunk = votes.subspan(start, std::min(CHUNK, votes.size() - start));
        const auto& [first_view, first_vote] = chunk.front();
        bool batch = chunk.size() > 1;
        for (size_t i = 0; i < chunk.size(); ++i) {
            const auto& [view_id, vote] = chunk[i];
            prepared[i] = prepare(vote);
            keys[i] = prepared[i].key;
            signatures[i] = prepared[i].signature;
            batch = batch && prepared[i].usable && view_id == first_view && vote.message == first_vote.message;
        }

        if (batch) {
            ++signature_work().batch_checks;
            signature_work().batch_votes += chunk.size();
        }
        if (batch && batch_equation({keys.data(), chunk.size()}, {signatures.data(), chunk.size()},
                                    message(first_vote.message))) {
            for (const auto& [view_id, vote] : chunk) out.push_back({VerifiedVote::Valid{view_id, vote}});
            continue;
        }
        for (size_t i = 0; i < chunk.size(); ++i) {
            const auto& [view_id, vote] = chunk[i];
            const PreparedVote& p = prepared[i];
            if (p.usable) ++signature_work().single_checks;
            if (p.usable && bls::pairing_holds(p.key.point, message(vote.message), p.signature.point)) {
                out.push_back({VerifiedVote::Valid{view_id, vote}});
            } else {
                out.push_back({VerifiedVote::Invalid{vote.pubkey}});
            }
        }
    }
    return out;
}

}  // namespace vesk
