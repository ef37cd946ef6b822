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

using benchcost::minus;
using benchcost::OpCosts;

void BM_NineNodeClusterPerSlot(benchmark::State& state) {
    const OpCosts costs = benchcost::measure_op_costs();
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
        per_run = minus(signature_work(), before);
        floor_seconds += costs.price(per_run);
        slots += SLOTS;
    }
    double per_slot = total_seconds / slots;
    double floor_per_slot = floor_seconds / slots;
    state.counters["slot_ms"] = per_slot * 1e3;
    state.counters["floor_ms"] = floor_per_slot * 1e3;
    state.counters["ratio"] = per_slot / floor_per_slot;
    state.counters["signs"] = static_cast<double>(per_run.signs) / SLOTS;
    state.counters["single"] = static_cast<double>(per_run.single_checks) / SLOTS;
    state.counters["batches"] = static_cast<double>(per_run.batch_checks) / SLOTS;
    state.counters["batch_votes"] = static_cast<double>(per_run.batch_votes) / SLOTS;
    state.counters["certs"] = static_cast<double>(per_run.certificate_checks) / SLOTS;
}
BENCHMARK(BM_NineNodeClusterPerSlot)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
}  // namespace vesk
