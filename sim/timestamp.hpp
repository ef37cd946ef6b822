#pragma once
// Log time: monotonic nanoseconds since a process-wide epoch taken on first
// use. Protocol time is wall-clock time and lives in base/clock.hpp.
#include <time.h>

#include <compare>
#include <cstdint>

#include "base/contract.hpp"

namespace vesk {

// Nanoseconds since the process's log epoch.
struct Timestamp {
    uint64_t nanos = 0;

    auto operator<=>(const Timestamp&) const = default;
    bool operator==(const Timestamp&) const = default;

    static Timestamp now() {
        const timespec& epoch = log_epoch();
        timespec t;
        clock_gettime(CLOCK_MONOTONIC, &t);
        int64_t secs = static_cast<int64_t>(t.tv_sec) - epoch.tv_sec;
        int64_t nsec = static_cast<int64_t>(t.tv_nsec) - epoch.tv_nsec;
        if (nsec < 0) {
            secs -= 1;
            nsec += 1'000'000'000;
        }
        if (secs < 0) return Timestamp{0};
        uint64_t total;
        bool overflow = __builtin_mul_overflow(static_cast<uint64_t>(secs), uint64_t{1'000'000'000}, &total);
        overflow = overflow || __builtin_add_overflow(total, static_cast<uint64_t>(nsec), &total);
        contract_check(!overflow, "log time fits in 64 bits");
        return Timestamp{total};
    }

    // EPOCH: set once by whichever thread stamps first.
    static const timespec& log_epoch() {
        static const timespec epoch = [] {
            timespec t;
            clock_gettime(CLOCK_MONOTONIC, &t);
            return t;
        }();
        return epoch;
    }
};

}  // namespace vesk
