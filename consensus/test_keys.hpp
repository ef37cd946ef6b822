#pragma once
// Deterministic keys for tests and benchmarks.
#include <array>
#include <cstdint>
#include <utility>
#include <vector>

#include "consensus/bls.hpp"

namespace vesk::testkeys {

inline BlsSecretKey secret(uint32_t i) {
    std::array<uint8_t, 32> seed{};
    for (size_t k = 0; k < seed.size(); ++k) seed[k] = static_cast<uint8_t>(i * 31 + k * 7 + 1);
    seed[0] = static_cast<uint8_t>(i);
    seed[1] = static_cast<uint8_t>(i >> 8);
    return bls::keygen(seed);
}

inline std::vector<NodeIdentity> identities(uint32_t n) {
    std::vector<NodeIdentity> out;
    for (uint32_t i = 0; i < n; ++i) out.emplace_back(secret(i));
    return out;
}

// Every identity as a member of stake 1, in the given order.
inline std::vector<std::pair<BlsPubkey, uint64_t>> stake_one_members(const std::vector<NodeIdentity>& ids) {
    std::vector<std::pair<BlsPubkey, uint64_t>> out;
    for (const auto& id : ids) out.emplace_back(id.pubkey, 1);
    return out;
}

}  // namespace vesk::testkeys
