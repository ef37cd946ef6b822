#include "app/cli.hpp"

#include <cmath>
#include <cstdlib>

#include "adversarial/library.hpp"
#include "base/text.hpp"
#include "sim/imperfect_channels.hpp"

namespace vesk {

std::atomic<bool> RUNNING{true};

void sigint_handler(int) { RUNNING.exchange(false); }

namespace {

std::string preset_names_joined() {
    std::string out;
    for (const ChannelPreset& p : CHANNEL_PRESETS) {
        if (!out.empty()) out += ' ';
        out += p.name;
    }
    return out;
}

std::vector<std::string_view> preset_names() {
    std::vector<std::string_view> out;
    for (const ChannelPreset& p : CHANNEL_PRESETS) out.push_back(p.name);
    return out;
}

// One error line on standard error.
void print_error_line(const std::string& line) { print_stderr(line + '\n'); }

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

// Whether every argument is UTF-8 text; the position of the first that is
// not, otherwise none.
std::optional<size_t> first_non_utf8(std::span<const std::string> args) {
    for (size_t a = 0; a < args.size(); ++a) {
        const std::string& s = args[a];
        for (size_t i = 0; i < s.size();) {
            auto c = static_cast<uint8_t>(s[i]);
            size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
            if (len == 0 || i + len > s.size()) return a;
            uint32_t cp = c & (0x7f >> len);
            for (size_t k = 1; k < len; ++k) {
                auto b = static_cast<uint8_t>(s[i + k]);
                if ((b & 0xc0) != 0x80) return a;
                cp = (cp << 6) | (b & 0x3f);
            }
            static const uint32_t min_for_len[] = {0, 0, 0x80, 0x800, 0x10000};
            if (cp < min_for_len[len] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return a;
            i += len;
        }
    }
    return std::nullopt;
}

ArgError missing_value(std::string_view flag) { return ArgError{format("Missing value for {}", flag)}; }
ArgError invalid_value(std::string_view flag) { return ArgError{format("Invalid value for {}", flag)}; }
ArgError unrecognized(std::string_view arg) { return ArgError{format("Unrecognized option: {}", arg)}; }

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

int run_scenario_command(std::span<const std::string> rest) {
    auto parsed = parse_run_scenario_args(rest);
    if (auto* e = std::get_if<ArgError>(&parsed)) {
        print_error_line(e->message);
        return EXIT_USAGE;
    }
    const std::string& name = std::get<std::string>(parsed);
    for (const Scenario& s : library::all_scenarios()) {
        if (s.name != name) continue;
        print_stdout(format("Running scenario: {}\n", s.name));
        SimResult result = s.run();
        print_stdout(result.summary() + '\n');
        return EXIT_OK;
    }
    print_error_line(format("Scenario not found: {}", name));
    return EXIT_USAGE;
}

int run_sim_command(std::span<const std::string> rest) {
    auto parsed = parse_run_sim_args(rest);
    if (auto* e = std::get_if<ArgError>(&parsed)) {
        print_error_line(e->message);
        return EXIT_USAGE;
    }
    if (std::holds_alternative<HelpRequest>(parsed)) {
        print_help();
        return EXIT_OK;
    }
    const RunSimRequest& r = std::get<RunSimRequest>(parsed);
    return run_sim_with_nodes(r.options, r.tick_ms, r.sleep_ms, r.nodes);
}

}  // namespace

std::string usage_text() {
    return format(
        "vesk-sim\n"
        "\n"
        "USAGE:\n"
        "vesk-sim                              Run perpetual simulation (Ctrl+C to stop)\n"
        "vesk-sim list-scenarios               List available adversarial scenarios\n"
        "vesk-sim run-scenario <name>          Run a named adversarial scenario\n"
        "vesk-sim run-sim [options]            Run a long-lived threaded simulation\n"
        "vesk-sim tui [options]                Interactive TUI simulator (--features tui)\n"
        "\n"
        "COMMANDS:\n"
        "list-scenarios\n"
        "run-scenario <name>\n"
        "--name, -n <name>                   Scenario name (alternative form)\n"
        "\n"
        "run-sim [options]\n"
        "--nodes, -n <N>                     Number of nodes (1-{}, default {})\n"
        "--rounds, -r <N>                    Sleep iterations before exit (optional)\n"
        "--seed <seed>                       Seed for deterministic keys (optional)\n"
        "--tick-ms <ms>                      Tick interval for nodes (default {})\n"
        "--sleep-ms <ms>                     Main-thread sleep interval (default {})\n"
        "--duration-secs <secs>              Run duration; omit for perpetual\n"
        "--channel-latency-base-ms <f32>     Base latency floor in ms (default {})\n"
        "--channel-jitter-log-mean <f32>     Log-normal jitter mean (default 0.0)\n"
        "--channel-jitter-log-stddev <f32>   Log-normal jitter stddev (default 0.0)\n"
        "--channel-drop-prob <f32>           Packet drop probability 0.0-1.0 (default 0.0)\n"
        "--channel-preset <name>             Use a preset as base config; presets available:\n"
        "{}\n"
        "--script <path>                     YAML script file for timed actions\n"
        "\n"
        "NOTES:\n"
        "If both --rounds and --duration-secs are provided, the simulation stops on\n"
        "whichever limit is reached first.\n"
        "\n",
        MAX_NODES, DEFAULT_NODES, DEFAULT_TICK_MS, DEFAULT_SLEEP_MS, fixed_decimals(ChannelConfig{}.latency_base_ms, 1),
        preset_names_joined());
}

void print_help() { print_stdout(usage_text()); }

std::string scenario_list_text() {
    std::string out = "Available scenarios:\n";
    for (const Scenario& s : library::all_scenarios()) {
        out += "  ";
        out += s.name;
        if (s.name.size() < 24) out.append(24 - s.name.size(), ' ');
        out += ' ';
        out += s.description;
        out += '\n';
    }
    return out;
}

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

std::variant<RunSimRequest, HelpRequest, ArgError> parse_run_sim_args(std::span<const std::string> args) {
    RunSimOptions o;
    // Each setter stores one parsed value; an error ends the reading.
    std::optional<ArgError> error;
    auto take_u64 = [&](size_t& i, std::string_view flag, std::optional<uint64_t>& field) {
        auto r = parse_u64_arg(args, i, flag);
        if (auto* e = std::get_if<ArgError>(&r)) {
            error = std::move(*e);
        } else {
            field = std::get<uint64_t>(r);
        }
    };
    auto take_f32 = [&](size_t& i, std::string_view flag, std::optional<float>& field) {
        auto r = parse_f32_arg(args, i, flag);
        if (auto* e = std::get_if<ArgError>(&r)) {
            error = std::move(*e);
        } else {
            field = std::get<float>(r);
        }
    };
    auto take_text = [&](size_t& i, std::string_view flag, std::optional<std::string>& field) {
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
        if (a == "-h" || a == "--help") return HelpRequest{};
        if (a == "--nodes" || a == "-n") {
            take_u64(i, "--nodes", o.nodes);
        } else if (a == "--rounds" || a == "-r") {
            take_u64(i, "--rounds", o.rounds);
        } else if (a == "--seed") {
            take_u64(i, "--seed", o.seed);
        } else if (a == "--tick-ms") {
            take_u64(i, "--tick-ms", o.tick_ms);
        } else if (a == "--sleep-ms") {
            take_u64(i, "--sleep-ms", o.sleep_ms);
        } else if (a == "--duration-secs") {
            take_u64(i, "--duration-secs", o.duration_secs);
        } else if (a == "--channel-preset") {
            take_text(i, "--channel-preset", o.channel_preset);
            if (!error && !ChannelConfig::from_preset_name(*o.channel_preset)) {
                error = ArgError{format("Unknown channel preset: {} (available: {:?})", *o.channel_preset,
                                        preset_names())};
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

std::variant<std::string, ArgError> parse_run_scenario_args(std::span<const std::string> args) {
    std::optional<std::string> name;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "-n" || a == "--name") {
            if (i + 1 >= args.size()) return missing_value("--name");
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

int cli_main(std::span<const std::string> args) {
    if (auto bad = first_non_utf8(args)) {
        print_error_line(format("Argument {} is not valid UTF-8", *bad));
        return EXIT_USAGE;
    }
    if (args.size() < 2) {
        print_stdout("Running perpetual simulation (Ctrl+C to stop)...\n");
        return run_sim_with_nodes(RunSimOptions{}, DEFAULT_TICK_MS, DEFAULT_SLEEP_MS, DEFAULT_NODES);
    }
    const std::string& command = args[1];
    std::span<const std::string> rest = args.subspan(2);
    if (command == "-h" || command == "--help") {
        print_help();
        return EXIT_OK;
    }
    if (command == "tui") {
        print_error_line("TUI support not compiled. Rebuild with --features tui");
        return EXIT_FAILURE_STATUS;
    }
    if (command == "list-scenarios") {
        print_stdout(scenario_list_text());
        return EXIT_OK;
    }
    if (command == "run-scenario") return run_scenario_command(rest);
    if (command == "run-sim") return run_sim_command(rest);
    print_error_line(format("Unknown command: {}", command));
    print_help();
    return EXIT_USAGE;
}

}  // namespace vesk
