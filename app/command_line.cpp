#include "app/command_line.hpp"

#include <cmath>
#include <cstdlib>
#include <vector>

#include "base/text.hpp"
#include "sim/imperfect_channels.hpp"

namespace vesk {

namespace {

std::vector<std::string_view> preset_names() {
    std::vector<std::string_view> out;
    for (const ChannelPreset& p : CHANNEL_PRESETS) out.push_back(p.name);
    return out;
}

bool ascii_equal_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] - 'A' + 'a') : a[i];
        if (x != b[i]) return false;
    }
    return true;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Digits, an optional fraction, an optional exponent; at least one digit
// before the exponent.
bool is_decimal_float(std::string_view s) {
    size_t i = 0;
    size_t digits = 0;
    while (i < s.size() && is_digit(s[i])) ++i, ++digits;
    if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && is_digit(s[i])) ++i, ++digits;
    }
    if (digits == 0) return false;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
        size_t exp_digits = 0;
        while (i < s.size() && is_digit(s[i])) ++i, ++exp_digits;
        if (exp_digits == 0) return false;
    }
    return i == s.size();
}

ArgError not_text(size_t position) { return ArgError{format("Argument {} is not valid UTF-8", position)}; }
ArgError missing_value(std::string_view flag) { return ArgError{format("Missing value for {}", flag)}; }
ArgError invalid_value(std::string_view flag) { return ArgError{format("Invalid value for {}", flag)}; }
ArgError unrecognized(std::string_view arg) {
    return ArgError{format("Unrecognized option: {}", shortened(arg))};
}

// The float value following args[index] for `flag`, by the rules of
// parse_u64_arg.
std::variant<float, ArgError> parse_f32_arg(std::span<const std::string> args, size_t& index,
                                            std::string_view flag) {
    if (index + 1 >= args.size()) return missing_value(flag);
    std::optional<float> v = parse_f32_value(args[index + 1]);
    index += 2;
    if (!v) return invalid_value(flag);
    return *v;
}

// The text following args[index] for `flag`.
std::variant<std::string, ArgError> text_arg(std::span<const std::string> args, size_t& index,
                                             std::string_view flag) {
    if (index + 1 >= args.size()) return missing_value(flag);
    std::string v = args[index + 1];
    index += 2;
    return v;
}

}  // namespace

std::optional<uint64_t> parse_u64_value(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    uint64_t v = 0;
    for (char c : text) {
        if (!is_digit(c)) return std::nullopt;
        if (__builtin_mul_overflow(v, uint64_t{10}, &v) ||
            __builtin_add_overflow(v, static_cast<uint64_t>(c - '0'), &v)) {
            return std::nullopt;
        }
    }
    return v;
}

std::optional<float> parse_f32_value(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    float v;
    if (ascii_equal_ignoring_case(text, "inf") || ascii_equal_ignoring_case(text, "infinity")) {
        v = INFINITY;
    } else if (ascii_equal_ignoring_case(text, "nan")) {
        v = NAN;
    } else if (is_decimal_float(text)) {
        // strtof rounds correctly and gives infinity or zero out of range;
        // the C locale's decimal point is the only one in use.
        std::string s(text);
        v = std::strtof(s.c_str(), nullptr);
    } else {
        return std::nullopt;
    }
    return negative ? -v : v;
}

std::variant<uint64_t, ArgError> parse_u64_arg(std::span<const std::string> args, size_t& index,
                                               std::string_view flag) {
    if (index + 1 >= args.size()) return missing_value(flag);
    std::optional<uint64_t> v = parse_u64_value(args[index + 1]);
    index += 2;
    if (!v) return invalid_value(flag);
    return *v;
}

