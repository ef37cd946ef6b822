#pragma once
// Protocol time: wall-clock time read through a timestamper, either the
// system's clock or a simulated one that moves only when told to. The state
// machine is generic over the timestamper, so all of it is inline.
#include <time.h>

#include <chrono>
#include <compare>
#include <concepts>
#include <cstdint>
#include <memory>
#include <optional>

#include "base/contract.hpp"

namespace vesk {

// A point in wall-clock time, measured from the Unix epoch.
struct WallTime {
    int64_t secs = 0;
    uint32_t nanos = 0;  // below 1'000'000'000

    auto operator<=>(const WallTime&) const = default;
    bool operator==(const WallTime&) const = default;

    static WallTime from_timespec(const timespec& ts) {
        return WallTime{static_cast<int64_t>(ts.tv_sec), static_cast<uint32_t>(ts.tv_nsec)};
    }
    // Milliseconds since the Unix epoch, rounded towards minus infinity.
    int64_t unix_millis() const { return secs * 1000 + static_cast<int64_t>(nanos / 1'000'000); }
    // The same, or none before the epoch or beyond the signed 64-bit range.
    std::optional<int64_t> checked_unix_millis() const {
        int64_t ms;
        if (secs < 0 || __builtin_mul_overflow(secs, int64_t{1000}, &ms) ||
            __builtin_add_overflow(ms, static_cast<int64_t>(nanos / 1'000'000), &ms)) {
            return std::nullopt;
        }
        return ms;
    }
    // Whether at least d has passed from `earlier` to this time; never for an
    // `earlier` in the future.
    bool elapsed_since_at_least(const WallTime& earlier, std::chrono::nanoseconds d) const {
        if (*this < earlier) return false;
        int64_t secs_diff;
        if (__builtin_sub_overflow(secs, earlier.secs, &secs_diff)) return true;
        int64_t whole = d.count() / 1'000'000'000;
        if (secs_diff > whole + 1) return true;
        int64_t ns = secs_diff * 1'000'000'000 + (static_cast<int64_t>(nanos) - static_cast<int64_t>(earlier.nanos));
        return ns >= d.count();
    }

    // This time moved forward by a non-negative duration; ends the thread
    // when the seconds leave the signed 64-bit range.
    WallTime plus(std::chrono::nanoseconds d) const {
        contract_check(d.count() >= 0, "wall-clock advance is not negative");
        int64_t add_secs = d.count() / 1'000'000'000;
        auto add_nanos = static_cast<uint32_t>(d.count() % 1'000'000'000);
        WallTime r;
        uint32_t n = nanos + add_nanos;
        int64_t carry = n >= 1'000'000'000 ? 1 : 0;
        r.nanos = carry ? n - 1'000'000'000 : n;
        bool overflow = __builtin_add_overflow(secs, add_secs, &r.secs);
        overflow = overflow || __builtin_add_overflow(r.secs, carry, &r.secs);
        contract_check(!overflow, "overflow when adding duration to instant");
        return r;
    }
};

template <class T>
concept Timestamper = std::copy_constructible<T> && requires(const T& t) {
    { t.now() } -> std::same_as<WallTime>;
};

inline WallTime read_realtime_clock() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return WallTime::from_timespec(ts);
}

// Reads the operating system's real-time clock at every call.
struct SystemTimestamper {
    WallTime now() const { return read_realtime_clock(); }
};

// A clock that stands still until advanced. Copies share one cell; it is
// meant for one thread.
class SimulatedTimestamper {
public:
    SimulatedTimestamper() : SimulatedTimestamper(read_realtime_clock()) {}
    // Starting at a given time, for runs that must repeat exactly.
    explicit SimulatedTimestamper(WallTime start) : cell_(std::make_shared<WallTime>(start)) {}
    WallTime now() const { return *cell_; }
    void advance(std::chrono::nanoseconds d) const { *cell_ = now().plus(d); }

private:
    std::shared_ptr<WallTime> cell_;
};

static_assert(Timestamper<SystemTimestamper>);
static_assert(Timestamper<SimulatedTimestamper>);

}  // namespace vesk
