#pragma once
// Checking the certificates of a state-sync page in parallel on one
// process-wide pool of verification threads.
#include <span>

#include "base/thread_pool.hpp"
#include "consensus/certificate.hpp"
#include "consensus/view.hpp"

namespace vesk {

// One certificate and the view to check it against; both are only read.
struct QcCheck {
    const QuorumCertificate* qc = nullptr;
    const QuorumView* view = nullptr;
};

// The process-wide pool, started on first use with one "veskQcVerifyNN" thread
// per usable processor and never stopped. A pool that cannot be started ends
// the calling thread with a contract failure.
ThreadPool& qc_verify_pool();

// True exactly when every certificate verifies against its view. Each of the
// pool's threads takes the next unchecked certificate until none is left; the
// first failure stops them all. The caller blocks until done.
bool verify_qcs_in_parallel(ThreadPool& pool, std::span<const QcCheck> checks);
inline bool verify_qcs_in_parallel(std::span<const QcCheck> checks) {
    return verify_qcs_in_parallel(qc_verify_pool(), checks);
}

}  // namespace vesk
