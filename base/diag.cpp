#include "base/diag.hpp"

#include <atomic>

namespace vesk::diag {

namespace {
std::atomic<Logger*> g_logger{nullptr};
}

Logger* logger() noexcept { return g_logger.load(std::memory_order_acquire); }
void set_logger(Logger* l) noexcept { g_logger.store(l, std::memory_order_release); }

}  // namespace vesk::diag
