#include "app/cli.hpp"

#include <unistd.h>

#include <cerrno>
#include <concepts>
#include <system_error>
#include <type_traits>

#include "adversarial/library.hpp"
#include "app/output.hpp"
#include "base/stream_writer.hpp"
#include "base/text.hpp"
#include "sim/imperfect_channels.hpp"

namespace vesk {

std::atomic<bool> RUNNING{true};

void sigint_handler(int) {
    // A second interrupt ends the program at once: after the first, the
    // program may be waiting for a reader that never reads.
    if (!RUNNING.exchange(false)) _exit(EXIT_INTERRUPTED);
}

namespace {

std::string preset_names_joined() {
    std::string out;
    for (const ChannelPreset& p : CHANNEL_PRESETS) {
        if (!out.empty()) out += ' ';
        out += p.name;
    }
    return out;
}

int run_scenario(const std::string& name) {
    for (const Scenario& s : library::all_scenarios()) {
        if (s.name != name) continue;
        print_stdout(format("Running scenario: {}\n", s.name));
        SimResult result = s.run();
        print_stdout(result.summary() + '\n');
        return EXIT_OK;
    }
    print_error_line(format("Scenario not found: {}", shortened(name)));
    return EXIT_USAGE;
}

// A closed pipe stops a threaded run's log and nothing else; any other
// failure of standard output, and any at all in the other commands, is
// reported once and fails the command.
int check_standard_output(int status, bool threaded_run) {
    const int error = standard_output().error();
    if (error == 0 || (threaded_run && error == EPIPE)) return status;
    print_error_line(format("Failed to write to standard output: {}", std::generic_category().message(error)));
    return status == EXIT_OK ? EXIT_FAILURE_STATUS : status;
}

}  // namespace

void print_error_line(std::string_view line) { print_stderr(escape_controls(line) + '\n'); }

std::string usage_text() {
    return format(
        "vesk-sim\n"
        "\n"
        "USAGE:\n"
        "vesk-sim                              Run perpetual simulation (Ctrl+C to stop)\n"
        "vesk-sim list-scenarios               List available adversarial scenarios\n"
        "vesk-sim run-scenario <name>          Run a named adversarial scenario\n"
        "vesk-sim run-sim [options]            Run a long-lived threaded simulation\n"
        "vesk-sim tui [options]                Interactive TUI simulator (--features tui)\n"
        "\n"
        "COMMANDS:\n"
        "list-scenarios\n"
        "run-scenario <name>\n"
        "--name, -n <name>                   Scenario name (alternative form)\n"
        "\n"
        "run-sim [options]\n"
        "--nodes, -n <N>                     Number of nodes (1-{}, default {})\n"
        "--rounds, -r <N>                    Sleep iterations before exit (optional)\n"
        "--seed <seed>                       Seed for deterministic keys (optional)\n"
        "--tick-ms <ms>                      Tick interval for nodes (default {})\n"
        "--sleep-ms <ms>                     Main-thread sleep interval (default {})\n"
        "--duration-secs <secs>              Run duration; omit for perpetual\n"
        "--channel-latency-base-ms <f32>     Base latency floor in ms (default {})\n"
        "--channel-jitter-log-mean <f32>     Log-normal jitter mean (default 0.0)\n"
        "--channel-jitter-log-stddev <f32>   Log-normal jitter stddev (default 0.0)\n"
        "--channel-drop-prob <f32>           Packet drop probability 0.0-1.0 (default 0.0)\n"
        "--channel-preset <name>             Use a preset as base config; presets available:\n"
        "{}\n"
        "--script <path>                     YAML script file for timed actions\n"
        "\n"
        "NOTES:\n"
        "If both --rounds and --duration-secs are provided, the simulation stops on\n"
        "whichever limit is reached first.\n"
        "\n",
        MAX_NODES, DEFAULT_NODES, DEFAULT_TICK_MS, DEFAULT_SLEEP_MS, fixed_decimals(ChannelConfig{}.latency_base_ms, 1),
        preset_names_joined());
}

void print_help() { print_stdout(usage_text()); }

std::string scenario_list_text() {
    std::string out = "Available scenarios:\n";
    for (const Scenario& s : library::all_scenarios()) {
        out += "  ";
        out += s.name;
        if (s.name.size() < 24) out.append(24 - s.name.size(), ' ');
        out += ' ';
        out += s.description;
        out += '\n';
    }
    return out;
}

int cli_main(std::span<const std::string> args) {
    using C = CommandLine;
    CommandLine command = parse_command_line(args);
    const bool threaded_run =
        std::holds_alternative<C::PerpetualRun>(command.kind) || std::holds_alternative<C::RunSim>(command.kind);
    int status = std::visit(
        [](auto& c) -> int {
            using T = std::decay_t<decltype(c)>;
            if constexpr (std::same_as<T, C::PerpetualRun>) {
                print_stdout("Running perpetual simulation (Ctrl+C to stop)...\n");
                return run_sim_with_nodes(RunSimOptions{}, DEFAULT_TICK_MS, DEFAULT_SLEEP_MS, DEFAULT_NODES);
            } else if constexpr (std::same_as<T, C::Help>) {
                print_help();
                return EXIT_OK;
            } else if constexpr (std::same_as<T, C::Tui>) {
                print_error_line("TUI support not compiled. Rebuild with --features tui");
                return EXIT_FAILURE_STATUS;
            } else if constexpr (std::same_as<T, C::ListScenarios>) {
                print_stdout(scenario_list_text());
                return EXIT_OK;
            } else if constexpr (std::same_as<T, C::RunScenario>) {
                return run_scenario(c.name);
            } else if constexpr (std::same_as<T, C::RunSim>) {
                const RunSimRequest& r = c.request;
                return run_sim_with_nodes(r.options, r.tick_ms, r.sleep_ms, r.nodes);
            } else if constexpr (std::same_as<T, C::UnknownCommand>) {
                print_error_line(format("Unknown command: {}", shortened(c.word)));
                print_help();
                return EXIT_USAGE;
            } else {
                static_assert(std::same_as<T, ArgError>);
                print_error_line(c.message);
                return EXIT_USAGE;
            }
        },
        command.kind);
    return check_standard_output(status, threaded_run);
}

}  // namespace vesk
