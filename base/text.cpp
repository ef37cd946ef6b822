#include "base/text.hpp"

#include <charconv>
#include <cmath>

#include "base/contract.hpp"

namespace vesk {

namespace {

void append_unicode_escape(std::string& out, uint32_t cp) {
    static const char* digits = "0123456789abcdef";
    out += "\\u{";
    bool started = false;
    for (int shift = 20; shift >= 0; shift -= 4) {
        unsigned d = (cp >> shift) & 0xf;
        if (d != 0 || started || shift == 0) {
            out += digits[d];
            started = true;
        }
    }
    out += '}';
}

// Decodes one UTF-8 sequence at s[i]; gives the code point and its length, or
// length 0 for an invalid sequence.
std::pair<uint32_t, size_t> decode_utf8(std::string_view s, size_t i) {
    auto b = [&](size_t k) { return static_cast<uint8_t>(s[k]); };
    uint8_t c = b(i);
    size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (len == 0 || i + len > s.size()) return {0, 0};
    if (len == 1) return {c, 1};
    uint32_t cp = c & (0x7f >> len);
    for (size_t k = 1; k < len; ++k) {
        if ((b(i + k) & 0xc0) != 0x80) return {0, 0};
        cp = (cp << 6) | (b(i + k) & 0x3f);
    }
    static const uint32_t min_for_len[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < min_for_len[len] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return {0, 0};
    return {cp, len};
}

}  // namespace

bool is_utf8(std::string_view s) {
    for (size_t i = 0; i < s.size();) {
        size_t len = decode_utf8(s, i).second;
        if (len == 0) return false;
        i += len;
    }
    return true;
}

namespace {

// Code points a terminal may obey or that reorder what a reader sees: the C1
// controls (U+009B is the 8-bit CSI) and the bidirectional embeddings,
// overrides and isolates.
bool is_terminal_control(uint32_t cp) {
    return (cp >= 0x80 && cp <= 0x9f) || (cp >= 0x202a && cp <= 0x202e) || (cp >= 0x2066 && cp <= 0x2069);
}

void append_byte_escape(std::string& out, unsigned char c) {
    static const char* digits = "0123456789abcdef";
    out += "\\x";
    out += digits[c >> 4];
    out += digits[c & 0xf];
}

// Appends s[i]'s escaped form; the number of bytes it took.
size_t append_escaped_at(std::string& out, std::string_view s, size_t i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
        switch (c) {
            case '\t': out += "\\t"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            default:
                if (c < 0x20 || c == 0x7f) {
                    append_byte_escape(out, c);
                } else {
                    out += static_cast<char>(c);
                }
        }
        return 1;
    }
    auto [cp, len] = decode_utf8(s, i);
    if (len == 0) {
        // A byte outside UTF-8 from 0x80 to 0x9F is a C1 control to a
        // terminal that reads bytes as one character each.
        if (c <= 0x9f) {
            append_byte_escape(out, c);
        } else {
            out += static_cast<char>(c);
        }
        return 1;
    }
    if (is_terminal_control(cp)) {
        append_unicode_escape(out, cp);
    } else {
        out.append(s.substr(i, len));
    }
    return len;
}

void append_cut_mark(std::string& out, const Shortened& s) {
    if (s.kept.size() == s.total) return;
    out += "... [cut: ";
    out += std::to_string(s.total);
    out += " bytes in all]";
}

}  // namespace

std::string escape_controls(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) i += append_escaped_at(out, s, i);
    return out;
}

Shortened shortened(std::string_view s) {
    if (s.size() <= QUOTED_TEXT_LIMIT) return {s, s.size()};
    size_t end = QUOTED_TEXT_LIMIT;
    // Back to the start of a character, so the kept part stays UTF-8.
    for (int k = 0; k < 3 && end > 0 && (static_cast<unsigned char>(s[end]) & 0xc0) == 0x80; ++k) --end;
    return {s.substr(0, end), s.size()};
}

void display(std::string& out, const Shortened& s) {
    out += s.kept;
    append_cut_mark(out, s);
}

void debug(std::string& out, const Shortened& s) {
    debug(out, s.kept);
    append_cut_mark(out, s);
}

