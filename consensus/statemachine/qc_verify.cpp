#include "consensus/statemachine/qc_verify.hpp"

#include <algorithm>
#include <atomic>
#include <system_error>

#include "base/contract.hpp"
#include "base/processors.hpp"
#include "base/text.hpp"

namespace vesk {

ThreadPool& qc_verify_pool() {
    // Never torn down: jobs may still be running while the process exits.
    static ThreadPool* const QC_VERIFY_POOL = [] {
        try {
            return new ThreadPool(usable_processor_count(), "veskQcVerify");
        } catch (const std::system_error& e) {
            contract_fail(format("thread pool for vesk state-sync QC verification: {}", std::string_view(e.what())));
        }
    }();
    return *QC_VERIFY_POOL;
}

bool verify_qcs_in_parallel(ThreadPool& pool, std::span<const QcCheck> checks) {
    if (checks.empty()) return true;
    size_t parts = std::min(pool.thread_count(), checks.size());
    std::atomic<bool> failed = false;
    // Each thread takes the next unchecked certificate, so a thread that the
    // machine slows down holds up no fixed share of the page.
    std::atomic<size_t> next = 0;
    pool.run_parts(parts, [&](size_t) {
        for (size_t i = next.fetch_add(1, std::memory_order_relaxed); i < checks.size();
             i = next.fetch_add(1, std::memory_order_relaxed)) {
            if (failed.load(std::memory_order_relaxed)) return;
            if (!checks[i].qc->verify(*checks[i].view)) {
                failed.store(true, std::memory_order_relaxed);
                return;
            }
        }
    });
    return !failed.load();
}

}  // namespace vesk
