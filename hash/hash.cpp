#include "hash/hash.hpp"

#include "hash/sha256.hpp"

namespace vesk {

Hash hashv(std::initializer_list<std::span<const uint8_t>> parts) {
    return hashv(std::span<const std::span<const uint8_t>>(parts.begin(), parts.size()));
}

Hash hashv(std::span<const std::span<const uint8_t>> parts) {
    Sha256 s;
    for (auto p : parts) s.update(p);
    return Hash{s.finalize()};
}

void write_as_base58(std::string& out, const Hash& h) {
    static constexpr char ALPHABET[] = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz";
    static constexpr uint64_t LIMB = 656356768;  // 58^5
    constexpr int LIMBS = 9;                     // 58^45 > 2^256

    // The number as eight big-endian 32-bit words, converted by repeated
    // division into nine limbs of base 58^5, least significant first.
    uint32_t words[8];
    for (int i = 0; i < 8; ++i) {
        words[i] = (uint32_t{h.bytes[4 * i]} << 24) | (uint32_t{h.bytes[4 * i + 1]} << 16) |
                   (uint32_t{h.bytes[4 * i + 2]} << 8) | uint32_t{h.bytes[4 * i + 3]};
    }
    uint32_t limbs[LIMBS];
    for (int l = 0; l < LIMBS; ++l) {
        uint64_t rem = 0;
        for (uint32_t& w : words) {
            uint64_t cur = (rem << 32) | w;
            w = static_cast<uint32_t>(cur / LIMB);
            rem = cur % LIMB;
        }
        limbs[l] = static_cast<uint32_t>(rem);
    }

    char digits[45];
    for (int l = 0; l < LIMBS; ++l) {
        uint32_t v = limbs[LIMBS - 1 - l];
        for (int d = 4; d >= 0; --d) {
            digits[5 * l + d] = ALPHABET[v % 58];
            v /= 58;
        }
    }

    size_t zeros = 0;
    while (zeros < 32 && h.bytes[zeros] == 0) ++zeros;
    size_t skip = 0;
    while (skip < 45 && digits[skip] == '1') ++skip;
    out.append(zeros, '1');
    out.append(digits + skip, 45 - skip);
}

}  // namespace vesk
