#include "base/contract.hpp"

#include <cstdio>

namespace vesk {

void contract_fail(std::string message) { throw ContractFailure(std::move(message)); }

void report_contract_failure(const ContractFailure& failure) noexcept {
    std::fprintf(stderr, "%s\n", failure.message().c_str());
    std::fflush(stderr);
}

}  // namespace vesk