std::variant<RunSimRequest, HelpRequest, ArgError> parse_run_sim_args(std::span<const std::string> args,
                                                                      size_t first_position) {
    RunSimOptions o;
    // Each setter stores one parsed value; an error ends the reading.
    std::optional<ArgError> error;
    // The value after args[i], if there is one, is read next.
    auto value_is_text = [&](size_t i) {
        if (i + 1 < args.size() && !is_utf8(args[i + 1])) {
            error = not_text(first_position + i + 1);
            return false;
        }
        return true;
    };
    auto take_u64 = [&](size_t& i, std::string_view flag, std::optional<uint64_t>& field) {
        if (!value_is_text(i)) return;
        auto r = parse_u64_arg(args, i, flag);
        if (auto* e = std::get_if<ArgError>(&r)) {
            error = std::move(*e);
        } else {
            field = std::get<uint64_t>(r);
        }
    };
    auto take_f32 = [&](size_t& i, std::string_view flag, std::optional<float>& field) {
        if (!value_is_text(i)) return;
        auto r = parse_f32_arg(args, i, flag);
        if (auto* e = std::get_if<ArgError>(&r)) {
            error = std::move(*e);
        } else {
            field = std::get<float>(r);
        }
    };
    auto take_text = [&](size_t& i, std::string_view flag, std::optional<std::string>& field) {
        if (!value_is_text(i)) return;
        auto r = text_arg(args, i, flag);
        if (auto* e = std::get_if<ArgError>(&r)) {
            error = std::move(*e);
        } else {
            field = std::move(std::get<std::string>(r));
        }
    };

    size_t i = 0;
    while (i < args.size() && !error) {
        const std::string& a = args[i];
        if (!is_utf8(a)) return not_text(first_position + i);
        if (a == "-h" || a == "--help") return HelpRequest{};
        if (a == "--nodes" || a == "-n") {
            take_u64(i, "--nodes", o.nodes);
        } else if (a == "--rounds" || a == "-r") {
            take_u64(i, "--rounds", o.rounds);
        } else if (a == "--seed") {
            take_u64(i, "--seed", o.seed);
        } else if (a == "--tick-ms") {
            take_u64(i, "--tick-ms", o.tick_ms);
            // Nodes with a zero interval tick without pause and never read
            // their channels, so such a run only grows until the machine
            // runs out of memory.
            if (!error && o.tick_ms == uint64_t{0}) error = invalid_value("--tick-ms");
        } else if (a == "--sleep-ms") {
            take_u64(i, "--sleep-ms", o.sleep_ms);
        } else if (a == "--duration-secs") {
            take_u64(i, "--duration-secs", o.duration_secs);
        } else if (a == "--channel-preset") {
            take_text(i, "--channel-preset", o.channel_preset);
            if (!error && !ChannelConfig::from_preset_name(*o.channel_preset)) {
                error = ArgError{format("Unknown channel preset: {} (available: {:?})",
                                        shortened(*o.channel_preset), preset_names())};
            }
        } else if (a == "--channel-latency-base-ms") {
            take_f32(i, "--channel-latency-base-ms", o.latency_base);
        } else if (a == "--channel-jitter-log-mean") {
            take_f32(i, "--channel-jitter-log-mean", o.jitter_mean);
        } else if (a == "--channel-jitter-log-stddev") {
            take_f32(i, "--channel-jitter-log-stddev", o.jitter_stddev);
        } else if (a == "--channel-drop-prob") {
            take_f32(i, "--channel-drop-prob", o.drop_prob);
        } else if (a == "--script") {
            take_text(i, "--script", o.script);
        } else {
            return unrecognized(a);
        }
    }
    if (error) return std::move(*error);
    if (o.nodes && (*o.nodes < 1 || *o.nodes > MAX_NODES)) {
        return ArgError{format("--nodes must be between 1 and {}", MAX_NODES)};
    }
    RunSimRequest r;
    r.tick_ms = o.tick_ms.value_or(DEFAULT_TICK_MS);
    r.sleep_ms = o.sleep_ms.value_or(DEFAULT_SLEEP_MS);
    r.nodes = o.nodes.value_or(DEFAULT_NODES);
    r.options = std::move(o);
    return r;
}

std::variant<std::string, ArgError> parse_run_scenario_args(std::span<const std::string> args,
                                                            size_t first_position) {
    std::optional<std::string> name;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (!is_utf8(a)) return not_text(first_position + i);
        if (a == "-n" || a == "--name") {
            if (i + 1 >= args.size()) return missing_value("--name");
            if (!is_utf8(args[i + 1])) return not_text(first_position + i + 1);
            name = args[++i];
        } else if (!name && (a.empty() || a.front() != '-')) {
            name = a;
        } else {
            return unrecognized(a);
        }
    }
    if (!name) return ArgError{"run-scenario requires a scenario name"};
    return std::move(*name);
}

CommandLine parse_command_line(std::span<const std::string> args) {
    using C = CommandLine;
    if (args.size() < 2) return C{C::PerpetualRun{}};
    const std::string& command = args[1];
    if (!is_utf8(command)) return C{not_text(1)};
    if (command == "-h" || command == "--help") return C{C::Help{}};
    if (command == "tui") return C{C::Tui{}};
    if (command == "list-scenarios") return C{C::ListScenarios{}};
    std::span<const std::string> rest = args.subspan(2);
    if (command == "run-scenario") {
        auto parsed = parse_run_scenario_args(rest, 2);
        if (auto* e = std::get_if<ArgError>(&parsed)) return C{std::move(*e)};
        return C{C::RunScenario{std::move(std::get<std::string>(parsed))}};
    }
    if (command == "run-sim") {
        auto parsed = parse_run_sim_args(rest, 2);
        if (auto* e = std::get_if<ArgError>(&parsed)) return C{std::move(*e)};
        if (std::holds_alternative<HelpRequest>(parsed)) return C{C::Help{}};
        return C{C::RunSim{std::move(std::get<RunSimRequest>(parsed))}};
    }
    return C{C::UnknownCommand{command}};
}

}  // namespace vesk
