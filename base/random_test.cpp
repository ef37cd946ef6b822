#include "base/random.hpp"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "base/text.hpp"

namespace vesk {
namespace {

template <int R>
std::string keystream_hex(ChaChaRng<R> rng, size_t bytes) {
    std::vector<uint8_t> out(bytes);
    rng.fill_bytes(out);
    std::string hex;
    append_hex(hex, out);
    return hex;
}

std::string block_hex(const ChaChaState& words) {
    std::vector<uint8_t> bytes;
    for (uint32_t w : words)
        for (int b = 0; b < 4; ++b) bytes.push_back(static_cast<uint8_t>(w >> (8 * b)));
    std::string hex;
    append_hex(hex, bytes);
    return hex;
}

ChaChaKey key_0_to_31() {
    ChaChaKey key;
    for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<uint8_t>(i);
    return key;
}

// RFC 8439 section 2.3.2: key 00..1f, counter 1, nonce 00000009 0000004a 00000000.
TEST(ChaCha, Rfc8439BlockFunction) {
    const ChaChaState input = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574, 0x03020100, 0x07060504,
                               0x0b0a0908, 0x0f0e0d0c, 0x13121110, 0x17161514, 0x1b1a1918, 0x1f1e1d1c,
                               0x00000001, 0x09000000, 0x4a000000, 0x00000000};
    const ChaChaState want = {0xe4e7f110, 0x15593bd1, 0x1fdd0f50, 0xc47120a3, 0xc7f4d1c7, 0x0368c033,
                              0x9aaa2204, 0x4e6cd4c3, 0x466482d2, 0x09aa9f07, 0x05d7c214, 0xa2028bd9,
                              0xd19c12b5, 0xb94e16de, 0xe883d0cb, 0x4e3c50a2};
    EXPECT_EQ(chacha_block<20>(input), want);
}

// RFC 8439 section 2.4.2: the "sunscreen" plaintext under key 00..1f,
// nonce 00000000 0000004a 00000000, from counter 1.
TEST(ChaCha, Rfc8439Encryption) {
    const std::string plain =
        "Ladies and Gentlemen of the class of '99: If I could offer you only one tip for the future, "
        "sunscreen would be it.";
    const std::string want =
        "6e2e359a2568f98041ba0728dd0d6981e97e7aec1d4360c20a27afccfd9fae0b"
        "f91b65c5524733ab8f593dabcd62b3571639d624e65152ab8f530c359f0861d8"
        "07ca0dbf500d6a6156a38e088a22b65e52bc514d16ccf806818ce91ab7793736"
        "5af90bbf74a35be6b40b8eedf2785e42874d";
    ChaChaKey key = key_0_to_31();
    ChaChaState state = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
    std::memcpy(&state[4], key.data(), 32);
    state[13] = 0;
    state[14] = 0x4a000000;
    state[15] = 0;
    std::vector<uint8_t> cipher;
    for (size_t at = 0; at < plain.size(); at += 64) {
        state[12] = static_cast<uint32_t>(1 + at / 64);
        ChaChaState ks = chacha_block<20>(state);
        for (size_t i = at; i < std::min(plain.size(), at + 64); ++i) {
            size_t k = i - at;
            cipher.push_back(static_cast<uint8_t>(plain[i]) ^ static_cast<uint8_t>(ks[k / 4] >> (8 * (k % 4))));
        }
    }
    std::string hex;
    append_hex(hex, cipher);
    EXPECT_EQ(hex, want);
}

// All-zero key and stream: the first keystream blocks for 8, 12 and 20 rounds
// (draft-strombergson-chacha-test-vectors TC1, 256-bit key; the 20-round
// blocks are also RFC 8439 appendix A.1 vectors 1 and 2). The generator's
// output must be the keystream itself, so these go through ChaChaRng.
TEST(ChaCha, ZeroKeyKeystreams) {
    const ChaChaKey zero{};
    EXPECT_EQ(keystream_hex(ChaChaRng<8>(zero), 64),
              "3e00ef2f895f40d67f5bb8e81f09a5a12c840ec3ce9a7f3b181be188ef711a1e"
              "984ce172b9216f419f445367456d5619314a42a3da86b001387bfdb80e0cfe42");
    EXPECT_EQ(keystream_hex(ChaCha12Rng(zero), 64),
              "9bf49a6a0755f953811fce125f2683d50429c3bb49e074147e0089a52eae155f"
              "0564f879d27ae3c02ce82834acfa8c793a629f2ca0de6919610be82f411326be");
    EXPECT_EQ(keystream_hex(ChaChaRng<20>(zero), 128),
              "76b8e0ada0f13d90405d6ae55386bd28bdd219b8a08ded1aa836efcc8b770dc7"
              "da41597c5157488d7724e03fb8d84a376a43b8f41518a11cc387b669b2ee6586"
              "9f07e7be5551387a98ba977c732d080dcb0f29a048e3656912c6533e32ee7aed"
              "29b721769ce64e43d57133b074d839d531ed1f28510afb45ace10a1f4b794d6f");
}

// The generator numbers its blocks from 0 with the counter in words 12-13 and
// stream 0 in words 14-15.
TEST(ChaCha, GeneratorBlocksFollowTheCounter) {
    ChaChaKey key = key_0_to_31();
    ChaChaState state = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
    std::memcpy(&state[4], key.data(), 32);
    ChaCha12Rng rng(key);
    for (uint32_t block = 0; block < 3; ++block) {
        state[12] = block;
        ChaChaState got;
        for (uint32_t& w : got) w = rng.next_u32();
        EXPECT_EQ(block_hex(got), block_hex(chacha_block<12>(state))) << block;
    }
}

// Wider outputs are consecutive words, low first, also across a block edge;
// bytes are little-endian and a partial last word is used up.
TEST(ChaCha, WideOutputsTakeConsecutiveWords) {
    const ChaChaKey key = key_0_to_31();
    for (int skip : {0, 1, 14, 15, 13}) {
        ChaCha12Rng words(key), wide(key);
        for (int i = 0; i < skip; ++i) {
            words.next_u32();
            wide.next_u32();
        }
        uint32_t w[7];
        for (uint32_t& x : w) x = words.next_u32();
        EXPECT_EQ(wide.next_u64(), w[0] | uint64_t{w[1]} << 32) << skip;
        u128 want128 = w[2] | uint64_t{w[3]} << 32;
        want128 |= u128{w[4] | uint64_t{w[5]} << 32} << 64;
        EXPECT_TRUE(wide.next_u128() == want128) << skip;
        uint8_t three[3];
        wide.fill_bytes(three);
        EXPECT_EQ(three[0], static_cast<uint8_t>(w[6]));
        EXPECT_EQ(three[2], static_cast<uint8_t>(w[6] >> 16));
        EXPECT_EQ(wide.next_u32(), words.next_u32()) << skip;
    }
}

// First word by hand: state = 0 * MUL + INC = 0xa17654e46fbe17f3;
// (state >> 18) ^ state = 0xa1767cb9fa870c1c, >> 27 = 0x142ecf973f, truncated
// to 0x2ecf973f; rot = state >> 59 = 20; rotr(0x2ecf973f, 20) = 0xf973f2ec,
// written as ec f2 73 f9. The other words come from an independent
// computation of the same recurrence.
TEST(SeedExpansion, Pcg32WordsFormTheKey) {
    const ChaChaKey want = {0xec, 0xf2, 0x73, 0xf9, 0x81, 0xb5, 0xcd, 0x45, 0x87, 0xf0, 0x46,
                            0x73, 0x06, 0xad, 0x6c, 0xad, 0xd0, 0xd0, 0xa3, 0xe3, 0x33, 0x17,
                            0xe7, 0x67, 0xf2, 0x9b, 0xea, 0x72, 0xd7, 0x8a, 0x7d, 0xfe};
    EXPECT_EQ(key_from_seed_u64(0), want);
    EXPECT_NE(key_from_seed_u64(1), key_from_seed_u64(0));

    ChaCha12Rng seeded = ChaCha12Rng::from_seed_u64(42), keyed(key_from_seed_u64(42));
    for (int i = 0; i < 20; ++i) EXPECT_EQ(seeded.next_u64(), keyed.next_u64());
}

TEST(Entropy, GeneratorsDifferAndThreadsHaveTheirOwn) {
    ChaCha12Rng a = ChaCha12Rng::from_entropy(), b = ChaCha12Rng::from_entropy();
    EXPECT_NE(a.next_u64(), b.next_u64());

    ThreadRng* main_rng = &thread_rng();
    EXPECT_EQ(main_rng, &thread_rng());
    ThreadRng* other_rng = nullptr;
    uint64_t other_draw = 0;
    std::thread t([&] {
        other_rng = &thread_rng();
        other_draw = thread_rng().next_u64();
    });
    t.join();
    EXPECT_NE(other_rng, main_rng);
    EXPECT_NE(other_draw, main_rng->next_u64());
}

// Drawing well past several reseeds keeps working and the output does not
// settle into a constant.
TEST(Entropy, ThreadGeneratorOutlastsReseeds) {
    ThreadRng& rng = thread_rng();
    std::vector<uint8_t> chunk(1000);
    uint64_t ors = 0, ands = ~uint64_t{0};
    for (uint64_t drawn = 0; drawn < 4 * ThreadRng::RESEED_BYTES; drawn += chunk.size()) {
        rng.fill_bytes(chunk);
        uint64_t v = rng.next_u64();
        ors |= v;
        ands &= v;
    }
    EXPECT_EQ(ors, ~uint64_t{0});
    EXPECT_EQ(ands, 0u);
}

}  // namespace
}  // namespace vesk
