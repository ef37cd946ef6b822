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

using benchcost::minus;
using benchcost::OpCosts;

void BM_StressTestScenario(benchmark::State& state) {
    const OpCosts costs = benchcost::measure_op_costs();
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
        floor_seconds += costs.price(per_run);
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
