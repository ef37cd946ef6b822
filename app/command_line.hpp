#pragma once
// Reading the command line of vesk-sim: which command it names and the
// options of a threaded run, with every check made before anything runs.
// Parsing gives values and message texts and prints nothing, so the rules
// can be checked without a process.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

namespace vesk {

inline constexpr uint64_t MAX_NODES = 16;
inline constexpr uint64_t DEFAULT_NODES = 5;
inline constexpr uint64_t DEFAULT_TICK_MS = 1000;
inline constexpr uint64_t DEFAULT_SLEEP_MS = 1000;

// The options of "run-sim", each none until given.
struct RunSimOptions {
    std::optional<uint64_t> nodes;
    std::optional<uint64_t> rounds;  // main-loop iterations
    std::optional<uint64_t> seed;
    std::optional<uint64_t> tick_ms;
    std::optional<uint64_t> sleep_ms;
    std::optional<uint64_t> duration_secs;
    std::optional<std::string> channel_preset;
    std::optional<std::string> script;
    std::optional<float> latency_base;
    std::optional<float> jitter_mean;
    std::optional<float> jitter_stddev;
    std::optional<float> drop_prob;
};

// Decimal digits with an optional leading "+"; none for anything else or a
// value beyond 64 bits.
std::optional<uint64_t> parse_u64_value(std::string_view text);
// A decimal float with optional sign, fraction and exponent, or an infinity
// or not-a-number spelling in any case; read as the nearest 32-bit float.
std::optional<float> parse_f32_value(std::string_view text);

// A command-line error: the line for standard error, without its line feed.
struct ArgError {
    std::string message;
};

// The unsigned value following args[index] for `flag`. A missing value
// leaves the index; otherwise it moves past flag and value, parsed or not.
std::variant<uint64_t, ArgError> parse_u64_arg(std::span<const std::string> args, size_t& index,
                                               std::string_view flag);

// What the arguments after "run-sim" ask for.
struct RunSimRequest {
    RunSimOptions options;
    uint64_t tick_ms = DEFAULT_TICK_MS;
    uint64_t sleep_ms = DEFAULT_SLEEP_MS;
    uint64_t nodes = DEFAULT_NODES;
};
struct HelpRequest {};

// Both parsers read their arguments from the left and stop at the first
// error; each argument they read must be UTF-8 text. `first_position` is
// the place of args[0] on the whole command line, for that message.
std::variant<RunSimRequest, HelpRequest, ArgError> parse_run_sim_args(std::span<const std::string> args,
                                                                      size_t first_position = 2);
// The scenario name from the arguments after "run-scenario".
std::variant<std::string, ArgError> parse_run_scenario_args(std::span<const std::string> args,
                                                            size_t first_position = 2);

// What a whole command line asks for; args[0] is the program path, which is
// never read.
struct CommandLine {
    struct PerpetualRun {};
    struct Help {};
    struct Tui {};
    struct ListScenarios {};
    // The name still has to be found among the scenarios.
    struct RunScenario {
        std::string name;
    };
    struct RunSim {
        RunSimRequest request;
    };
    struct UnknownCommand {
        std::string word;
    };
    using Kind = std::variant<PerpetualRun, Help, Tui, ListScenarios, RunScenario, RunSim, UnknownCommand, ArgError>;

    Kind kind;
};
CommandLine parse_command_line(std::span<const std::string> args);

}  // namespace vesk
