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

std::string escape_controls(std::string_view s) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    out.reserve(s.size());
    for (char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        if (c >= 0x20 && c != 0x7f) {
            out += ch;
            continue;
        }
        out += '\\';
        switch (c) {
            case '\t': out += 't'; break;
            case '\n': out += 'n'; break;
            case '\r': out += 'r'; break;
            default:
                out += 'x';
                out += digits[c >> 4];
                out += digits[c & 0xf];
        }
    }
    return out;
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
