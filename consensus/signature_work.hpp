#pragma once
// A per-thread tally of signature operations, so a benchmark can price a
// protocol run against its signature-work floor.
#include <cstdint>

namespace vesk {

struct SignatureWork {
    uint64_t signs = 0;
    uint64_t single_checks = 0;       // one signature against one key
    uint64_t batch_checks = 0;        // one batch equation over a chunk of votes
    uint64_t batch_votes = 0;         // votes covered by those equations
    uint64_t certificate_checks = 0;  // aggregate signature against aggregated keys
};

inline SignatureWork& signature_work() {
    thread_local SignatureWork work;
    return work;
}

}  // namespace vesk
