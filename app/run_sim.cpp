#include "app/run_sim.hpp"

#include <time.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>

#include "app/cli.hpp"
#include "app/output.hpp"
#include "base/clock.hpp"
#include "base/saturating.hpp"
#include "base/text.hpp"
#include "consensus/bls.hpp"
#include "consensus/entry_container.hpp"
#include "consensus/view.hpp"
#include "sim/simulation.hpp"

namespace vesk {

using ConsensusSimulation = Simulation<BlsPubkey, ConsensusLogEvent, ConsensusMessage>;

std::array<uint8_t, 32> node_key_seed(std::optional<uint64_t> seed, uint64_t index) {
    // A 64-bit linear congruential generator; each step gives one byte.
    uint64_t state = seed.value_or(0) ^ index;
    std::array<uint8_t, 32> out{};
    for (uint8_t& byte : out) {
        state = state * 6364136223846793005ULL + 1;
        byte = static_cast<uint8_t>(state >> 24);
    }
    return out;
}

std::vector<std::unique_ptr<ConsensusNodeLogic>> build_nodes(std::optional<uint64_t> seed, uint64_t n) {
    std::vector<NodeIdentity> identities;
    std::vector<std::pair<BlsPubkey, uint64_t>> members;
    for (uint64_t i = 0; i < n; ++i) {
        std::array<uint8_t, 32> key_seed = node_key_seed(seed, i);
        identities.emplace_back(bls::keygen(key_seed));
        members.emplace_back(identities.back().pubkey, 1);
    }
    QuorumView view(VIEW_START_SLOT, VIEW_END_SLOT, members);
    const ChainStateSnapshot snapshot{std::nullopt, QuorumCertificate{}, std::nullopt, view, true};

    std::vector<std::unique_ptr<ConsensusNodeLogic>> nodes;
    for (NodeIdentity& id : identities) {
        // Nothing reads the container's streams.
        EntryContainer entries = EntryContainer::make().first;
        auto machine = VeskStatemachine<SystemTimestamper>::new_with_config_and_timestamper(
            std::move(id), 0, snapshot, NodeConfig{std::nullopt, LIVENESS_TIMEOUT, false}, std::move(entries),
            SystemTimestamper{});
        machine.vote_verifier.enabled = true;
        nodes.push_back(std::make_unique<SimNode<SystemTimestamper>>(std::move(machine)));
    }
    return nodes;
}

ChannelConfig resolve_channel_config(const RunSimOptions& options) {
    ChannelConfig c;
    if (options.channel_preset) {
        c = contract_expect(ChannelConfig::from_preset_name(*options.channel_preset), "the preset was checked");
    }
    if (options.latency_base) c.latency_base_ms = *options.latency_base;
    if (options.jitter_mean) c.latency_jitter_log_mean = *options.jitter_mean;
    if (options.jitter_stddev) c.latency_jitter_log_stddev = *options.jitter_stddev;
    if (options.drop_prob) c.packetdrop_prob = *options.drop_prob;
    return c;
}

std::string start_line(const RunSimOptions& options, uint64_t tick_ms, uint64_t sleep_ms, uint64_t n,
                       const ChannelConfig& config) {
    return format(
        "Starting simulation: nodes={}, tick_ms={}, sleep_ms={}, duration_secs={:?}, rounds={:?}, "
        "latency_base={}ms, jitter=logN({}, {}), drop_prob={}\n",
        n, tick_ms, sleep_ms, options.duration_secs, options.rounds, fixed_decimals(config.latency_base_ms, 1),
        fixed_decimals(config.latency_jitter_log_mean, 2), fixed_decimals(config.latency_jitter_log_stddev, 2),
        fixed_decimals(config.packetdrop_prob, 3));
}

bool RunLimits::begin_iteration(std::chrono::nanoseconds elapsed) {
    if (duration_secs_ && static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(elapsed).count()) >=
                              *duration_secs_) {
        return false;
    }
    if (rounds_left_) {
        if (*rounds_left_ == 0) return false;
        --*rounds_left_;
    }
    return true;
}

std::optional<std::string> action_line(const ScriptAction& action) {
    if (!action.description) return std::nullopt;
    return format("[script @ {}s] {}", fixed_decimals(action.at_secs, 1), escape_controls(*action.description));
}

namespace {

ChannelConfig spec_config(const ChannelConfigSpec& spec) {
    return contract_expect(spec.resolve(), "the script's presets were checked at load");
}

void sleep_whole(uint64_t ms) {
    timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1'000'000};
    // An interrupt does not cut the sleep short: the rest is slept.
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

}  // namespace

