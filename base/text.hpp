#pragma once
// Text forms shared by every type. A type gets a debug form by an overload
//     void debug(std::string& out, const T& value);
// and, where it has one, a display form by
//     void display(std::string& out, const T& value);
// both in namespace vesk (found by argument-dependent lookup). Records use
// DebugStruct / DebugTuple so every line is assembled the same way.
#include <charconv>
#include <concepts>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/saturating.hpp"

namespace vesk {

// ---- primitives ----
inline void debug(std::string& out, bool v) { out += v ? "true" : "false"; }
inline void display(std::string& out, bool v) { debug(out, v); }

template <std::integral I>
    requires(!std::same_as<I, bool> && !std::same_as<I, char>)
void debug(std::string& out, I v) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, r.ptr);
}
template <std::integral I>
    requires(!std::same_as<I, bool> && !std::same_as<I, char>)
void display(std::string& out, I v) {
    debug(out, v);
}

inline void debug(std::string& out, u128 v) { append_decimal(out, v); }

// Floats print as the shortest text that reads back as the same value, always
// with a fractional part ("2.0", "0.0005"); magnitudes below 1e-4 or from 1e16
// on in exponent form ("5e-5", "1e16"); "inf", "-inf", "NaN", "-0.0".
void append_float(std::string& out, float v);
void append_float(std::string& out, double v);
inline void debug(std::string& out, float v) { append_float(out, v); }
inline void debug(std::string& out, double v) { append_float(out, v); }
inline void display(std::string& out, float v) { append_float(out, v); }
inline void display(std::string& out, double v) { append_float(out, v); }
inline void display(std::string& out, u128 v) { append_decimal(out, v); }

// `v` with exactly `places` decimals, rounded to nearest with ties to even
// on its exact value, as printf does; "NaN", "inf" and "-inf" for the others.
std::string fixed_decimals(double v, int places);

// A quoted text with the escapes of a debug form.
void debug(std::string& out, std::string_view s);

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool is_utf8(std::string_view s);

// A user's text as it may be shown on a terminal: each control character
// (U+0000 to U+001F and U+007F) as an escape, "\t", "\n" and "\r" by name
// and the others as "\x" and two lowercase hexadecimal digits; the C1
// controls (U+0080 to U+009F) and the bidirectional controls (U+202A to
// U+202E, U+2066 to U+2069) as "\u{9b}" and the like, and a byte outside
// UTF-8 from 0x80 to 0x9F as "\x9b". Everything else stands as it is, a
// backslash too, so text without such characters is unchanged, the result
// never holds one, and escaping twice changes nothing.
std::string escape_controls(std::string_view s);

// A user's text as an error line quotes it: whole up to QUOTED_TEXT_LIMIT
// bytes, else its first characters within the limit and a mark that tells
// how long it was, so that a whole file read as one value cannot make a line
// of megabytes. The display form is the kept text and the mark; the debug
// form quotes the kept text and puts the mark after the quote.
inline constexpr size_t QUOTED_TEXT_LIMIT = 100;
struct Shortened {
    std::string_view kept;
    size_t total = 0;  // the whole text's length in bytes
};
Shortened shortened(std::string_view s);
void display(std::string& out, const Shortened& s);
void debug(std::string& out, const Shortened& s);

inline void debug(std::string& out, const std::string& s) { debug(out, std::string_view(s)); }
inline void debug(std::string& out, const char* s) { debug(out, std::string_view(s)); }
inline void display(std::string& out, std::string_view s) { out += s; }
inline void display(std::string& out, const std::string& s) { out += s; }
inline void display(std::string& out, const char* s) { out += s; }

// Lowercase hexadecimal of bytes.
void append_hex(std::string& out, std::span<const uint8_t> bytes);

// ---- generic containers ----
template <class T>
void debug(std::string& out, const std::optional<T>& v);
template <class T>
void debug(std::string& out, const std::vector<T>& v);
template <class T>
void debug(std::string& out, const std::unique_ptr<T>& v);
template <class T>
void debug(std::string& out, const std::shared_ptr<T>& v);

