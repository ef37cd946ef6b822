#include "hash/hash.hpp"

#include <gtest/gtest.h>

#include "base/text.hpp"
#include "hash/sha256.hpp"

namespace vesk {
namespace {

Hash filled(uint8_t v) {
    Hash h;
    h.bytes.fill(v);
    return h;
}

TEST(Base58, EdgeCases) {
    Hash counting;
    for (int i = 0; i < 32; ++i) counting.bytes[i] = static_cast<uint8_t>(i);
    Hash last_one{};
    last_one.bytes[31] = 1;
    Hash two_zeros{};
    two_zeros.bytes[2] = 0xff;

    EXPECT_EQ(to_display(filled(0)), std::string(32, '1'));
    EXPECT_EQ(to_display(filled(0xff)), "JEKNVnkbo3jma5nREBBJCDoXFVeKkD56V3xKrvRmWxFG");
    EXPECT_EQ(to_display(last_one), std::string(31, '1') + "2");
    EXPECT_EQ(to_display(counting), "1thX6LZfHDZZKUs92febYZhYRcXddmzfzF2NvTkPNE");
    // Two leading zero bytes give exactly two leading "1"s.
    std::string t = to_display(two_zeros);
    EXPECT_EQ(t.substr(0, 2), "11");
    EXPECT_NE(t[2], '1');
    // Debug form is the same bare text, without quotes.
    EXPECT_EQ(to_debug(counting), to_display(counting));
    EXPECT_EQ(format("{:?}", counting), "1thX6LZfHDZZKUs92febYZhYRcXddmzfzF2NvTkPNE");
}

TEST(Base58, LengthsStayInRange) {
    // A first byte that is not zero gives 43 or 44 characters.
    for (int v = 1; v < 256; v += 17) {
        Hash h = filled(static_cast<uint8_t>(v));
        size_t n = to_display(h).size();
        EXPECT_TRUE(n == 43 || n == 44) << v << " " << n;
    }
}

TEST(Hashv, ConcatenatesWithoutSeparators) {
    EXPECT_EQ(hashv({as_bytes("ab"), as_bytes("c")}), hashv({as_bytes("abc")}));
    Sha256 plain;
    plain.update(as_bytes("abc"));
    EXPECT_EQ(hashv({as_bytes("abc")}), Hash{plain.finalize()});
    EXPECT_NE(hashv({as_bytes("ab"), as_bytes("d")}), hashv({as_bytes("abc")}));
}

}  // namespace
}  // namespace vesk
