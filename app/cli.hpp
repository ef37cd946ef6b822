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

// Clears RUNNING; when it is already clear, ends the program at once with
// EXIT_INTERRUPTED.
void sigint_handler(int signal);

// A run that ends normally, a script that fails, standard output that
// cannot be written (and the mode that is not built), a command line that
// cannot be followed, and a second interrupt.
inline constexpr int EXIT_OK = 0;
inline constexpr int EXIT_FAILURE_STATUS = 1;
inline constexpr int EXIT_USAGE = 2;
inline constexpr int EXIT_INTERRUPTED = 130;

// One error line on standard error. The line may quote the user's text, so
// its control characters are shown escaped: it stays one line and cannot
// drive the terminal.
void print_error_line(std::string_view line);

std::string usage_text();
void print_help();

// "Available scenarios:" and one padded line per library scenario.
std::string scenario_list_text();

// Runs one command; args[0] is the program path and is never read. Returns
// the exit status. A failed standard output is reported on standard error
// and fails the command, except that a threaded run ignores a closed pipe.
int cli_main(std::span<const std::string> args);

}  // namespace vesk