template <class It>
void debug_list(std::string& out, It first, It last) {
    out += '[';
    for (It it = first; it != last; ++it) {
        if (it != first) out += ", ";
        debug(out, *it);
    }
    out += ']';
}

template <class T>
void debug(std::string& out, const std::vector<T>& v) {
    debug_list(out, v.begin(), v.end());
}
template <class T>
void debug(std::string& out, const std::optional<T>& v) {
    if (!v) {
        out += "None";
        return;
    }
    out += "Some(";
    debug(out, *v);
    out += ')';
}
// An owned or shared allocation prints as what it holds.
template <class T>
void debug(std::string& out, const std::unique_ptr<T>& v) {
    debug(out, *v);
}
template <class T>
void debug(std::string& out, const std::shared_ptr<T>& v) {
    debug(out, *v);
}

// ---- records ----
// "Name { a: 1, b: 2 }", or the bare name when there are no fields.
class DebugStruct {
public:
    DebugStruct(std::string& out, std::string_view name) : out_(out) { out_ += name; }
    template <class T>
    DebugStruct& field(std::string_view name, const T& value) {
        out_ += first_ ? " { " : ", ";
        first_ = false;
        out_ += name;
        out_ += ": ";
        debug(out_, value);
        return *this;
    }
    void finish() {
        if (!first_) out_ += " }";
    }

private:
    std::string& out_;
    bool first_ = true;
};

// "Name(a, b)", or the bare name when there are no fields.
class DebugTuple {
public:
    DebugTuple(std::string& out, std::string_view name) : out_(out) { out_ += name; }
    template <class T>
    DebugTuple& field(const T& value) {
        out_ += first_ ? "(" : ", ";
        first_ = false;
        debug(out_, value);
        return *this;
    }
    void finish() {
        if (!first_) out_ += ')';
    }

private:
    std::string& out_;
    bool first_ = true;
};

// "Name {\n    a: 1,\n    b: 2,\n}", or the bare name when there are no
// fields; a value spanning lines is indented with its field.
class PrettyDebugStruct {
public:
    PrettyDebugStruct(std::string& out, std::string_view name) : out_(out) { out_ += name; }
    template <class T>
    PrettyDebugStruct& field(std::string_view name, const T& value) {
        if (first_) out_ += " {\n";
        first_ = false;
        std::string text;
        debug(text, value);
        out_ += "    ";
        out_ += name;
        out_ += ": ";
        for (char c : text) {
            out_ += c;
            if (c == '\n') out_ += "    ";
        }
        out_ += ",\n";
        return *this;
    }
    void finish() {
        if (!first_) out_ += '}';
    }

private:
    std::string& out_;
    bool first_ = true;
};

template <class T>
std::string to_debug(const T& v) {
    std::string s;
    debug(s, v);
    return s;
}
template <class T>
std::string to_display(const T& v) {
    std::string s;
    display(s, v);
    return s;
}

// ---- message patterns ----
// format("a {} b {:?}", x, y): "{}" takes the display form, "{:?}" the debug
// form, "{{" and "}}" are literal braces.
struct FormatArg {
    const void* value;
    void (*display)(std::string&, const void*);
    void (*debug)(std::string&, const void*);
};

[[noreturn]] void format_missing_form(std::string_view which);

template <class T>
FormatArg make_format_arg(const T& v) {
    return FormatArg{&v,
                     [](std::string& o, const void* p) {
                         const T& x = *static_cast<const T*>(p);
                         if constexpr (requires { display(o, x); }) {
                             display(o, x);
                         } else {
                             format_missing_form("display");
                         }
                     },
                     [](std::string& o, const void* p) {
                         const T& x = *static_cast<const T*>(p);
                         if constexpr (requires { debug(o, x); }) {
                             debug(o, x);
                         } else {
                             format_missing_form("debug");
                         }
                     }};
}

void format_into(std::string& out, std::string_view pattern, std::span<const FormatArg> args);

template <class... A>
std::string format(std::string_view pattern, const A&... args) {
    std::string out;
    if constexpr (sizeof...(A) == 0) {
        format_into(out, pattern, {});
    } else {
        const FormatArg list[] = {make_format_arg(args)...};
        format_into(out, pattern, list);
    }
    return out;
}

}  // namespace vesk
