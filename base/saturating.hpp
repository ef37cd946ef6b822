#pragma once
// Arithmetic that saturates instead of wrapping: unsigned 128-bit stake sums
// and their products with small factors, 64-bit values, and durations given
// in milliseconds on the command line.
#include <chrono>
#include <cstdint>
#include <string>

namespace vesk {

__extension__ typedef unsigned __int128 u128;

inline constexpr u128 U128_MAX = ~u128{0};

constexpr u128 sat_add(u128 a, u128 b) {
    u128 r;
    return __builtin_add_overflow(a, b, &r) ? U128_MAX : r;
}
constexpr u128 sat_sub(u128 a, u128 b) { return a > b ? a - b : 0; }
constexpr u128 sat_mul(u128 a, u128 b) {
    u128 r;
    return __builtin_mul_overflow(a, b, &r) ? U128_MAX : r;
}
constexpr uint64_t sat_add(uint64_t a, uint64_t b) {
    uint64_t r;
    return __builtin_add_overflow(a, b, &r) ? UINT64_MAX : r;
}
constexpr uint64_t sat_sub(uint64_t a, uint64_t b) { return a > b ? a - b : 0; }
constexpr uint64_t sat_mul(uint64_t a, uint64_t b) {
    uint64_t r;
    return __builtin_mul_overflow(a, b, &r) ? UINT64_MAX : r;
}

// Signed differences, such as of millisecond timestamps, clamp to the range.
constexpr int64_t sat_sub(int64_t a, int64_t b) {
    int64_t r;
    if (!__builtin_sub_overflow(a, b, &r)) return r;
    return b < 0 ? INT64_MAX : INT64_MIN;
}

// `ms` milliseconds in nanoseconds, or the longest duration the type holds
// when they do not fit.
constexpr std::chrono::nanoseconds sat_ms_to_ns(uint64_t ms) {
    constexpr uint64_t NS_PER_MS = 1'000'000;
    constexpr auto MAX = std::chrono::nanoseconds::max();
    if (ms > static_cast<uint64_t>(MAX.count()) / NS_PER_MS) return MAX;
    return std::chrono::nanoseconds(static_cast<int64_t>(ms * NS_PER_MS));
}

// Decimal text of a 128-bit value.
void append_decimal(std::string& out, u128 v);
std::string u128_to_string(u128 v);

}  // namespace vesk
