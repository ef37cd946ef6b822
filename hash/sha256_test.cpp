#include "hash/sha256.hpp"

#include <gtest/gtest.h>

#include <string>

#include "base/text.hpp"
#include "hash/hash.hpp"

namespace vesk {
namespace {

std::string hex(const std::array<uint8_t, 32>& d) {
    std::string s;
    append_hex(s, d);
    return s;
}

TEST(Sha256, Fips180Examples) {
    const std::pair<std::string, std::string> cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    };
    for (const auto& [msg, want] : cases) EXPECT_EQ(hex(hashv({as_bytes(msg)}).bytes), want) << msg;
}

TEST(Sha256, MillionAInUnevenPieces) {
    Sha256 h;
    std::string chunk(997, 'a');
    size_t left = 1000000;
    while (left > 0) {
        size_t n = std::min(left, chunk.size());
        h.update(as_bytes(std::string_view(chunk).substr(0, n)));
        left -= n;
    }
    EXPECT_EQ(hex(h.finalize()), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Sha256, PaddingBoundaries) {
    // Lengths around the 55/56/64-byte padding edges agree between one-shot
    // and byte-by-byte hashing.
    for (size_t len : {55u, 56u, 63u, 64u, 65u, 119u, 120u}) {
        std::string msg(len, 'x');
        Sha256 h;
        for (char c : msg) h.update(as_bytes(std::string_view(&c, 1)));
        EXPECT_EQ(h.finalize(), hashv({as_bytes(msg)}).bytes) << len;
    }
}

}  // namespace
}  // namespace vesk
