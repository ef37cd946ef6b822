#include <benchmark/benchmark.h>

#include <algorithm>
#include <vector>

#include "consensus/bls.hpp"
#include "consensus/certificate.hpp"
#include "consensus/test_keys.hpp"
#include "consensus/vote_verification.hpp"

namespace vesk {
namespace {

using Pair = std::pair<Hash, SignedQuorumMessage>;

// 64 votes from 64 distinct voters on one statement.
const std::vector<Pair>& votes() {
    static const std::vector<Pair> v = [] {
        QuorumMessage m;
        m.slot = 42;
        m.leader_view = 1;
        Hash view_id;
        view_id.bytes.fill(7);
        std::vector<Pair> out;
        for (const NodeIdentity& id : testkeys::identities(64)) {
            out.emplace_back(view_id, SignedQuorumMessage{bls::sign(id.secret, m.signing_bytes()), id.pubkey, m});
        }
        return out;
    }();
    return v;
}

std::vector<Pair> first(size_t n) { return {votes().begin(), votes().begin() + static_cast<ptrdiff_t>(n)}; }

bool all_valid(const std::vector<VerifiedVote>& out) {
    return std::all_of(out.begin(), out.end(), [](const VerifiedVote& v) { return v.is_valid(); });
}

// A leader's steady state: voters' keys cached, the statement prepared.
void BM_VoteBatchWarm(benchmark::State& state) {
    const auto input = first(static_cast<size_t>(state.range(0)));
    VoteSignatureVerifier verifier;
    if (!all_valid(verifier.verify(input))) state.SkipWithError("a valid vote was refused");
    for (auto _ : state) benchmark::DoNotOptimize(verifier.verify(input));
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_VoteBatchWarm)->Arg(8)->Arg(64);

// A new verifier each time: every key decoded and H(m) computed once more.
void BM_VoteBatchCold(benchmark::State& state) {
    const auto input = first(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        VoteSignatureVerifier verifier;
        benchmark::DoNotOptimize(verifier.verify(input));
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_VoteBatchCold)->Arg(8)->Arg(64);

// One forgery in the chunk: the batch fails and all eight are checked alone.
void BM_VoteBatchOneForged(benchmark::State& state) {
    auto input = first(8);
    input[3].second.signature = input[4].second.signature;
    VoteSignatureVerifier verifier;
    verifier.verify(input);
    for (auto _ : state) benchmark::DoNotOptimize(verifier.verify(input));
    state.SetItemsProcessed(state.iterations() * 8);
}
BENCHMARK(BM_VoteBatchOneForged);

// The same votes checked one by one: decode both points, then the pairing check.
void BM_VoteSingleChecks(benchmark::State& state) {
    const auto input = first(static_cast<size_t>(state.range(0)));
    const auto msg = input.front().second.message.signing_bytes();
    for (auto _ : state) {
        for (const auto& [view_id, vote] : input) {
            auto pk = PubkeyAffine::decode(vote.pubkey);
            auto sig = SignatureAffine::decode(vote.signature);
            benchmark::DoNotOptimize(pk->_verify_signature(*sig, msg));
        }
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_VoteSingleChecks)->Arg(8)->Arg(64);

}  // namespace
}  // namespace vesk
