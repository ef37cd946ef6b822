#pragma once
// The 32-byte Hash (a SHA-256 digest), hashv and its Base58 text form.
#include <array>
#include <compare>
#include <cstdint>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

namespace vesk {

struct Hash {
    std::array<uint8_t, 32> bytes{};

    auto operator<=>(const Hash&) const = default;
    bool operator==(const Hash&) const = default;
    std::span<const uint8_t> span() const { return bytes; }
};

inline std::span<const uint8_t> as_bytes(std::string_view s) {
    return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

// SHA-256 over the concatenation of the parts; the one-shot hash of the
// system, also for a single part. Sha256 (hash/sha256.hpp) streams.
Hash hashv(std::initializer_list<std::span<const uint8_t>> parts);
Hash hashv(std::span<const std::span<const uint8_t>> parts);

// Base58 with the Bitcoin alphabet; allocation-free.
void write_as_base58(std::string& out, const Hash& h);

inline void display(std::string& out, const Hash& h) { write_as_base58(out, h); }
inline void debug(std::string& out, const Hash& h) { write_as_base58(out, h); }

}  // namespace vesk

template <>
struct std::hash<vesk::Hash> {
    size_t operator()(const vesk::Hash& h) const noexcept {
        size_t v;
        std::memcpy(&v, h.bytes.data(), sizeof v);
        return v;
    }
};
