#include "consensus/liveness_tracker.hpp"

#include <limits>
#include <optional>

#include "base/contract.hpp"
#include "base/diag.hpp"
#include "base/saturating.hpp"
#include "base/text.hpp"

namespace vesk {

namespace {

constexpr std::string_view TARGET = "vesk_consensus::liveness_tracker";
constexpr uint64_t NANOS_PER_SEC = 1'000'000'000;
constexpr uint64_t UNLIMITED = std::numeric_limits<uint64_t>::max();

__extension__ typedef __int128 i128;

// The timeout length that belongs to one rotation count, and how many counts
// from it on still share that length.
struct Step {
    int64_t nanos;
    uint64_t room;
};

Step step_at(std::chrono::nanoseconds timeout, uint64_t rotations, size_t n) {
    uint64_t members = n;
    uint64_t lap = members == 0 ? 0 : rotations / members;
    int64_t multiplier = int64_t{1} << (lap < 4 ? lap : 4);
    int64_t nanos;
    if (__builtin_mul_overflow(timeout.count(), multiplier, &nanos)) nanos = std::numeric_limits<int64_t>::max();
    // Past lap 3 the length no longer grows; a saturated count no longer moves.
    bool limited = members != 0 && lap <= 3 && rotations != UINT64_MAX;
    return Step{nanos, limited ? members - rotations % members : UNLIMITED};
}

// `to` must not lie before `from`.
u128 nanos_between(WallTime from, WallTime to) {
    i128 secs = static_cast<i128>(to.secs) - from.secs;
    i128 nanos = secs * static_cast<i128>(NANOS_PER_SEC) + to.nanos - static_cast<i128>(from.nanos);
    return static_cast<u128>(nanos);
}

std::optional<WallTime> checked_plus(WallTime t, u128 nanos) {
    u128 add_secs = nanos / NANOS_PER_SEC;
    auto add_nanos = static_cast<uint32_t>(nanos % NANOS_PER_SEC);
    if (add_secs > static_cast<u128>(std::numeric_limits<int64_t>::max())) return std::nullopt;
    WallTime r;
    uint32_t sum = t.nanos + add_nanos;
    int64_t carry = sum >= NANOS_PER_SEC ? 1 : 0;
    r.nanos = carry ? static_cast<uint32_t>(sum - NANOS_PER_SEC) : sum;
    if (__builtin_add_overflow(t.secs, static_cast<int64_t>(add_secs), &r.secs)) return std::nullopt;
    if (__builtin_add_overflow(r.secs, carry, &r.secs)) return std::nullopt;
    return r;
}

void append_decimal_duration(std::string& out, uint64_t whole, uint64_t fraction, uint64_t divisor,
                             std::string_view unit) {
    debug(out, whole);
    if (fraction != 0) {
        out += '.';
        while (fraction != 0 && divisor != 0) {
            out += static_cast<char>('0' + fraction / divisor);
            fraction %= divisor;
            divisor /= 10;
        }
    }
    out += unit;
}

}  // namespace

void debug(std::string& out, DurationForm d) {
    int64_t count = d.value.count();
    if (count < 0) out += '-';
    uint64_t total = count < 0 ? 0 - static_cast<uint64_t>(count) : static_cast<uint64_t>(count);
    uint64_t secs = total / NANOS_PER_SEC;
    uint64_t nanos = total % NANOS_PER_SEC;
    if (secs != 0) {
        append_decimal_duration(out, secs, nanos, 100'000'000, "s");
    } else if (nanos >= 1'000'000) {
        append_decimal_duration(out, nanos / 1'000'000, nanos % 1'000'000, 100'000, "ms");
    } else if (nanos >= 1'000) {
        append_decimal_duration(out, nanos / 1'000, nanos % 1'000, 100, "\u00b5s");
    } else {
        append_decimal_duration(out, nanos, 0, 1, "ns");
    }
}

namespace liveness_detail {

void require_valid_timeout(std::chrono::nanoseconds timeout) {
    if (timeout.count() == 0) contract_fail("vesk liveness timeout must be non-zero");
    if (timeout.count() < 0) contract_fail("vesk liveness timeout must not be negative");
}

WallTime progress_from_millis(WallTime current, int64_t unix_millis) {
    if (unix_millis < 0) {
        diag::error(TARGET, [&] {
            return format("liveness tracker: failed to update progressed at to {} unix milliseconds (failed to cast to u64)",
                          unix_millis);
        });
        return current;
    }
    return WallTime{unix_millis / 1000, static_cast<uint32_t>(unix_millis % 1000) * 1'000'000};
}

uint32_t consume_timeouts(WallTime& last_progress_at, WallTime now, std::chrono::nanoseconds timeout,
                          uint64_t rotations, size_t n) {
    if (now < last_progress_at) {
        diag::warn(TARGET, [] { return std::string("liveness tracker: failed to measure elapsed duration"); });
        return 0;
    }
    u128 elapsed = nanos_between(last_progress_at, now);
    uint64_t done = 0;
    // One pass per lap while the length still doubles, then one for the rest.
    for (;;) {
        Step step = step_at(timeout, sat_add(rotations, done), n);
        auto step_nanos = static_cast<u128>(step.nanos > 0 ? step.nanos : 1);
        u128 due = elapsed / step_nanos;
        u128 k = due < step.room ? due : step.room;
        if (k == 0) break;
        std::optional<WallTime> moved;
        if (k <= UINT32_MAX) moved = checked_plus(last_progress_at, step_nanos * k);
        if (!moved) {
            diag::error(TARGET, [&] {
                return format("liveness tracker: failed to shift progress timestamp by {} steps of {:?}", k,
                              DurationForm{std::chrono::nanoseconds(step.nanos)});
            });
            break;
        }
        last_progress_at = *moved;
        done = sat_add(done, static_cast<uint64_t>(k));
        if (now < last_progress_at) break;
        elapsed = nanos_between(last_progress_at, now);
    }
    return done > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(done);
}

bool shift(WallTime& last_progress_at, std::chrono::nanoseconds timeout, uint64_t rotations, size_t n,
           uint32_t steps) {
    // Summed lap by lap: the partial sums only grow, so the whole shift is
    // representable exactly when every single addition is.
    u128 total = 0;
    uint64_t a = rotations;
    uint64_t remaining = steps;
    while (remaining != 0) {
        Step step = step_at(timeout, a, n);
        uint64_t count = remaining < step.room ? remaining : step.room;
        total += static_cast<u128>(step.nanos) * count;
        remaining -= count;
        a = sat_add(a, count);
    }
    std::optional<WallTime> moved = checked_plus(last_progress_at, total);
    if (!moved) {
        diag::error(TARGET,
                    [&] { return format("liveness tracker: failed to shift progress timestamp by {} steps", steps); });
        return false;
    }
    last_progress_at = *moved;
    return true;
}

}  // namespace liveness_detail

}  // namespace vesk
