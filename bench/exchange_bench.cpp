#include <benchmark/benchmark.h>

#include <chrono>
#include <vector>

#include "consensus/certificate.hpp"
#include "consensus/message.hpp"
#include "sim/imperfect_channels.hpp"

namespace vesk {
namespace {

using Egress = Message<ConsensusMessage, TargetAddress<BlsPubkey>>;
constexpr size_t NODES = 16;

struct NullSink {
    void send(ExchangeLogEvent) {}
};

ConsensusMessage vote(uint64_t slot) {
    SignedQuorumMessage v{};
    v.message.slot = slot;
    return ConsensusMessage(v);
}

// The scheduling and delivery steps alone: every node broadcasts one vote in
// turn, the clock advancing 50 us per broadcast, so about 2000 broadcasts
// are in flight under the congested preset's delays.
void BM_ExchangeScheduleDeliverCongested16(benchmark::State& state) {
    auto [egress_tx, egress_rx] = make_channel<Egress>();
    auto [control_tx, control_rx] = make_channel<ExchangeControlMessage>();
    std::vector<Sender<ConsensusMessage>> inbound_tx;
    std::vector<Receiver<ConsensusMessage>> inbound_rx;
    for (size_t i = 0; i < NODES; ++i) {
        auto [tx, rx] = make_channel<ConsensusMessage>();
        inbound_tx.push_back(std::move(tx));
        inbound_rx.push_back(std::move(rx));
    }
    Exchange<ConsensusMessage, BlsPubkey, NullSink> ex(std::move(egress_rx), std::move(control_rx), {},
                                                        *ChannelConfig::from_preset_name("congested"),
                                                        ChaCha12Rng::from_seed_u64(1), std::move(inbound_tx), {});
    const ConsensusMessage m = vote(7);
    Deadline now{};
    size_t sent = 0;
    size_t before = 0;
    int64_t delivered = 0;
    for (auto _ : state) {
        now += std::chrono::microseconds(50);
        ex.schedule(Egress{m, sent++ % NODES, TargetAddress<BlsPubkey>{TargetAddress<BlsPubkey>::Broadcast{}}, {}}, now);
        before = ex.queue_size();
        ex.deliver_outstanding(now);
        delivered += static_cast<int64_t>(before - ex.queue_size());
        // Keep the inbound channels from growing without bound.
        if ((sent & 255) == 0) {
            for (auto& rx : inbound_rx)
                while (rx.try_recv().status == RecvStatus::Value) {
                }
        }
    }
    state.counters["broadcasts/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["copies_scheduled/s"] =
        benchmark::Counter(static_cast<double>(state.iterations() * NODES), benchmark::Counter::kIsRate);
    state.counters["copies_delivered/s"] = benchmark::Counter(static_cast<double>(delivered), benchmark::Counter::kIsRate);
    state.counters["queue"] = static_cast<double>(ex.queue_size());
}
BENCHMARK(BM_ExchangeScheduleDeliverCongested16);

// The real exchange thread under the "local" preset (nothing lost, so the
// end is known): one batch of broadcasts in, every copy out.
void BM_ExchangeThreadLocal16(benchmark::State& state) {
    const auto batch = static_cast<size_t>(state.range(0));
    auto handle = ExchangeHandle<ConsensusMessage, BlsPubkey>::spawn(NODES, *ChannelConfig::from_preset_name("local"),
                                                                     {}, 1, NullSink{});
    const ConsensusMessage m = vote(7);
    for (auto _ : state) {
        for (size_t i = 0; i < batch; ++i) handle.egress[i % NODES].send_broadcast(m, std::nullopt);
        for (auto& rx : handle.inbound)
            for (size_t i = 0; i < batch; ++i) rx.recv();
    }
    state.counters["copies/s"] =
        benchmark::Counter(static_cast<double>(state.iterations() * batch * NODES), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ExchangeThreadLocal16)->Arg(1000)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vesk
