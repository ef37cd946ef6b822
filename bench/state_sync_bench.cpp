#include <benchmark/benchmark.h>

#include <algorithm>
#include <vector>

#include "bench/op_costs.hpp"
#include "consensus/bls.hpp"
#include "consensus/certificate.hpp"
#include "consensus/statemachine/qc_verify.hpp"
#include "consensus/test_keys.hpp"

namespace vesk {
namespace {

// A full state-sync page: 256 certificates of consecutive slots, each signed
// by 7 of 10 members of stake 1.
struct Page {
    QuorumView view;
    std::vector<QuorumCertificate> qcs;
    std::vector<QcCheck> checks;
};

const Page& page() {
    static const Page p = [] {
        std::vector<NodeIdentity> ids = testkeys::identities(10);
        auto members = testkeys::stake_one_members(ids);
        Page out{QuorumView(0, 1000, members), {}, {}};
        Hash parent;
        for (uint64_t slot = 1; slot <= 256; ++slot) {
            QuorumMessage m;
            m.slot = slot;
            m.parent_qc_id = parent;
            m.vesk_id = out.view.keys[0];
            m.timestamp = 1'600'000'000'000 + static_cast<int64_t>(slot);
            m.qc_id = QuorumMessage::compute_qc_id(m.slot, m.parent_qc_id, m.leader_view, m.entries_hash, m.vesk_id,
                                                   m.timestamp, m.bank_hash, m.recovery, m.crosschain);
            benchcost::SignedByView signed_by = benchcost::sign_by_view(ids, out.view, m, 0);
            signed_by.sigs.resize(7);
            out.qcs.emplace_back(out.view.view_id, m, signed_by.sigs);
            parent = m.qc_id;
        }
        for (const auto& qc : out.qcs) out.checks.push_back(QcCheck{&qc, &out.view});
        return out;
    }();
    return p;
}

bool one_by_one(const std::vector<QcCheck>& checks) {
    return std::all_of(checks.begin(), checks.end(), [](const QcCheck& c) { return c.qc->verify(*c.view); });
}

// The page through the shared verification pool, as state sync checks it.
void BM_StateSyncPagePool(benchmark::State& state) {
    const Page& p = page();
    ThreadPool& pool = qc_verify_pool();
    if (!verify_qcs_in_parallel(pool, p.checks)) state.SkipWithError("a valid certificate was refused");
    for (auto _ : state) benchmark::DoNotOptimize(verify_qcs_in_parallel(pool, p.checks));
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(p.checks.size()));
    double pooled = benchcost::seconds_per_call([&] { verify_qcs_in_parallel(pool, p.checks); }, 3);
    double single = benchcost::seconds_per_call([&] { one_by_one(p.checks); }, 1);
    state.counters["threads"] = static_cast<double>(pool.thread_count());
    state.counters["speedup"] = single / pooled;
}
BENCHMARK(BM_StateSyncPagePool)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same page checked in turn on the calling thread.
void BM_StateSyncPageOneThread(benchmark::State& state) {
    const Page& p = page();
    if (!one_by_one(p.checks)) state.SkipWithError("a valid certificate was refused");
    for (auto _ : state) benchmark::DoNotOptimize(one_by_one(p.checks));
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(p.checks.size()));
}
BENCHMARK(BM_StateSyncPageOneThread)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace vesk
