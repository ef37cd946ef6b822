// The "stress-test" scenario's wall time beside its signature-work floor: the
// signature operations the run performed, each priced at its own cost
// measured in the same process.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>

#include "adversarial/library.hpp"
#include "bench/op_costs.hpp"
#include "consensus/signature_work.hpp"
#include "consensus/test_keys.hpp"
#include "consensus/vote_verification.hpp"

namespace vesk {
namespace {

// The least of several short measurements: a shared machine only ever adds
// time, so the floor stays a floor.
template <class F>
double least_seconds_per_call(F&& f, int calls) {
    double best = benchcost::seconds_per_call(f, calls);
    for (int rep = 1; rep < 8; ++rep) best = std::min(best, benchcost::seconds_per_call(f, calls));
    return best;
}

struct OpCosts {
    double sign, single, certificate;
    // A batch equation costs batch_fixed plus batch_vote for each vote in it.
    double batch_fixed, batch_vote;
};

// Costs on the run's own shapes: a 256-byte vote statement, nine members of
// stake 1. The batch cost is fitted from chunks of 2 and 8 votes, since the
// leader's chunks hold six to eight.
OpCosts measure_op_costs() {
    auto ids = testkeys::identities(9);
    std::vector<std::pair<BlsPubkey, uint64_t>> members;
    for (auto& id : ids) members.emplace_back(id.pubkey, 1);
    QuorumView view(0, 100, members);
    QuorumMessage m;
    m.slot = 7;
    auto bytes = m.signing_bytes();
    OpCosts c{};
    c.sign = least_seconds_per_call([&] { benchmark::DoNotOptimize(bls::sign(ids[0].secret, bytes)); }, 10);
    BlsSignature s0 = bls::sign(ids[0].secret, bytes);
    c.single = least_seconds_per_call([&] { benchmark::DoNotOptimize(bls::verify(ids[0].pubkey, s0, bytes)); }, 10);

    auto [votes, sigs] = benchcost::sign_by_view(ids, view, m, 8);
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

SignatureWork minus(const SignatureWork& a, const SignatureWork& b) {
    return SignatureWork{a.signs - b.signs, a.single_checks - b.single_checks, a.batch_checks - b.batch_checks,
                         a.batch_votes - b.batch_votes, a.certificate_checks - b.certificate_checks};
}

void BM_StressTestScenario(benchmark::State& state) {
    const OpCosts costs = measure_op_costs();
    const Scenario scenario = library::stress_test();
    double total_seconds = 0;
    double best_seconds = 0;
    double floor_seconds = 0;
    uint64_t runs = 0;
    SignatureWork per_run{};
    for (auto _ : state) {
        const SignatureWork before = signature_work();
        const auto start = std::chrono::steady_clock::now();
        SimResult result = scenario.run();
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        total_seconds += seconds;
        best_seconds = runs == 0 ? seconds : std::min(best_seconds, seconds);
        if (result.finalized_slots.size() != scenario.rounds) state.SkipWithError("a round finalized no slot");
        benchmark::DoNotOptimize(result);
        per_run = minus(signature_work(), before);
        floor_seconds += per_run.signs * costs.sign + per_run.single_checks * costs.single +
                         per_run.batch_checks * costs.batch_fixed + per_run.batch_votes * costs.batch_vote +
                         per_run.certificate_checks * costs.certificate;
        ++runs;
    }
    const double run_s = total_seconds / runs;
    const double floor_s = floor_seconds / runs;
    state.counters["run_ms"] = run_s * 1e3;
    state.counters["best_run_ms"] = best_seconds * 1e3;
    state.counters["floor_ms"] = floor_s * 1e3;
    state.counters["ratio"] = run_s / floor_s;
    state.counters["best_ratio"] = best_seconds / floor_s;
    state.counters["signs"] = static_cast<double>(per_run.signs);
    state.counters["single"] = static_cast<double>(per_run.single_checks);
    state.counters["batches"] = static_cast<double>(per_run.batch_checks);
    state.counters["batch_votes"] = static_cast<double>(per_run.batch_votes);
    state.counters["certs"] = static_cast<double>(per_run.certificate_checks);
    state.counters["sign_us"] = costs.sign * 1e6;
    state.counters["single_us"] = costs.single * 1e6;
    state.counters["cert_us"] = costs.certificate * 1e6;
    state.counters["batch_fixed_us"] = costs.batch_fixed * 1e6;
    state.counters["batch_vote_us"] = costs.batch_vote * 1e6;
}
BENCHMARK(BM_StressTestScenario)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
}  // namespace vesk
