#pragma once
// Builds signing and hashing byte strings: ASCII tags, little-endian integers,
// one-byte booleans and optionals, counted lists.
#include <array>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

#include "base/saturating.hpp"

namespace vesk {

class ByteWriter {
public:
    ByteWriter() = default;
    explicit ByteWriter(size_t reserve) { buf_.reserve(reserve); }

    ByteWriter& tag(std::string_view ascii) {
        buf_.insert(buf_.end(), ascii.begin(), ascii.end());
        return *this;
    }
    ByteWriter& bytes(std::span<const uint8_t> b) {
        buf_.insert(buf_.end(), b.begin(), b.end());
        return *this;
    }
    template <size_t N>
    ByteWriter& bytes(const std::array<uint8_t, N>& b) {
        return bytes(std::span<const uint8_t>(b));
    }
    ByteWriter& u8(uint8_t v) {
        buf_.push_back(v);
        return *this;
    }
    ByteWriter& boolean(bool v) { return u8(v ? 1 : 0); }
    ByteWriter& u64(uint64_t v) { return le(v, 8); }
    ByteWriter& i64(int64_t v) { return le(static_cast<uint64_t>(v), 8); }
    ByteWriter& u32(uint32_t v) { return le(v, 4); }
    ByteWriter& u16(uint16_t v) { return le(v, 2); }
    ByteWriter& u128v(u128 v) {
        le(static_cast<uint64_t>(v), 8);
        return le(static_cast<uint64_t>(v >> 64), 8);
    }

    const std::vector<uint8_t>& data() const { return buf_; }
    std::vector<uint8_t> take() { return std::move(buf_); }
    size_t size() const { return buf_.size(); }

private:
    ByteWriter& le(uint64_t v, int n) {
        for (int i = 0; i < n; ++i) buf_.push_back(static_cast<uint8_t>(v >> (8 * i)));
        return *this;
    }
    std::vector<uint8_t> buf_;
};

}  // namespace vesk
