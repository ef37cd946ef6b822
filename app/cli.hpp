#pragma once
// The command line of vesk-sim: the commands, the usage text, the options of
// a threaded run and the exit statuses. Parsing gives values and message
// texts; only cli_main prints, so the rules can be checked without a process.
#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "app/run_sim.hpp"

namespace vesk {

// Cleared by the interrupt handler; read by the main loop of a threaded run.
extern std::atomic<bool> RUNNING;

void sigint_handler(int signal);

inline constexpr uint64_t MAX_NODES = 16;
inline constexpr uint64_t DEFAULT_NODES = 5;
inline constexpr uint64_t DEFAULT_TICK_MS = 1000;
inline constexpr uint64_t DEFAULT_SLEEP_MS = 1000;

// A run that ends normally, a script that fails (and the mode that is not
// built), and a command line that cannot be followed.
inline constexpr int EXIT_OK = 0;
inline constexpr int EXIT_FAILURE_STATUS = 1;
inline constexpr int EXIT_USAGE = 2;

std::string usage_text();
void print_help();

// "Available scenarios:" and one padded line per library scenario.
std::string scenario_list_text();

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
std::variant<RunSimRequest, HelpRequest, ArgError> parse_run_sim_args(std::span<const std::string> args);

// The scenario name from the arguments after "run-scenario".
std::variant<std::string, ArgError> parse_run_scenario_args(std::span<const std::string> args);

// Runs one command; args[0] is the program path. Returns the exit status.
int cli_main(std::span<const std::string> args);

}  // namespace vesk
