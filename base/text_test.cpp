#include "base/text.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "base/contract.hpp"

namespace vesk {
namespace {

struct Point {
    int64_t x;
    std::optional<uint64_t> y;
};
void debug(std::string& out, const Point& p) { DebugStruct(out, "Point").field("x", p.x).field("y", p.y).finish(); }

struct Unit {};
void debug(std::string& out, const Unit&) { DebugStruct(out, "Unit").finish(); }

struct Pair {
    int a;
    std::string b;
};
void debug(std::string& out, const Pair& p) { DebugTuple(out, "Pair").field(p.a).field(p.b).finish(); }

TEST(TextForms, RecordsTuplesAndContainers) {
    EXPECT_EQ(to_debug(Point{-3, std::nullopt}), "Point { x: -3, y: None }");
    EXPECT_EQ(to_debug(Point{4, 7}), "Point { x: 4, y: Some(7) }");
    EXPECT_EQ(to_debug(Unit{}), "Unit");
    EXPECT_EQ(to_debug(Pair{1, "q"}), "Pair(1, \"q\")");
    EXPECT_EQ(to_debug(std::vector<Point>{{1, 2}, {3, std::nullopt}}),
              "[Point { x: 1, y: Some(2) }, Point { x: 3, y: None }]");
    EXPECT_EQ(to_debug(std::vector<int>{}), "[]");
    EXPECT_EQ(to_debug(true), "true");
    EXPECT_EQ(to_debug(std::make_unique<Point>(Point{0, 0})), "Point { x: 0, y: Some(0) }");
}

TEST(TextForms, QuotedTextEscapes) {
    const std::pair<std::string, std::string> cases[] = {
        {"plain", "\"plain\""},
        {"say \"hi\"", "\"say \\\"hi\\\"\""},
        {"back\\slash", "\"back\\\\slash\""},
        {"a\nb\tc\rd", "\"a\\nb\\tc\\rd\""},
        {std::string("nul\0x", 5), "\"nul\\0x\""},
        {"\x01\x7f", "\"\\u{1}\\u{7f}\""},
        {"it's", "\"it's\""},
        {"em \xe2\x80\x94 dash", "\"em \xe2\x80\x94 dash\""},
    };
    for (const auto& [in, want] : cases) EXPECT_EQ(to_debug(in), want) << in;
}

// UTF-8 of one code point.
std::string utf8(uint32_t cp) {
    std::string s;
    if (cp < 0x80) {
        s += static_cast<char>(cp);
    } else if (cp < 0x800) {
        s += static_cast<char>(0xc0 | (cp >> 6));
        s += static_cast<char>(0x80 | (cp & 0x3f));
    } else if (cp < 0x10000) {
        s += static_cast<char>(0xe0 | (cp >> 12));
        s += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
        s += static_cast<char>(0x80 | (cp & 0x3f));
    } else {
        s += static_cast<char>(0xf0 | (cp >> 18));
        s += static_cast<char>(0x80 | ((cp >> 12) & 0x3f));
        s += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
        s += static_cast<char>(0x80 | (cp & 0x3f));
    }
    return s;
}

TEST(TextForms, ControlCharactersEscapedForTheTerminal) {
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},
        {"plain text, \"quotes\" and a back\\slash \\n", "plain text, \"quotes\" and a back\\slash \\n"},
        {"\xc3\xa9 \xe2\x80\x94 \xf0\x9f\x98\x80 \xc2\xa0", "\xc3\xa9 \xe2\x80\x94 \xf0\x9f\x98\x80 \xc2\xa0"},
        {"a\tb\nc\rd", "a\\tb\\nc\\rd"},
        {std::string("\0\x01\x07\x08\x0b\x0c\x1b\x1f", 8), "\\x00\\x01\\x07\\x08\\x0b\\x0c\\x1b\\x1f"},
        {"\x1b[2J\x7f~ ", "\\x1b[2J\\x7f~ "},
        // C1 controls, the 8-bit CSI among them, and the bidirectional
        // controls, as code points.
        {"x\xc2\x9b" "2J\xe2\x80\xae" "abc", "x\\u{9b}2J\\u{202e}abc"},
        {"\xc2\x80\xc2\x9f\xe2\x80\xaa\xe2\x80\xac\xe2\x81\xa6\xe2\x81\xa9",
         "\\u{80}\\u{9f}\\u{202a}\\u{202c}\\u{2066}\\u{2069}"},
        // Their neighbours stand as they are.
        {"\xe2\x80\xa9\xe2\x80\xaf\xe2\x81\xa5\xe2\x81\xaa", "\xe2\x80\xa9\xe2\x80\xaf\xe2\x81\xa5\xe2\x81\xaa"},
        // Bytes outside UTF-8: those a byte-wide terminal reads as C1 are
        // escaped, the rest stand; a broken sequence is read byte by byte.
        {"\x9b" "31m \x80 \xe9t\xe9 \xff", "\\x9b31m \\x80 \xe9t\xe9 \xff"},
        {"\xe2\x80", "\xe2\\x80"},
    };
    for (const auto& [in, want] : cases) EXPECT_EQ(escape_controls(in), want) << to_debug(in);
    // Every byte below 0x20 and DEL is escaped, and those from 0x80 to 0x9F
    // alone, and nothing else.
    for (int b = 0; b < 256; ++b) {
        const std::string shown = escape_controls(std::string(1, static_cast<char>(b)));
        EXPECT_EQ(shown.size() == 1, (b >= 0x20 && b != 0x7f && b < 0x80) || b >= 0xa0) << b;
        for (char c : shown) EXPECT_TRUE(static_cast<unsigned char>(c) >= 0x20 && c != 0x7f) << b;
    }
    // Every code point: escaped exactly when it is a control, and escaping
    // the result again changes nothing.
    for (uint32_t cp = 0; cp <= 0x10ffff; ++cp) {
        if (cp >= 0xd800 && cp <= 0xdfff) continue;
        const bool control = cp < 0x20 || (cp >= 0x7f && cp <= 0x9f) || (cp >= 0x202a && cp <= 0x202e) ||
                             (cp >= 0x2066 && cp <= 0x2069);
        const std::string in = utf8(cp);
        const std::string shown = escape_controls(in);
        ASSERT_EQ(shown != in, control) << cp;
        ASSERT_EQ(escape_controls(shown), shown) << cp;
    }
}

