#include "base/random.hpp"

#include <sys/random.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "base/contract.hpp"

namespace vesk {

ChaChaKey key_from_seed_u64(uint64_t seed) {
    constexpr uint64_t MUL = 6364136223846793005ULL;
    constexpr uint64_t INC = 11634580027462260723ULL;
    ChaChaKey key{};
    uint64_t state = seed;
    for (size_t i = 0; i < key.size(); i += 4) {
        // Advancing before the output keeps a low-weight seed out of the key.
        state = state * MUL + INC;
        uint32_t xorshifted = static_cast<uint32_t>(((state >> 18) ^ state) >> 27);
        uint32_t word = std::rotr(xorshifted, static_cast<int>(state >> 59));
        for (size_t b = 0; b < 4; ++b) key[i + b] = static_cast<uint8_t>(word >> (8 * b));
    }
    return key;
}

void fill_from_entropy(std::span<uint8_t> out) {
    size_t done = 0;
    while (done < out.size()) {
        ssize_t n = getrandom(out.data() + done, out.size() - done, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            contract_fail(std::string("getrandom failed: ") + std::strerror(errno));
        }
        done += static_cast<size_t>(n);
    }
}

ThreadRng::ThreadRng() : rng_(ChaCha12Rng::from_entropy()) {}

void ThreadRng::reseed() {
    rng_ = ChaCha12Rng::from_entropy();
    budget_ = RESEED_BYTES;
}

ThreadRng& thread_rng() {
    thread_local ThreadRng rng;
    return rng;
}

}  // namespace vesk
