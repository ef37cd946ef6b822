#pragma once
// The commands of vesk-sim: the usage text, the scenario list, the exit
// statuses, and cli_main, which carries out what the command line asks for
// and alone prints its errors.
#include <atomic>
#include <span>
#include <string>
#include <string_view>

#include "app/command_line.hpp"
#include "app/run_sim.hpp"

namespace vesk {

// Cleared by the interrupt handler; read by the main loop of a threaded run.
extern std::atomic<bool> RUNNING;

void sigint_handler(int signal);

// A run that ends normally, a script that fails (and the mode that is not
// built), and a command line that cannot be followed.
inline constexpr int EXIT_OK = 0;
inline constexpr int EXIT_FAILURE_STATUS = 1;
inline constexpr int EXIT_USAGE = 2;

// One error line on standard error. The line may quote the user's text, so
// its control characters are shown escaped: it stays one line and cannot
// drive the terminal.
void print_error_line(std::string_view line);

std::string usage_text();
void print_help();

// "Available scenarios:" and one padded line per library scenario.
std::string scenario_list_text();

// Runs one command; args[0] is the program path and is never read. Returns
// the exit status.
int cli_main(std::span<const std::string> args);

}  // namespace vesk
