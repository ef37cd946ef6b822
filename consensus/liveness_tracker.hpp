#pragma once
// When a silent leader counts as failed. Elapsed time since the last progress
// is cut into leader timeouts whose length doubles with every lap of
// rotations (n rotations without progress), up to sixteen times the base.
// Each counted timeout is consumed by moving the progress time past it.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "base/clock.hpp"

namespace vesk {

// Debug form of a non-negative duration, in the largest fitting unit with as
// many decimals as it needs: "2s", "1.5s", "250ms", "3µs", "7ns".
struct DurationForm {
    std::chrono::nanoseconds value;
};
void debug(std::string& out, DurationForm d);

namespace liveness_detail {
// Ends the thread unless the base timeout is positive.
void require_valid_timeout(std::chrono::nanoseconds timeout);
// The progress time for a certificate timestamp; a negative one keeps
// `current` and logs an error.
WallTime progress_from_millis(WallTime current, int64_t unix_millis);
uint32_t consume_timeouts(WallTime& last_progress_at, WallTime now, std::chrono::nanoseconds timeout,
                          uint64_t rotations, size_t n);
bool shift(WallTime& last_progress_at, std::chrono::nanoseconds timeout, uint64_t rotations, size_t n,
           uint32_t steps);
}  // namespace liveness_detail

template <Timestamper T>
class LivenessTracker {
public:
    // `tip_timestamp_ms` is the tip certificate's timestamp (signed
    // milliseconds since the Unix epoch); a negative one leaves the progress
    // time at the epoch. A zero timeout ends the thread.
    LivenessTracker(int64_t tip_timestamp_ms, std::chrono::nanoseconds timeout, T timestamper)
        : timeout_(timeout), timestamper_(std::move(timestamper)) {
        liveness_detail::require_valid_timeout(timeout_);
        set_last_progress_at(tip_timestamp_ms);
    }

    // How many leader timeouts have passed for a leader `rotations` positions
    // into a rotation of `n` members; the counted ones are consumed.
    uint32_t maybe_timeout(uint64_t rotations, size_t n) {
        return liveness_detail::consume_timeouts(last_progress_at_, timestamper_.now(), timeout_, rotations, n);
    }

    void set_last_progress_at(int64_t unix_millis) {
        last_progress_at_ = liveness_detail::progress_from_millis(last_progress_at_, unix_millis);
    }

    // Moves the progress time past `steps` timeouts starting at rotation
    // count `rotations`; false (and nothing moved) when that overflows.
    bool shift_progress_at_on_rotations(uint64_t rotations, size_t n, uint32_t steps) {
        return liveness_detail::shift(last_progress_at_, timeout_, rotations, n, steps);
    }

    WallTime now() const { return timestamper_.now(); }
    const T& timestamper() const { return timestamper_; }
    std::chrono::nanoseconds timeout() const { return timeout_; }
    WallTime last_progress_at() const { return last_progress_at_; }

private:
    std::chrono::nanoseconds timeout_;
    WallTime last_progress_at_{};
    T timestamper_;
};

}  // namespace vesk