TEST(TextForms, LongQuotedTextsAreCutWithAMark) {
    const std::string hundred(100, 'a');
    EXPECT_EQ(format("[{}]", shortened("")), "[]");
    EXPECT_EQ(format("[{}]", shortened(hundred)), "[" + hundred + "]");
    EXPECT_EQ(format("[{:?}]", shortened("say \"hi\"")), "[\"say \\\"hi\\\"\"]");
    EXPECT_EQ(format("[{}]", shortened(hundred + "b")), "[" + hundred + "... [cut: 101 bytes in all]]");
    const std::string big(14'000'000, 'x');
    EXPECT_EQ(format("{:?}", shortened(big)), "\"" + std::string(100, 'x') + "\"... [cut: 14000000 bytes in all]");
    // The cut never splits a character: 99 bytes, then a three-byte one.
    const std::string dash = std::string(99, 'a') + "\xe2\x80\x94" + "tail";
    EXPECT_EQ(shortened(dash).kept, std::string(99, 'a'));
    EXPECT_EQ(shortened(std::string(98, 'a') + "\xc3\xa9" + "tail").kept, std::string(98, 'a') + "\xc3\xa9");
}

TEST(TextForms, Integers128) {
    EXPECT_EQ(to_debug(u128{0}), "0");
    EXPECT_EQ(to_debug(U128_MAX), "340282366920938463463374607431768211455");
    EXPECT_EQ(to_debug(int64_t{INT64_MIN}), "-9223372036854775808");
}

TEST(TextForms, Floats) {
    const std::pair<float, const char*> cases[] = {
        {2.0f, "2.0"},     {0.0005f, "0.0005"}, {120.0f, "120.0"},  {0.1f, "0.1"},
        {5e-5f, "5e-5"},   {1e16f, "1e16"},     {1.5e17f, "1.5e17"}, {-2.5e-7f, "-2.5e-7"},
        {0.0001f, "0.0001"}, {9.999e15f, "9999000000000000.0"}, {0.0f, "0.0"}, {-0.0f, "-0.0"},
        {std::numeric_limits<float>::infinity(), "inf"}, {-std::numeric_limits<float>::infinity(), "-inf"},
        {std::numeric_limits<float>::quiet_NaN(), "NaN"}, {16777216.0f, "16777216.0"}, {0.3f, "0.3"},
    };
    for (const auto& [v, want] : cases) EXPECT_EQ(to_debug(v), want) << want;
    EXPECT_EQ(to_debug(0.1), "0.1");
    EXPECT_EQ(to_debug(1e-7), "1e-7");
}

TEST(TextForms, FormatPatterns) {
    EXPECT_EQ(format("slot {} of {:?}", 5, std::string("x")), "slot 5 of \"x\"");
    EXPECT_EQ(format("{{literal}} {}", "t"), "{literal} t");
    EXPECT_EQ(format("none"), "none");
    EXPECT_THROW(format("{} {}", 1), ContractFailure);
}

TEST(FixedDecimals, RoundsTheExactValueTiesToEven) {
    struct Case {
        double v;
        int places;
        const char* want;
    };
    const Case cases[] = {
        {2.0, 1, "2.0"},      {0.25, 1, "0.2"},       {0.75, 1, "0.8"},         {0.125, 2, "0.12"},
        {0.0005, 3, "0.001"}, {0.1f, 3, "0.100"},     {-0.0, 1, "-0.0"},        {-0.01, 1, "-0.0"},
        {1e20, 1, "100000000000000000000.0"},         {NAN, 2, "NaN"},          {-NAN, 2, "NaN"},
        {INFINITY, 1, "inf"}, {-INFINITY, 3, "-inf"}, {1234.5678, 2, "1234.57"},
    };
    for (const Case& c : cases) EXPECT_EQ(fixed_decimals(c.v, c.places), c.want) << c.v;
}

}  // namespace
}  // namespace vesk

namespace vesk {
namespace {

TEST(Utf8, StrictChecks) {
    struct Case {
        std::string text;
        bool ok;
    };
    const Case cases[] = {
        {"", true},
        {"plain ascii", true},
        {"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", true},  // é € and an emoji
        {"\xf4\x8f\xbf\xbf", true},                      // U+10FFFF
        {"\xff", false},
        {"\xc0\xaf", false},          // overlong '/'
        {"\xe0\x80\xaf", false},      // overlong, three bytes
        {"\xed\xa0\x80", false},      // a surrogate
        {"\xf4\x90\x80\x80", false},  // above U+10FFFF
        {"\xc3", false},              // cut short
        {"a\x80z", false},            // a lone continuation byte
    };
    for (const Case& c : cases) EXPECT_EQ(is_utf8(c.text), c.ok) << to_debug(c.text);
}

}  // namespace
}  // namespace vesk
