#include "app/command_line.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <concepts>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

namespace vesk {
namespace {

TEST(ParseU64Value, DigitsWithAnOptionalPlus) {
    struct Case {
        const char* text;
        std::optional<uint64_t> want;
    };
    const Case cases[] = {
        {"0", 0},
        {"42", 42},
        {"+7", 7},
        {"007", 7},
        {"18446744073709551615", std::numeric_limits<uint64_t>::max()},
        {"18446744073709551616", std::nullopt},
        {"99999999999999999999", std::nullopt},
        {"", std::nullopt},
        {"+", std::nullopt},
        {"-", std::nullopt},
        {"-1", std::nullopt},
        {"-0", std::nullopt},
        {"++1", std::nullopt},
        {" 1", std::nullopt},
        {"1 ", std::nullopt},
        {"1a", std::nullopt},
        {"0x10", std::nullopt},
        {"1.0", std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(parse_u64_value(c.text), c.want) << '"' << c.text << '"';
}

TEST(ParseF32Value, DecimalSyntaxAndSpecialSpellings) {
    struct Case {
        const char* text;
        float want;
    };
    const Case accepted[] = {
        {"1.5", 1.5f},       {"-2", -2.0f},       {"+3", 3.0f},          {".5", 0.5f},
        {"5.", 5.0f},        {"1e3", 1000.0f},    {"2.5E-1", 0.25f},     {"1e+2", 100.0f},
        {"0.1", 0.1f},       {"-0", -0.0f},       {"1e40", INFINITY},    {"1e-50", 0.0f},
        {"inf", INFINITY},   {"-Infinity", -INFINITY}, {"+INF", INFINITY},
    };
    for (const Case& c : accepted) {
        std::optional<float> got = parse_f32_value(c.text);
        ASSERT_TRUE(got.has_value()) << c.text;
        EXPECT_EQ(*got, c.want) << c.text;
        EXPECT_EQ(std::signbit(*got), std::signbit(c.want)) << c.text;
    }
    for (const char* text : {"NaN", "nan", "-nAn"}) {
        std::optional<float> got = parse_f32_value(text);
        ASSERT_TRUE(got.has_value()) << text;
        EXPECT_TRUE(std::isnan(*got)) << text;
    }
    for (const char* text : {"", ".", "+", "-", "e5", "1e", "1e+", " 1", "1 ", "0x1p3", "nan(1)", "infin", "--1",
                             "1.2.3", "1,5", "1f"}) {
        EXPECT_EQ(parse_f32_value(text), std::nullopt) << '"' << text << '"';
    }
}

std::vector<std::string> words(std::initializer_list<const char*> list) { return {list.begin(), list.end()}; }

TEST(RunSimArgs, ErrorsNameTheOptionsLongFormOrTheArgument) {
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const Case cases[] = {
        {words({"--nodes", "17"}), "--nodes must be between 1 and 16"},
        {words({"-n", "0"}), "--nodes must be between 1 and 16"},
        // The node range is checked only after every option is read.
        {words({"--nodes", "17", "--bogus"}), "Unrecognized option: --bogus"},
        {words({"-n", "99", "--seed", "x"}), "Invalid value for --seed"},
        {words({"-n"}), "Missing value for --nodes"},
        {words({"-n", "five"}), "Invalid value for --nodes"},
        {words({"-r"}), "Missing value for --rounds"},
        {words({"-r", "-3"}), "Invalid value for --rounds"},
        {words({"--seed", "-1"}), "Invalid value for --seed"},
        {words({"--tick-ms"}), "Missing value for --tick-ms"},
        {words({"--sleep-ms", ""}), "Invalid value for --sleep-ms"},
        {words({"--duration-secs", "1.5"}), "Invalid value for --duration-secs"},
        {words({"--channel-preset"}), "Missing value for --channel-preset"},
        {words({"--script"}), "Missing value for --script"},
        {words({"--channel-preset", "fast"}),
         "Unknown channel preset: fast (available: [\"local\", \"long_distance\", \"regional\", \"congested\", "
         "\"disaster\"])"},
        {words({"--channel-latency-base-ms"}), "Missing value for --channel-latency-base-ms"},
        {words({"--channel-jitter-log-mean", "x"}), "Invalid value for --channel-jitter-log-mean"},
        {words({"--channel-jitter-log-stddev", "1e"}), "Invalid value for --channel-jitter-log-stddev"},
        {words({"--channel-drop-prob", "half"}), "Invalid value for --channel-drop-prob"},
        {words({"bare"}), "Unrecognized option: bare"},
        {words({"--Nodes", "3"}), "Unrecognized option: --Nodes"},
        {words({"--seed", "3", "4"}), "Unrecognized option: 4"},
        // The first error ends the reading.
        {words({"--seed", "x", "--tick-ms"}), "Invalid value for --seed"},
        // A zero tick interval is refused as it is read.
        {words({"--tick-ms", "0"}), "Invalid value for --tick-ms"},
        {words({"--tick-ms", "+0", "--bogus"}), "Invalid value for --tick-ms"},
        {words({"--tick-ms", "0", "--tick-ms", "5"}), "Invalid value for --tick-ms"},
    };
    for (const Case& c : cases) {
        auto got = parse_run_sim_args(c.args);
        ASSERT_TRUE(std::holds_alternative<ArgError>(got)) << c.message;
        EXPECT_EQ(std::get<ArgError>(got).message, c.message);
    }
}

TEST(RunSimArgs, HelpAnywhereDiscardsTheOtherOptions) {
    for (const auto& args : {words({"-h"}), words({"--tick-ms", "5", "--help"}), words({"--nodes", "17", "-h"}),
                             words({"-h", "--bogus"})}) {
        EXPECT_TRUE(std::holds_alternative<HelpRequest>(parse_run_sim_args(args)));
    }
    // An error before the help option wins.
    EXPECT_TRUE(std::holds_alternative<ArgError>(parse_run_sim_args(words({"--bogus", "-h"}))));
}

TEST(RunSimArgs, DefaultsOverridesAndRepeats) {
    auto none = std::get<RunSimRequest>(parse_run_sim_args({}));
    EXPECT_EQ(none.nodes, 5u);
    EXPECT_EQ(none.tick_ms, 1000u);
    EXPECT_EQ(none.sleep_ms, 1000u);
    EXPECT_FALSE(none.options.nodes || none.options.rounds || none.options.seed || none.options.tick_ms ||
                 none.options.sleep_ms || none.options.duration_secs || none.options.channel_preset ||
                 none.options.script || none.options.latency_base || none.options.jitter_mean ||
                 none.options.jitter_stddev || none.options.drop_prob);

    auto all = std::get<RunSimRequest>(parse_run_sim_args(words(
        {"-n", "3", "--nodes", "16", "-r", "4", "--seed", "+9", "--tick-ms", "20", "--sleep-ms", "0",
         "--duration-secs", "30", "--channel-preset", "REGIONAL", "--channel-latency-base-ms", "7.5",
         "--channel-jitter-log-mean", "-1", "--channel-jitter-log-stddev", "inf", "--channel-drop-prob", "0.25",
         "--script", "a.yaml", "--script", "b.yaml"})));
    EXPECT_EQ(all.nodes, 16u);
    EXPECT_EQ(all.tick_ms, 20u);
    EXPECT_EQ(all.sleep_ms, 0u);
    const RunSimOptions& o = all.options;
    EXPECT_EQ(o.nodes, 16u);
    EXPECT_EQ(o.rounds, 4u);
    EXPECT_EQ(o.seed, 9u);
    EXPECT_EQ(o.duration_secs, 30u);
    EXPECT_EQ(o.channel_preset, "REGIONAL");  // as typed
    EXPECT_EQ(o.latency_base, 7.5f);
    EXPECT_EQ(o.jitter_mean, -1.0f);
    EXPECT_EQ(o.jitter_stddev, INFINITY);
    EXPECT_EQ(o.drop_prob, 0.25f);
    EXPECT_EQ(o.script, "b.yaml");

    auto alias = std::get<RunSimRequest>(parse_run_sim_args(words({"--channel-preset", "long-distance"})));
    EXPECT_EQ(alias.options.channel_preset, "long-distance");
}

TEST(RunSimArgs, EveryNonZeroTickIntervalIsKept) {
    for (uint64_t ms : {uint64_t{1}, uint64_t{9'223'372'036'855}, std::numeric_limits<uint64_t>::max()}) {
        auto got = parse_run_sim_args(std::vector<std::string>{"--tick-ms", std::to_string(ms)});
        ASSERT_TRUE(std::holds_alternative<RunSimRequest>(got)) << ms;
        EXPECT_EQ(std::get<RunSimRequest>(got).tick_ms, ms);
    }
}

TEST(ParseU64Arg, MovesPastFlagAndValueOnlyWhenThereIsAValue) {
    auto args = words({"--seed", "x", "--rounds"});
    size_t i = 0;
    auto bad = parse_u64_arg(args, i, "--seed");
    EXPECT_EQ(std::get<ArgError>(bad).message, "Invalid value for --seed");
    EXPECT_EQ(i, 2u);
    auto missing = parse_u64_arg(args, i, "--rounds");
    EXPECT_EQ(std::get<ArgError>(missing).message, "Missing value for --rounds");
    EXPECT_EQ(i, 2u);
}

TEST(RunScenarioArgs, NameRules) {
    struct Case {
        std::vector<std::string> args;
        std::variant<std::string, ArgError> want;
    };
    const Case cases[] = {
        {{}, ArgError{"run-scenario requires a scenario name"}},
        {words({"-n"}), ArgError{"Missing value for --name"}},
        {words({"a", "--name"}), ArgError{"Missing value for --name"}},
        {words({"a", "b"}), ArgError{"Unrecognized option: b"}},
        {words({"-x"}), ArgError{"Unrecognized option: -x"}},
        {words({"a", "--verbose"}), ArgError{"Unrecognized option: --verbose"}},
        {words({"-n", "a", "b"}), ArgError{"Unrecognized option: b"}},
        {words({"a"}), std::string("a")},
        {words({"a", "-n", "b"}), std::string("b")},
        {words({"--name", "a", "--name", "b"}), std::string("b")},
        {words({"-n", "-dash"}), std::string("-dash")},
        {words({""}), std::string("")},
    };
    for (const Case& c : cases) {
        auto got = parse_run_scenario_args(c.args);
        if (const auto* want = std::get_if<ArgError>(&c.want)) {
            ASSERT_TRUE(std::holds_alternative<ArgError>(got)) << want->message;
            EXPECT_EQ(std::get<ArgError>(got).message, want->message);
        } else {
            ASSERT_TRUE(std::holds_alternative<std::string>(got)) << std::get<std::string>(c.want);
            EXPECT_EQ(std::get<std::string>(got), std::get<std::string>(c.want));
        }
    }
}

// A short account of what a command line asks for.
std::string outline(const CommandLine& c) {
    using C = CommandLine;
    return std::visit(
        [](const auto& k) -> std::string {
            using T = std::decay_t<decltype(k)>;
            if constexpr (std::same_as<T, C::PerpetualRun>) {
                return "perpetual";
            } else if constexpr (std::same_as<T, C::Help>) {
                return "help";
            } else if constexpr (std::same_as<T, C::Tui>) {
                return "tui";
            } else if constexpr (std::same_as<T, C::ListScenarios>) {
                return "list";
            } else if constexpr (std::same_as<T, C::RunScenario>) {
                return "scenario " + k.name;
            } else if constexpr (std::same_as<T, C::RunSim>) {
                return "run-sim script=" + k.request.options.script.value_or("");
            } else if constexpr (std::same_as<T, C::UnknownCommand>) {
                return "unknown " + k.word;
            } else {
                static_assert(std::same_as<T, ArgError>);
                return "error " + k.message;
            }
        },
        c.kind);
}

TEST(CommandLine, OnlyTheArgumentsACommandReadsMustBeText) {
    struct Case {
        std::vector<std::string> args;
        std::string want;
    };
    const Case cases[] = {
        // Argument 0 is never read.
        {{"/opt/\xff/vesk-sim"}, "perpetual"},
        {{"\xff", "list-scenarios", "\xff"}, "list"},
        {{"p", "-h", "\xfe"}, "help"},
        {{"p", "tui", "\xff"}, "tui"},
        {{"p", "bogus", "\xff"}, "unknown bogus"},
        {{"p", "\xff"}, "error Argument 1 is not valid UTF-8"},
        {{"p", "list-scenarios\xff"}, "error Argument 1 is not valid UTF-8"},
        // run-sim reads option words and their values until the first error.
        {{"p", "run-sim", "--seed", "\xff"}, "error Argument 3 is not valid UTF-8"},
        {{"p", "run-sim", "\xc0\x80"}, "error Argument 2 is not valid UTF-8"},  // overlong NUL
        {{"p", "run-sim", "-n", "3", "--script", "\xed\xa0\x80"}, "error Argument 5 is not valid UTF-8"},  // surrogate
        {{"p", "run-sim", "--bogus", "\xff"}, "error Unrecognized option: --bogus"},
        {{"p", "run-sim", "--seed", "x", "\xff"}, "error Invalid value for --seed"},
        {{"p", "run-sim", "-h", "\xff"}, "help"},
        {{"p", "run-sim", "--script", "caf\xc3\xa9 \xf0\x9f\x9a\x80.yaml"},
         "run-sim script=caf\xc3\xa9 \xf0\x9f\x9a\x80.yaml"},
        // run-scenario reads names until the first error.
        {{"p", "run-scenario", "a", "b", "\xff"}, "error Unrecognized option: b"},
        {{"p", "run-scenario", "-n", "\xff"}, "error Argument 3 is not valid UTF-8"},
        {{"p", "run-scenario", "\xf4\x90\x80\x80"}, "error Argument 2 is not valid UTF-8"},  // above U+10FFFF
        {{"p", "run-scenario", "happy-path"}, "scenario happy-path"},
    };
    for (const Case& c : cases) EXPECT_EQ(outline(parse_command_line(c.args)), c.want) << c.want;
}

}  // namespace
}  // namespace vesk
