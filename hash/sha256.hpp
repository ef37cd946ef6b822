#pragma once
// SHA-256 (FIPS 180-4).
#include <array>
#include <cstdint>
#include <span>

namespace vesk {

class Sha256 {
public:
    Sha256();
    void update(std::span<const uint8_t> data);
    std::array<uint8_t, 32> finalize();

private:
    void compress(const uint8_t* block);
    std::array<uint32_t, 8> state_;
    std::array<uint8_t, 64> buffer_{};
    size_t buffered_ = 0;
    uint64_t length_ = 0;
};

}  // namespace vesk
