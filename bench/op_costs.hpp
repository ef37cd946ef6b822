#pragma once
// Pieces shared by the benchmarks that price a run against its
// signature-work floor.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <span>
#include <utility>
#include <vector>

#include "consensus/bls.hpp"
#include "consensus/certificate.hpp"
#include "consensus/signature_work.hpp"
#include "consensus/test_keys.hpp"
#include "consensus/view.hpp"
#include "consensus/vote_verification.hpp"

namespace vesk::benchcost {

template <class F>
double seconds_per_call(F&& f, int calls) {
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < calls; ++i) f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() / calls;
}

// The least of several short measurements: a shared machine only ever adds
// time, so the floor stays a floor.
template <class F>
double least_seconds_per_call(F&& f, int calls) {
    double best = seconds_per_call(f, calls);
    for (int rep = 1; rep < 8; ++rep) best = std::min(best, seconds_per_call(f, calls));
    return best;
}

// Every member's signature on m, in member index order; the first
// `vote_count` also as votes.
struct SignedByView {
    std::vector<std::pair<Hash, SignedQuorumMessage>> votes;
    std::vector<std::pair<size_t, BlsSignature>> sigs;
};

inline SignedByView sign_by_view(const std::vector<NodeIdentity>& ids, const QuorumView& view, const QuorumMessage& m,
                                 size_t vote_count) {
    SignedByView out;
    auto bytes = m.signing_bytes();
    for (size_t i = 0; i < view.len(); ++i) {
        auto& id = *std::find_if(ids.begin(), ids.end(), [&](auto& x) { return x.pubkey == view.keys[i]; });
        BlsSignature s = bls::sign(id.secret, bytes);
        out.sigs.emplace_back(i, s);
        if (out.votes.size() < vote_count) out.votes.emplace_back(view.view_id, SignedQuorumMessage{s, id.pubkey, m});
    }
    return out;
}

struct OpCosts {
    double sign, single, certificate;
    // A batch equation costs batch_fixed plus batch_vote for each vote in it.
    double batch_fixed, batch_vote;

    double price(const SignatureWork& w) const {
        return w.signs * sign + w.single_checks * single + w.batch_checks * batch_fixed +
               w.batch_votes * batch_vote + w.certificate_checks * certificate;
    }
};

// Costs on the nine-node runs' own shapes: a 256-byte vote statement, nine
// members of stake 1. The batch cost is fitted from chunks of 2 and 8 votes,
// since a leader's chunks hold up to eight.
inline OpCosts measure_op_costs() {
    auto ids = testkeys::identities(9);
    auto members = testkeys::stake_one_members(ids);
    QuorumView view(0, 100, members);
    QuorumMessage m;
    m.slot = 7;
    auto bytes = m.signing_bytes();
    OpCosts c{};
    c.sign = least_seconds_per_call([&] { benchmark::DoNotOptimize(bls::sign(ids[0].secret, bytes)); }, 10);
    BlsSignature s0 = bls::sign(ids[0].secret, bytes);
    c.single = least_seconds_per_call([&] { benchmark::DoNotOptimize(bls::verify(ids[0].pubkey, s0, bytes)); }, 10);

    auto [votes, sigs] = sign_by_view(ids, view, m, 8);
    std::span<const std::pair<Hash, SignedQuorumMessage>> all(votes);
    VoteSignatureVerifier verifier;
    verifier.verify(all);  // warm, as a leader's verifier is
    const double eight = least_seconds_per_call([&] { benchmark::DoNotOptimize(verifier.verify(all)); }, 10);
    const double two = least_seconds_per_call([&] { benchmark::DoNotOptimize(verifier.verify(all.first(2))); }, 10);
    c.batch_vote = (eight - two) / 6;
    c.batch_fixed = two - 2 * c.batch_vote;
    QuorumCertificate qc(view.view_id, m, sigs);
    c.certificate = least_seconds_per_call([&] { benchmark::DoNotOptimize(qc.verify(view)); }, 10);
    return c;
}

inline SignatureWork minus(const SignatureWork& a, const SignatureWork& b) {
    return SignatureWork{a.signs - b.signs, a.single_checks - b.single_checks, a.batch_checks - b.batch_checks,
                         a.batch_votes - b.batch_votes, a.certificate_checks - b.certificate_checks};
}

}  // namespace vesk::benchcost
