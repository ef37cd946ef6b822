// A threaded run of 16 nodes on the "local" preset with a 1 ms tick: the wall
// time until every tip reaches slot 99, beside the floor of that work on the
// critical path, priced with per-operation costs measured in the same run.
#include <benchmark/benchmark.h>

#include "bench/op_costs.hpp"

#include <chrono>
#include <map>

#include "consensus/test_keys.hpp"
#include "consensus/vote_verification.hpp"
#include "sim/node_logic.hpp"
#include "sim/simulation.hpp"

namespace vesk {
namespace {

using namespace std::chrono_literals;
using Sim = Simulation<BlsPubkey, ConsensusLogEvent, ConsensusMessage>;

using benchcost::least_seconds_per_call;

// One slot's signature work on the critical path: the follower's proposal
// check, its vote signature, the leader's batch check of 15 votes and one
// certificate check.
double critical_path_signature_seconds(const std::vector<NodeIdentity>& ids, const QuorumView& view) {
    QuorumMessage m;
    m.slot = 1;
    auto bytes = m.signing_bytes();
    BlockProposalMessage p;
    p.vesk_id = ids[0].pubkey;
    SignedBlockProposalMessage sp{p.sign(ids[0].secret), ids[0].pubkey, p};
    // The signature check itself: validate() remembers its last good answer.
    auto proposal_bytes = p.signing_bytes();
    double proposal_check = least_seconds_per_call(
        [&] { benchmark::DoNotOptimize(bls::verify(sp.pubkey, sp.signature, proposal_bytes)); }, 5);
    double sign = least_seconds_per_call([&] { benchmark::DoNotOptimize(bls::sign(ids[1].secret, bytes)); }, 5);
    auto [votes, sigs] = benchcost::sign_by_view(ids, view, m, 15);
    VoteSignatureVerifier verifier;
    verifier.verify(votes);
    double batch = least_seconds_per_call([&] { benchmark::DoNotOptimize(verifier.verify(votes)); }, 3);
    QuorumCertificate qc(view.view_id, m, sigs);
    double cert = least_seconds_per_call([&] { benchmark::DoNotOptimize(qc.verify(view)); }, 5);
    return proposal_check + sign + batch + cert;
}

void BM_ThreadedRunToSlot99(benchmark::State& state) {
    constexpr uint64_t LAST = 99;
    auto ids = testkeys::identities(16);
    auto members = testkeys::stake_one_members(ids);
    QuorumView view(0, 100, members);
    ChannelConfig local = *ChannelConfig::from_preset_name("local");
    double floor = LAST * (2 * local.latency_base_ms / 1e3 + critical_path_signature_seconds(ids, view));

    double total = 0;
    int runs = 0;
    for (auto _ : state) {
        std::vector<std::unique_ptr<Sim::Logic>> nodes;
        for (auto& id : ids) {
            auto machine = VeskStatemachine<SystemTimestamper>::new_with_config_and_timestamper(
                id, 0, ChainStateSnapshot{std::nullopt, QuorumCertificate{}, std::nullopt, view, false},
                NodeConfig{std::nullopt, 2s, false}, EntryContainer::make().first, SystemTimestamper{});
            machine.vote_verifier.enabled = true;
            nodes.push_back(std::make_unique<SimNode<SystemTimestamper>>(std::move(machine)));
        }
        auto [tx, rx] = make_channel<Sim::Record>();
        auto start = std::chrono::steady_clock::now();
        std::optional<Sim> sim = Sim::start_simulation_with_log_sink(std::move(nodes), 1ms, local, 1, std::move(tx));
        std::map<BlsPubkey, uint64_t> tips;
        size_t done = 0;
        auto deadline = start + 120s;
        while (done < ids.size()) {
            auto r = rx.recv_until(deadline);
            if (r.status != RecvStatus::Value) {
                state.SkipWithError("the run did not reach slot 99");
                break;
            }
            const auto* node = std::get_if<ExtendedLogSource<BlsPubkey>::Node>(&r.value->source.value);
            const auto* msg = std::get_if<ExtendedLogMessage<ConsensusLogEvent>::Consensus>(&r.value->message.value);
            if (node == nullptr || msg == nullptr) continue;
            if (const auto* valid = std::get_if<events::CertificateValid>(&msg->event)) {
                uint64_t& tip = tips[node->id];
                uint64_t slot = valid->quorum_certificate->message.slot;
                if (tip < LAST && slot >= LAST) ++done;
                tip = std::max(tip, slot);
            }
        }
        total += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        ++runs;
        sim.reset();  // threads are detached and run on until the process ends
    }
    state.counters["run_s"] = total / runs;
    state.counters["floor_s"] = floor;
    state.counters["ratio"] = total / runs / floor;
}
BENCHMARK(BM_ThreadedRunToSlot99)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
}  // namespace vesk
