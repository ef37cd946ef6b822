#include "base/contract.hpp"

#include <cstdio>

namespace vesk {

void contract_fail(std::string message) { throw ContractFailure(std::move(message)); }

namespace {

void report_contract_failure(const ContractFailure& failure) noexcept {
    std::fprintf(stderr, "%s\n", failure.message().c_str());
    std::fflush(stderr);
}

void report_failure(const char* message) noexcept {
    // Written byte by byte so that nothing here allocates: the failure may
    // have been running out of memory.
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
