#pragma once
// Random numbers: the ChaCha stream cipher as a generator, keyed directly,
// from a 64-bit seed or from operating-system entropy, and a per-thread
// generator that reseeds itself from the operating system.
#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "base/saturating.hpp"

namespace vesk {

using ChaChaKey = std::array<uint8_t, 32>;
using ChaChaState = std::array<uint32_t, 16>;

// The ChaCha block function: `Rounds` rounds (an even count) over a full input
// state, with the input added back in.
template <int Rounds>
ChaChaState chacha_block(const ChaChaState& input) {
    static_assert(Rounds > 0 && Rounds % 2 == 0);
    auto quarter = [&](ChaChaState& x, int a, int b, int c, int d) {
        x[a] += x[b];
        x[d] = std::rotl(x[d] ^ x[a], 16);
        x[c] += x[d];
        x[b] = std::rotl(x[b] ^ x[c], 12);
        x[a] += x[b];
        x[d] = std::rotl(x[d] ^ x[a], 8);
        x[c] += x[d];
        x[b] = std::rotl(x[b] ^ x[c], 7);
    };
    ChaChaState x = input;
    for (int i = 0; i < Rounds; i += 2) {
        quarter(x, 0, 4, 8, 12);
        quarter(x, 1, 5, 9, 13);
        quarter(x, 2, 6, 10, 14);
        quarter(x, 3, 7, 11, 15);
        quarter(x, 0, 5, 10, 15);
        quarter(x, 1, 6, 11, 12);
        quarter(x, 2, 7, 8, 13);
        quarter(x, 3, 4, 9, 14);
    }
    for (size_t i = 0; i < 16; ++i) x[i] += input[i];
    return x;
}

// The 32-byte key that the PCG32 expansion makes of a 64-bit seed.
ChaChaKey key_from_seed_u64(uint64_t seed);

// Fills `out` from the operating system's entropy source; a refusal is a
// contract failure.
void fill_from_entropy(std::span<uint8_t> out);

// A ChaCha keystream as a generator: a 64-bit block counter from 0, stream 0,
// and the keystream's 32-bit words in order. Wider outputs take consecutive
// words, the first as the lowest part.
template <int Rounds>
class ChaChaRng {
public:
    explicit ChaChaRng(const ChaChaKey& key) {
        state_ = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
        for (size_t i = 0; i < 8; ++i) {
            uint32_t w;
            std::memcpy(&w, key.data() + 4 * i, 4);
            state_[4 + i] = le32(w);
        }
    }
    static ChaChaRng from_seed_u64(uint64_t seed) { return ChaChaRng(key_from_seed_u64(seed)); }
    static ChaChaRng from_entropy() {
        ChaChaKey key;
        fill_from_entropy(key);
        return ChaChaRng(key);
    }

    uint32_t next_u32() {
        if (index_ == block_.size()) refill();
        return block_[index_++];
    }
    uint64_t next_u64() {
        uint64_t lo = next_u32();
        return lo | (uint64_t{next_u32()} << 32);
    }
    u128 next_u128() {
        u128 lo = next_u64();
        return lo | (u128{next_u64()} << 64);
    }
    // Each word gives four bytes, least significant first; the unused bytes of
    // a last partial word are discarded.
    void fill_bytes(std::span<uint8_t> out) {
        for (size_t i = 0; i < out.size(); i += 4) {
            uint32_t w = next_u32();
            size_t n = std::min<size_t>(4, out.size() - i);
            for (size_t k = 0; k < n; ++k) out[i + k] = static_cast<uint8_t>(w >> (8 * k));
        }
    }

private:
    static uint32_t le32(uint32_t v) {
        if constexpr (std::endian::native == std::endian::big) return __builtin_bswap32(v);
        return v;
    }
    void refill() {
        block_ = chacha_block<Rounds>(state_);
        if (++state_[12] == 0) ++state_[13];
        index_ = 0;
    }

    ChaChaState state_{};  // words 12-13: block counter; 14-15: stream
    ChaChaState block_{};
    size_t index_ = block_.size();
};

using ChaCha12Rng = ChaChaRng<12>;

// The generator of one thread: ChaCha12 keyed from operating-system entropy,
// rekeyed from it after every RESEED_BYTES of output so that a leak of the
// state exposes little.
class ThreadRng {
public:
    static constexpr uint64_t RESEED_BYTES = 64 * 1024;

    ThreadRng();
    uint32_t next_u32() { return before(4).next_u32(); }
    uint64_t next_u64() { return before(8).next_u64(); }
    u128 next_u128() { return before(16).next_u128(); }
    void fill_bytes(std::span<uint8_t> out) { before((out.size() + 3) & ~size_t{3}).fill_bytes(out); }

private:
    ChaCha12Rng& before(uint64_t bytes) {
        if (bytes > budget_) reseed();
        budget_ -= std::min(bytes, budget_);
        return rng_;
    }
    void reseed();

    ChaCha12Rng rng_;
    uint64_t budget_ = RESEED_BYTES;
};

// The calling thread's generator.
ThreadRng& thread_rng();

}  // namespace vesk