std::vector<ControlOrder> control_orders(const ScriptCommand& command, size_t n) {
    using C = ExchangeControlMessage;
    std::vector<ControlOrder> out;
    auto exchange = [&](C::Kind kind) { out.emplace_back(C{std::move(kind)}); };
    std::visit(
        [&](const auto& c) {
            using T = std::decay_t<decltype(c)>;
            if constexpr (std::same_as<T, ScriptCommand::SetDefaultConfig>) {
                exchange(C::SetDefaultConfig{spec_config(c.config)});
            } else if constexpr (std::same_as<T, ScriptCommand::SetRouteConfig>) {
                if (auto route = RouteDescriptor::make(c.node_a, c.node_b)) {
                    exchange(C::SetRouteConfig{*route, spec_config(c.config), c.priority});
                }
            } else if constexpr (std::same_as<T, ScriptCommand::UnsetRouteConfig>) {
                if (auto route = RouteDescriptor::make(c.node_a, c.node_b)) {
                    exchange(C::UnsetRouteConfig{*route, c.priority});
                }
            } else if constexpr (std::same_as<T, ScriptCommand::SetRoutesForNode>) {
                exchange(C::SetRoutesForNode{c.node, spec_config(c.config), c.priority});
            } else if constexpr (std::same_as<T, ScriptCommand::UnsetRoutesForNode>) {
                exchange(C::UnsetRoutesForNode{c.node, c.priority});
            } else if constexpr (std::same_as<T, ScriptCommand::DefineNeighborhood>) {
                exchange(C::DefineNeighborhood{c.nodes, spec_config(c.config), c.priority});
            } else if constexpr (std::same_as<T, ScriptCommand::UnsetNeighborhood>) {
                exchange(C::UnsetNeighborhood{c.nodes, c.priority});
            } else {
                static_assert(std::same_as<T, ScriptCommand::NodeControl>);
                if (std::holds_alternative<NodeSelector::All>(c.nodes.kind)) {
                    for (size_t i = 0; i < n; ++i) out.emplace_back(NodeOrder{i, c.action});
                } else {
                    for (size_t id : std::get<NodeSelector::List>(c.nodes.kind).nodes) {
                        if (id < n) out.emplace_back(NodeOrder{id, c.action});
                    }
                }
            }
        },
        command.kind);
    return out;
}

int run_sim_with_nodes(const RunSimOptions& options, uint64_t tick_ms, uint64_t sleep_ms, uint64_t n) {
    std::vector<std::unique_ptr<ConsensusNodeLogic>> nodes = build_nodes(options.seed, n);
    const ChannelConfig config = resolve_channel_config(options);

    std::optional<SimScript> script;
    if (options.script) {
        auto loaded = SimScript::load(*options.script);
        if (auto* error = std::get_if<std::string>(&loaded)) {
            print_error_line(format("Failed to load script: {}", *error));
            return EXIT_FAILURE_STATUS;
        }
        script = std::move(std::get<SimScript>(loaded));
        if (auto error = SimScript::validate_node_ids(*script, n)) {
            print_error_line(format("Script validation error: {}", *error));
            return EXIT_FAILURE_STATUS;
        }
    }

    print_stdout(start_line(options, tick_ms, sleep_ms, n, config));
    // An interval too long for the clock becomes the longest one, which a
    // node never sees elapse.
    std::optional<ConsensusSimulation> sim = ConsensusSimulation::start_simulation_with_log_sink(
        std::move(nodes), sat_ms_to_ns(tick_ms), config, options.seed, std::nullopt);

    const auto start = std::chrono::steady_clock::now();
    RunLimits limits(options.duration_secs, options.rounds);
    DueActions due(script ? &script->actions : nullptr);
    auto send = [&](ControlOrder order) {
        // A send to a thread that is gone is dropped; the run goes on.
        if (auto* m = std::get_if<ExchangeControlMessage>(&order)) {
            (void)sim->exchange_control.send(std::move(*m));
        } else {
            const NodeOrder& o = std::get<NodeOrder>(order);
            (void)sim->node_controls[o.node].send(o.message);
        }
    };

    bool interrupted = !RUNNING.load();
    while (!interrupted) {
        const auto elapsed = std::chrono::steady_clock::now() - start;
        if (!limits.begin_iteration(elapsed)) break;
        due.run_due(std::chrono::duration<double>(elapsed).count(), [&](const ScriptAction& action) {
            // Through the log, so that a slow reader never holds the loop up
            // and the line lands among the records of its time.
            if (auto line = action_line(action)) sim->log_line(std::move(*line));
            for (const ScriptCommand& command : action.commands) {
                for (ControlOrder& order : control_orders(command, n)) send(std::move(order));
            }
        });
        if (sleep_ms != 0) sleep_whole(sleep_ms);
        interrupted = !RUNNING.load();
    }
    // Every record made before the stop is printed, and none after, so the
    // shutdown line stays the last one. Behind a stalled reader that takes a
    // while, which would look like a hang after Ctrl+C without a word, also
    // when the run had ended by itself before the Ctrl+C.
    sim->close_log();
    wait_for_printer([&](std::chrono::nanoseconds wait) { return sim->log_done_within(wait); }, interrupted, RUNNING,
                     [] { print_stderr(QUEUED_LOG_NOTICE); });
    sim->finish_log();
    if (interrupted) print_stdout("\nShutting down...\n");
    // The senders close and the threads are left running; the process ends
    // right after.
    sim.reset();
    script.reset();
    return EXIT_OK;
}

}  // namespace vesk
