#include "base/contract.hpp"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace vesk {

void contract_fail(std::string message) { throw ContractFailure(std::move(message)); }

void exit_out_of_memory() noexcept {
    static std::atomic<bool> exiting{false};
    if (exiting.exchange(true)) {
        // Another thread writes the line and ends the process.
        for (;;) pause();
    }
    static const char line[] = "out of memory\n";
    for (size_t done = 0; done < sizeof line - 1;) {
        ssize_t n = write(STDERR_FILENO, line + done, sizeof line - 1 - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    _exit(CONTRACT_FAILURE_EXIT_STATUS);
}

namespace {

std::terminate_handler terminate_before = nullptr;

void terminate_out_of_memory() {
    // Only an exception being handled can be rethrown; without one this is
    // not a failure to allocate.
    if (std::current_exception()) {
        try {
            throw;
        } catch (const std::bad_alloc&) {
            exit_out_of_memory();
        } catch (...) {
        }
    }
    if (terminate_before) terminate_before();
    std::abort();
}

}  // namespace

void install_out_of_memory_exit() noexcept {
    std::set_new_handler(exit_out_of_memory);
    std::terminate_handler before = std::set_terminate(terminate_out_of_memory);
    if (before != terminate_out_of_memory) terminate_before = before;
}

namespace {

void report_contract_failure(const ContractFailure& failure) noexcept {
    std::fprintf(stderr, "%s\n", failure.message().c_str());
    std::fflush(stderr);
}

void report_failure(const char* message) noexcept {
    // Written byte by byte so that reporting allocates nothing.
    flockfile(stderr);
    for (const char* p = message; *p != '\0'; ++p) {
        putc_unlocked(*p == '\n' || *p == '\r' ? ' ' : *p, stderr);
    }
    putc_unlocked('\n', stderr);
    funlockfile(stderr);
    std::fflush(stderr);
}

}  // namespace

void report_current_exception() noexcept {
    try {
        throw;
    } catch (const ContractFailure& failure) {
        report_contract_failure(failure);
    } catch (const std::exception& e) {
        report_failure(e.what());
    } catch (...) {
        report_failure("unknown exception");
    }
}

}  // namespace vesk
