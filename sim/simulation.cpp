#include "sim/simulation.hpp"

#include <pthread.h>
#include <sched.h>

namespace vesk {

std::optional<size_t> pinned_processor(size_t index, const std::vector<size_t>& allowed) {
    if (allowed.empty()) return std::nullopt;
    size_t p = allowed[index % allowed.size()];
    if (p >= CPU_SET_LIMIT) return std::nullopt;
    return p;
}

void pin_current_thread(size_t processor) {
    if (processor >= CPU_SET_LIMIT || processor >= static_cast<size_t>(CPU_SETSIZE)) return;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(processor, &set);
    (void)pthread_setaffinity_np(pthread_self(), sizeof(set), &set);
}

}  // namespace vesk
