#include "sim/logging.hpp"

#include <charconv>
#include <cstdint>
#include <string_view>

namespace vesk {

namespace {

void append_padded(std::string& out, uint64_t v, size_t width) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    for (size_t n = static_cast<size_t>(r.ptr - buf); n < width; ++n) out += '0';
    out.append(buf, r.ptr);
}

constexpr std::string_view DIM = "\x1b[2m";
constexpr std::string_view RESET = "\x1b[0m";
constexpr std::string_view CYAN = "\x1b[36m";

}  // namespace

void append_log_time(std::string& out, Timestamp t) {
    const uint64_t ns = t.nanos;
    append_padded(out, (ns / 3'600'000'000'000) % 24, 2);
    out += ':';
    append_padded(out, (ns / 60'000'000'000) % 60, 2);
    out += ':';
    append_padded(out, (ns / 1'000'000'000) % 60, 2);
    out += '.';
    append_padded(out, (ns % 1'000'000'000) / 1'000'000, 3);
    out += '.';
    append_padded(out, (ns % 1'000'000) / 1'000, 3);
    out += '.';
    append_padded(out, ns % 1'000, 3);
}

std::string log_time_text(Timestamp t) {
    std::string s;
    append_log_time(s, t);
    return s;
}

namespace logging_detail {

void append_line_prefix(std::string& out, Timestamp t) {
    out += DIM;
    append_log_time(out, t);
    out += RESET;
    out += ' ';
}

void append_source_open(std::string& out) {
    out += CYAN;
    out += "[src ";
}

void append_source_close(std::string& out) {
    out += ']';
    out += RESET;
    out += ' ';
}

}  // namespace logging_detail

std::string lost_records_line(size_t count) {
    return "Log records not printed because standard output fell behind: " + std::to_string(count) + '\n';
}

}  // namespace vesk
