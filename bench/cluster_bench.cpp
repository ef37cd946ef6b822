// The nine-node cluster's cost per certified slot beside its signature-work
// floor: the signature operations the slot actually performed, each priced
// at its own cost measured in the same run.
#include <benchmark/benchmark.h>

#include "bench/op_costs.hpp"

#include <chrono>

#include "consensus/signature_work.hpp"
#include "consensus/statemachine/test_cluster.hpp"
#include "consensus/vote_verification.hpp"

namespace vesk {
namespace {

constexpr int SLOTS = 30;
constexpr size_t TXS_PER_BLOCK = 5;

using benchcost::seconds_per_call;

struct OpCosts {
    double sign, single, batch_vote, certificate;
};

// Per-operation costs on the cluster's own shapes: a 256-byte vote statement,
// a chunk of 8 votes, a certificate over 9 members.
OpCosts measure_op_costs() {
    auto ids = testkeys::identities(9);
    std::vector<std::pair<BlsPubkey, uint64_t>> members;
    for (auto& id : ids) members.emplace_back(id.pubkey, 1);
    QuorumView view(0, 100, members);
    QuorumMessage m;
    m.slot = 7;
    auto bytes = m.signing_bytes();
    OpCosts c{};
    c.sign = seconds_per_call([&] { benchmark::DoNotOptimize(bls::sign(ids[0].secret, bytes)); }, 40);
    BlsSignature s0 = bls::sign(ids[0].secret, bytes);
    c.single = seconds_per_call([&] { benchmark::DoNotOptimize(bls::verify(ids[0].pubkey, s0, bytes)); }, 40);

    auto [votes, sigs] = benchcost::sign_by_view(ids, view, m, 8);
    VoteSignatureVerifier verifier;
    verifier.verify(votes);  // warm, as a leader's verifier is
    c.batch_vote = seconds_per_call([&] { benchmark::DoNotOptimize(verifier.verify(votes)); }, 20) / 8;
    QuorumCertificate qc(view.view_id, m, sigs);
    c.certificate = seconds_per_call([&] { benchmark::DoNotOptimize(qc.verify(view)); }, 40);
    return c;
}

void BM_NineNodeClusterPerSlot(benchmark::State& state) {
    OpCosts costs = measure_op_costs();
    double total_seconds = 0;
    double floor_seconds = 0;
    uint64_t slots = 0;
    SignatureWork per_run{};
    for (auto _ : state) {
        testcluster::Cluster c(9, true);
        SignatureWork before = signature_work();
        auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < SLOTS; ++i) c.round(TXS_PER_BLOCK);
        total_seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (c.nodes[0].tip_slot() != SLOTS) state.SkipWithError("the cluster did not certify every slot");
        SignatureWork after = signature_work();
        per_run = SignatureWork{after.signs - before.signs, after.single_checks - before.single_checks,
                                after.batch_checks - before.batch_checks, after.batch_votes - before.batch_votes,
                                after.certificate_checks - before.certificate_checks};
        floor_seconds += per_run.signs * costs.sign + per_run.single_checks * costs.single +
                         per_run.batch_votes * costs.batch_vote + per_run.certificate_checks * costs.certificate;
        slots += SLOTS;
    }
    double per_slot = total_seconds / slots;
    double floor_per_slot = floor_seconds / slots;
    state.counters["slot_ms"] = per_slot * 1e3;
    state.counters["floor_ms"] = floor_per_slot * 1e3;
    state.counters["ratio"] = per_slot / floor_per_slot;
    state.counters["signs"] = static_cast<double>(per_run.signs) / SLOTS;
    state.counters["single"] = static_cast<double>(per_run.single_checks) / SLOTS;
    state.counters["batch_votes"] = static_cast<double>(per_run.batch_votes) / SLOTS;
    state.counters["certs"] = static_cast<double>(per_run.certificate_checks) / SLOTS;
}
BENCHMARK(BM_NineNodeClusterPerSlot)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
}  // namespace vesk
