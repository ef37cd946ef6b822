// vesk-sim: the program's entry point.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/cli.hpp"
#include "base/contract.hpp"
#include "base/stream_writer.hpp"

int main(int argc, char** argv) {
    vesk::install_out_of_memory_exit();
    // Calls are not restarted after an interrupt, so that one blocked while
    // loading a script (a pipe with no writer) ends; every wait of the
    // program's own retries by itself.
    struct sigaction on_interrupt {};
    on_interrupt.sa_handler = vesk::sigint_handler;
    sigemptyset(&on_interrupt.sa_mask);
    on_interrupt.sa_flags = 0;
    sigaction(SIGINT, &on_interrupt, nullptr);
    // Before anything is opened: a closed standard output keeps its number.
    (void)vesk::standard_output();
    // A closed pipe on standard output makes writes fail instead of ending
    // the program; the event log stops and the run goes on.
    signal(SIGPIPE, SIG_IGN);
    // Past a file-size limit a write fails as EFBIG, a write error like a
    // full disk, instead of ending the program by a signal.
    signal(SIGXFSZ, SIG_IGN);

    int status = vesk::run_main([&] {
        std::vector<std::string> args(argv, argv + argc);
        return vesk::cli_main(args);
    });

    // A threaded run leaves its threads running. Ending here, without static
    // destructors, keeps them from meeting torn-down globals; holding
    // standard output keeps any writer from starting a line it cannot end.
    vesk::standard_output().hold();
    std::fflush(stderr);
    _exit(status);
}