void debug(std::string& out, std::string_view s) {
    out += '"';
    for (size_t i = 0; i < s.size();) {
        auto [cp, len] = decode_utf8(s, i);
        if (len == 0) {
            // Not UTF-8: show the byte as a replacement character.
            out += "\xef\xbf\xbd";
            ++i;
            continue;
        }
        switch (cp) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case 0: out += "\\0"; break;
            default:
                if (cp < 0x20 || cp == 0x7f || (cp >= 0x80 && cp < 0xa0)) {
                    append_unicode_escape(out, cp);
                } else {
                    out.append(s.substr(i, len));
                }
        }
        i += len;
    }
    out += '"';
}

namespace {

template <class F>
void append_float_impl(std::string& out, F v) {
    if (std::isnan(v)) {
        out += "NaN";
        return;
    }
    if (std::isinf(v)) {
        out += v < 0 ? "-inf" : "inf";
        return;
    }
    if (v == 0) {
        out += std::signbit(v) ? "-0.0" : "0.0";
        return;
    }
    // Shortest round-trip digits, then laid out by hand: "d.ddde[-]x".
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    std::string_view text(buf, static_cast<size_t>(r.ptr - buf));
    if (text.front() == '-') {
        out += '-';
        text.remove_prefix(1);
    }
    size_t e = text.find('e');
    std::string digits;
    for (char c : text.substr(0, e)) {
        if (c != '.') digits += c;
    }
    int exp = 0;
    std::from_chars(text.data() + e + 1 + (text[e + 1] == '+' ? 1 : 0), text.data() + text.size(), exp);
    F mag = std::fabs(v);
    if (mag < F(1e-4) || mag >= F(1e16)) {
        out += digits[0];
        if (digits.size() > 1) {
            out += '.';
            out.append(digits, 1);
        }
        out += 'e';
        out += std::to_string(exp);
        return;
    }
    if (exp >= 0) {
        size_t int_len = static_cast<size_t>(exp) + 1;
        if (digits.size() <= int_len) {
            out += digits;
            out.append(int_len - digits.size(), '0');
            out += ".0";
        } else {
            out.append(digits, 0, int_len);
            out += '.';
            out.append(digits, int_len);
        }
    } else {
        out += "0.";
        out.append(static_cast<size_t>(-exp - 1), '0');
        out += digits;
    }
}

}  // namespace

void append_float(std::string& out, float v) { append_float_impl(out, v); }
void append_float(std::string& out, double v) { append_float_impl(out, v); }

std::string fixed_decimals(double v, int places) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
    // Room for the 309 integer digits of the largest double and the decimals.
    char buf[400];
    auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, places);
    contract_check(r.ec == std::errc(), "fixed-point text fits");
    return std::string(buf, r.ptr);
}

void append_hex(std::string& out, std::span<const uint8_t> bytes) {
    static const char* digits = "0123456789abcdef";
    for (uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 0xf];
    }
}

void format_missing_form(std::string_view which) {
    contract_fail("format argument has no " + std::string(which) + " form");
}

void format_into(std::string& out, std::string_view pattern, std::span<const FormatArg> args) {
    size_t next = 0;
    for (size_t i = 0; i < pattern.size(); ++i) {
        char c = pattern[i];
        if (c == '{' && i + 1 < pattern.size() && pattern[i + 1] == '{') {
            out += '{';
            ++i;
        } else if (c == '}' && i + 1 < pattern.size() && pattern[i + 1] == '}') {
            out += '}';
            ++i;
        } else if (c == '{') {
            size_t close = pattern.find('}', i);
            contract_check(close != std::string_view::npos, "unterminated format placeholder");
            std::string_view spec = pattern.substr(i + 1, close - i - 1);
            contract_check(next < args.size(), "format placeholder without argument");
            const FormatArg& a = args[next++];
            if (spec.empty()) {
                a.display(out, a.value);
            } else if (spec == ":?") {
                a.debug(out, a.value);
            } else {
                contract_fail("unsupported format placeholder {" + std::string(spec) + "}");
            }
            i = close;
        } else {
            out += c;
        }
    }
}

}  // namespace vesk
