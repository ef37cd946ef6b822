#include "sim/script.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include <cmath>
#include <fstream>
#include <limits>
#include <string>
#include <thread>

namespace vesk {
namespace {

using C = ScriptCommand;

// Each test writes its scripts into a directory of its own.
class Script : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tmpl = ::testing::TempDir() + "vesk_script_XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override {
        for (const std::string& f : files_) ::unlink(f.c_str());
        ::rmdir(dir_.c_str());
    }

    std::string write(std::string_view text) {
        std::string path = dir_ + "/script" + std::to_string(files_.size()) + ".yaml";
        std::ofstream(path, std::ios::binary) << text;
        files_.push_back(path);
        return path;
    }

    std::variant<SimScript, std::string> load_text(std::string_view text) { return SimScript::load(write(text)); }

    SimScript ok(std::string_view text) {
        auto r = load_text(text);
        if (auto* e = std::get_if<std::string>(&r)) {
            ADD_FAILURE() << "unexpected error: " << *e << "\nfor:\n" << text;
            return {};
        }
        return std::get<SimScript>(std::move(r));
    }

    std::string error(std::string_view text) {
        auto r = load_text(text);
        if (auto* e = std::get_if<std::string>(&r)) return *e;
        ADD_FAILURE() << "loaded without error:\n" << text;
        return {};
    }

    std::string dir_;
    std::vector<std::string> files_;
};

// One action at `at` with the given commands (a YAML list, indented by six).
std::string one_action(std::string_view commands, std::string_view at = "1") {
    return "actions:\n  - at_secs: " + std::string(at) + "\n    commands:\n" + std::string(commands);
}

const char* const PRESETS = R"(["local", "long_distance", "regional", "congested", "disaster"])";

TEST_F(Script, ErrorTexts) {
    struct Case {
        const char* name;
        std::string text;
        std::string error;
    };
    const std::string pause = "      - node_control: {nodes: [0], action: pause}\n";
    const Case cases[] = {
        {"negative at_secs in the third action",
         "actions:\n"
         "  - {at_secs: 1, commands: [{node_control: {nodes: all, action: pause}}]}\n"
         "  - {at_secs: 2, commands: [{node_control: {nodes: all, action: pause}}]}\n"
         "  - {at_secs: -0.5, commands: [{node_control: {nodes: all, action: pause}}]}\n",
         "action[2]: at_secs must be >= 0"},
        {"empty commands", "actions:\n  - {at_secs: 0.25, commands: []}\n",
         "action[0] at 0.2s: commands list must not be empty"},
        {"empty commands rounds at one decimal", "actions:\n  - {at_secs: 7.96, commands: []}\n",
         "action[0] at 8.0s: commands list must not be empty"},
        {"empty commands at an infinite time", "actions:\n  - {at_secs: .inf, commands: []}\n",
         "action[0] at infs: commands list must not be empty"},
        {"empty commands at not-a-number", "actions:\n  - {at_secs: .nan, commands: []}\n",
         "action[0] at NaNs: commands list must not be empty"},
        {"unknown preset", one_action("      - set_default_config: {preset: fast}\n", "3"),
         "action[0] at 3.0s: unknown preset: fast (available: " + std::string(PRESETS) + ")"},
        {"unknown preset in a neighbourhood, as written",
         one_action("      - define_neighborhood: {nodes: [0, 1], priority: 1, preset: ' local'}\n"),
         "action[0] at 1.0s: unknown preset:  local (available: " + std::string(PRESETS) + ")"},
        {"route to itself", one_action("      - set_route_config: {node_a: 2, node_b: 2, priority: 1, preset: local}\n"),
         "action[0] at 1.0s: node_a and node_b must differ (both 2)"},
        {"unset of a route to itself", one_action("      - unset_route_config: {node_a: 0, node_b: 0, priority: 1}\n"),
         "action[0] at 1.0s: node_a and node_b must differ (both 0)"},
        {"the first failure in file order wins",
         "actions:\n  - {at_secs: 9, commands: []}\n  - {at_secs: -1, commands: []}\n",
         "action[0] at 9.0s: commands list must not be empty"},
        {"missing actions", "other: 1\n", "YAML parse error: missing field `actions` at line 1 column 1"},
        {"missing at_secs", "actions:\n  - commands: []\n",
         "YAML parse error: actions[0]: missing field `at_secs` at line 2 column 5"},
        {"missing commands", "actions:\n  - at_secs: 1\n",
         "YAML parse error: actions[0]: missing field `commands` at line 2 column 5"},
        {"duplicate actions", "actions: []\nactions: []\n",
         "YAML parse error: duplicate field `actions` at line 2 column 1"},
        {"duplicate at_secs", "actions:\n  - at_secs: 1\n    at_secs: 2\n    commands: []\n",
         "YAML parse error: actions[0]: duplicate field `at_secs` at line 3 column 5"},
        {"text for at_secs", "actions:\n  - {at_secs: soon, commands: []}\n",
         "YAML parse error: actions[0].at_secs: invalid type: string \"soon\", expected a number at line 2 column "
         "15"},
        {"quoted number for at_secs", "actions:\n  - {at_secs: '1', commands: []}\n",
         "YAML parse error: actions[0].at_secs: invalid type: string \"1\", expected a number at line 2 column 15"},
        {"mapping for commands", "actions:\n  - {at_secs: 1, commands: {a: 1}}\n",
         "YAML parse error: actions[0].commands: invalid type: map, expected a sequence at line 2 column 28"},
        {"mapping for actions", "actions: {}\n",
         "YAML parse error: actions: invalid type: map, expected a sequence at line 1 column 10"},
        {"list as the document", "- 1\n- 2\n",
         "YAML parse error: invalid type: sequence, expected a mapping at line 1 column 1"},
        {"scalar as the document", "hello\n",
         "YAML parse error: invalid type: string \"hello\", expected a mapping at line 1 column 1"},
        {"null document", "~\n", "YAML parse error: invalid type: null, expected a mapping at line 1 column 1"},
        {"empty file", "", "YAML parse error: the file holds no YAML document"},
        {"only a comment", "# nothing\n", "YAML parse error: the file holds no YAML document"},
        {"two documents", "actions: []\n---\nactions: []\n",
         "YAML parse error: the file holds more than one YAML document at line 2 column 1"},
        {"list for description", "actions:\n  - {at_secs: 1, description: [a], commands: []}\n",
         "YAML parse error: actions[0].description: invalid type: sequence, expected a string at line 2 column 31"},
        {"syntax error", "actions: [\n",
         "YAML parse error: while parsing a flow node at line 2 column 1, did not find expected node content at line "
         "2 column 1"},
        {"unknown alias", "actions: *nowhere\n", "YAML parse error: unknown anchor \"nowhere\" at line 1 column 10"},
        {"tab indentation", "actions:\n\t- 1\n",
         "YAML parse error: while scanning for the next token at line 2 column 1, found character that cannot start "
         "any token at line 2 column 1"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(error(c.text), c.error) << c.name;
    }
}

TEST_F(Script, CommandsThatFitNoKind) {
    const std::string no_kind = "YAML parse error: actions[0].commands[0]: data did not match any variant of untagged "
                                "enum ScriptCommand at line 4 column 9";
    const char* const commands[] = {
        "      - node_control: {nodes: everyone, action: pause}\n",
        "      - node_control: {nodes: [0], action: Pause}\n",
        "      - node_control: {nodes: [0], action: stop}\n",
        "      - node_control: {nodes: [0]}\n",
        "      - node_control: {nodes: [-1], action: pause}\n",
        "      - node_control: {nodes: [1.0], action: pause}\n",
        "      - node_control: {nodes: [99999999999999999999999], action: pause}\n",
        "      - node_control: {nodes: ['1'], action: pause}\n",
        "      - set_routes_for_node: {node: 1, priorty: 1, preset: local}\n",
        "      - set_routes_for_node: {node: 1, priority: 256, preset: local}\n",
        "      - set_routes_for_node: {node: 1, priority: -1, preset: local}\n",
        "      - set_routes_for_node: {node: 1, priority: 1}\n",
        "      - set_routes_for_node: {node: 1, node: 2, priority: 1, preset: local}\n",
        "      - set_route_config: {node_a: 0, node_b: 1, priority: 1, latency_base_ms: 1, latency_jitter_log_mean: 0,"
        " latency_jitter_log_stddev: 0}\n",
        "      - set_route_config: {node_a: 0, node_b: 1, priority: 1, latency_base_ms: fast,"
        " latency_jitter_log_mean: 0, latency_jitter_log_stddev: 0, packetdrop_prob: 0}\n",
        "      - set_default_config: regional\n",
        "      - set_default_config: {preset: [local]}\n",
        "      - unset_neighborhood: {nodes: 3, priority: 1}\n",
        "      - unset_route_config: {node_a: 0, priority: 1}\n",
        "      - define_neighborhood: {nodes: [0, 1], priority: 1}\n",
        "      - {Node_Control: {nodes: all, action: pause}}\n",
        "      - {node_control: {nodes: all, action: pause}, node_control: {nodes: all, action: pause}}\n",
        "      - {}\n",
        "      - [node_control]\n",
        "      - pause\n",
    };
    for (const char* c : commands) {
        EXPECT_EQ(error(one_action(c)), no_kind) << c;
    }
}

TEST_F(Script, EveryCommandKind) {
    SimScript s = ok(one_action(
        "      - set_default_config: {preset: DISASTER}\n"
        "      - set_route_config: {node_a: 3, node_b: 1, priority: 7, latency_base_ms: 1, latency_jitter_log_mean:"
        " 0.5, latency_jitter_log_stddev: .inf, packetdrop_prob: -0.25}\n"
        "      - unset_route_config: {node_a: 1, node_b: 3, priority: 0}\n"
        "      - set_routes_for_node: {node: 4, priority: 255, preset: Long-Distance}\n"
        "      - unset_routes_for_node: {node: 4, priority: 255}\n"
        "      - define_neighborhood: {nodes: [2, 2, 0], priority: 1, preset: long_distance}\n"
        "      - unset_neighborhood: {nodes: [], priority: 1}\n"
        "      - node_control: {nodes: ALL, action: finish}\n"
        "      - node_control: {nodes: [], action: resume}\n"));
    ASSERT_EQ(s.actions.size(), 1u);
    const std::vector<ScriptCommand> want = {
        C{C::SetDefaultConfig{ChannelConfigSpec{ChannelConfigSpec::Preset{"DISASTER"}}}},
        C{C::SetRouteConfig{3, 1, 7,
                            ChannelConfigSpec{ChannelConfigSpec::Custom{
                                ChannelConfig{1.0f, 0.5f, std::numeric_limits<float>::infinity(), -0.25f}}}}},
        C{C::UnsetRouteConfig{1, 3, 0}},
        C{C::SetRoutesForNode{4, 255, ChannelConfigSpec{ChannelConfigSpec::Preset{"Long-Distance"}}}},
        C{C::UnsetRoutesForNode{4, 255}},
        C{C::DefineNeighborhood{{2, 2, 0}, 1, ChannelConfigSpec{ChannelConfigSpec::Preset{"long_distance"}}}},
        C{C::UnsetNeighborhood{{}, 1}},
        C{C::NodeControl{NodeSelector{NodeSelector::All{}}, NodeControlMessage::Finish}},
        C{C::NodeControl{NodeSelector{NodeSelector::List{}}, NodeControlMessage::Resume}},
    };
    EXPECT_EQ(s.actions[0].commands, want);
    EXPECT_EQ(std::get<C::SetRoutesForNode>(s.actions[0].commands[3].kind).config.resolve(),
              ChannelConfig::from_preset_name("long_distance"));
    EXPECT_EQ(s.actions[0].description, std::nullopt);
}

TEST_F(Script, ReadingRules) {
    // The first kind in declaration order wins; the other key is ignored.
    SimScript both = ok(one_action(
        "      - node_control: {nodes: all, action: pause}\n"
        "        set_default_config: {preset: local}\n"));
    const std::vector<ScriptCommand> local = {
        C{C::SetDefaultConfig{ChannelConfigSpec{ChannelConfigSpec::Preset{"local"}}}}};
    EXPECT_EQ(both.actions[0].commands, local);

    // A kind whose value does not read gives way to a later one.
    SimScript fallback = ok(one_action(
        "      - set_default_config: {preset: [x]}\n"
        "        node_control: {nodes: [1], action: resume}\n"));
    const std::vector<ScriptCommand> resume = {
        C{C::NodeControl{NodeSelector{NodeSelector::List{{1}}}, NodeControlMessage::Resume}}};
    EXPECT_EQ(fallback.actions[0].commands, resume);

    // A preset beats the four values; unknown keys are ignored everywhere.
    SimScript preset = ok(
        "version: 3\n"
        "actions:\n"
        "  - at_secs: 1\n"
        "    note: ignored\n"
        "    commands:\n"
        "      - set_route_config:\n"
        "          node_a: 0\n"
        "          node_b: 1\n"
        "          priority: 2\n"
        "          preset: congested\n"
        "          latency_base_ms: 9\n"
        "          latency_jitter_log_mean: 9\n"
        "          latency_jitter_log_stddev: 9\n"
        "          packetdrop_prob: 9\n"
        "          colour: blue\n");
    const auto& route = std::get<C::SetRouteConfig>(preset.actions[0].commands[0].kind);
    EXPECT_EQ(route.config, ChannelConfigSpec{ChannelConfigSpec::Preset{"congested"}});

    // Integers, hexadecimal and exponents are numbers; a huge one is infinite.
    SimScript numbers = ok(
        "actions:\n"
        "  - at_secs: 10\n"
        "    description: 42\n"
        "    commands:\n"
        "      - set_default_config: {latency_base_ms: 0x10, latency_jitter_log_mean: 1e400,"
        " latency_jitter_log_stddev: -1e-400, packetdrop_prob: 99999999999999999999999}\n"
        "  - at_secs: 1e999\n"
        "    commands: [{node_control: {nodes: [18446744073709551615], action: pause}}]\n"
        "  - at_secs: .nan\n"
        "    description: ~\n"
        "    commands: [{node_control: {nodes: all, action: pause}}]\n");
    ASSERT_EQ(numbers.actions.size(), 3u);
    EXPECT_EQ(numbers.actions[0].at_secs, 10.0);
    EXPECT_EQ(numbers.actions[0].description, "42");
    const auto& def = std::get<ChannelConfigSpec::Custom>(
        std::get<C::SetDefaultConfig>(numbers.actions[0].commands[0].kind).config.kind);
    EXPECT_EQ(def.config.latency_base_ms, 16.0f);
    EXPECT_EQ(def.config.latency_jitter_log_mean, std::numeric_limits<float>::infinity());
    EXPECT_EQ(def.config.latency_jitter_log_stddev, 0.0f);
    EXPECT_TRUE(std::signbit(def.config.latency_jitter_log_stddev));
    EXPECT_EQ(def.config.packetdrop_prob, 1e23f);
    EXPECT_EQ(numbers.actions[1].at_secs, std::numeric_limits<double>::infinity());
    EXPECT_TRUE(std::isnan(numbers.actions[2].at_secs));
    EXPECT_EQ(numbers.actions[2].description, std::nullopt);
    const auto& ctl = std::get<C::NodeControl>(numbers.actions[1].commands[0].kind);
    EXPECT_EQ(ctl.nodes, NodeSelector{NodeSelector::List{{std::numeric_limits<size_t>::max()}}});

    // Aliases are followed.
    SimScript aliased = ok(
        "group: &g [0, 1, 2]\n"
        "actions:\n"
        "  - {at_secs: 1, commands: [{define_neighborhood: {nodes: *g, priority: 1, preset: local}}]}\n");
    EXPECT_EQ(std::get<C::DefineNeighborhood>(aliased.actions[0].commands[0].kind).nodes,
              (std::vector<size_t>{0, 1, 2}));

    EXPECT_TRUE(ok("actions: []\n").actions.empty());
}

TEST_F(Script, TimesAndOrder) {
    // Zero, negative zero and an integer time are accepted.
    SimScript s = ok(
        "actions:\n"
        "  - {at_secs: 5, description: A, commands: [{node_control: {nodes: all, action: pause}}]}\n"
        "  - {at_secs: 1, description: B, commands: [{node_control: {nodes: all, action: pause}}]}\n"
        "  - {at_secs: 5.0, description: C, commands: [{node_control: {nodes: all, action: pause}}]}\n"
        "  - {at_secs: 0, description: Z, commands: [{node_control: {nodes: all, action: pause}}]}\n"
        "  - {at_secs: -0.0, description: N, commands: [{node_control: {nodes: all, action: pause}}]}\n");
    std::vector<std::string> order;
    for (const ScriptAction& a : s.actions) order.push_back(*a.description);
    EXPECT_EQ(order, (std::vector<std::string>{"N", "Z", "B", "A", "C"}));
    EXPECT_TRUE(std::signbit(s.actions[0].at_secs));
    EXPECT_EQ(s.actions[3].at_secs, 5.0);
}

TEST_F(Script, ValidateNodeIds) {
    auto with = [&](std::string_view command) { return ok(one_action(command)); };
    auto route = [&](int b) {
        std::string t = "      - unset_route_config: {node_a: 0, node_b: ";
        t.append(std::to_string(b)).append(", priority: 1}\n");
        return with(t);
    };
    EXPECT_EQ(SimScript::validate_node_ids(route(5), 5), "action[0] at 1.0s: node 5 out of range (max 5)");
    EXPECT_EQ(SimScript::validate_node_ids(route(4), 5), std::nullopt);

    struct Case {
        const char* command;
        std::optional<std::string> error;
    };
    const Case cases[] = {
        {"      - set_route_config: {node_a: 7, node_b: 9, priority: 1, preset: local}\n",
         "action[0] at 1.0s: node 7 out of range (max 3)"},
        {"      - set_routes_for_node: {node: 3, priority: 1, preset: local}\n",
         "action[0] at 1.0s: node 3 out of range (max 3)"},
        {"      - unset_routes_for_node: {node: 2, priority: 1}\n", std::nullopt},
        {"      - define_neighborhood: {nodes: [0, 4, 8], priority: 1, preset: local}\n",
         "action[0] at 1.0s: node 4 out of range (max 3)"},
        {"      - unset_neighborhood: {nodes: [2, 1, 0], priority: 1}\n", std::nullopt},
        {"      - node_control: {nodes: [1, 1, 6], action: pause}\n", "action[0] at 1.0s: node 6 out of range (max 3)"},
        {"      - node_control: {nodes: all, action: pause}\n", std::nullopt},
        {"      - node_control: {nodes: [], action: pause}\n", std::nullopt},
        {"      - set_default_config: {preset: local}\n", std::nullopt},
        {"      - set_default_config: {preset: local}\n"
         "      - unset_routes_for_node: {node: 5, priority: 1}\n"
         "      - unset_routes_for_node: {node: 4, priority: 1}\n",
         "action[0] at 1.0s: node 5 out of range (max 3)"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SimScript::validate_node_ids(with(c.command), 3), c.error) << c.command;
    }

    // Positions are counted after sorting: the second action of the file is
    // due first.
    SimScript sorted = ok(
        "actions:\n"
        "  - {at_secs: 2, commands: [{node_control: {nodes: [0], action: pause}}]}\n"
        "  - {at_secs: 0.5, commands: [{node_control: {nodes: [9], action: pause}}]}\n");
    EXPECT_EQ(SimScript::validate_node_ids(sorted, 2), "action[0] at 0.5s: node 9 out of range (max 2)");
    EXPECT_EQ(SimScript::validate_node_ids(SimScript{}, 0), std::nullopt);
}

TEST_F(Script, FilesThatCannotBeRead) {
    const std::string missing = dir_ + "/absent.yaml";
    EXPECT_EQ(std::get<std::string>(SimScript::load(missing)),
              "failed to read " + missing + ": No such file or directory");
    EXPECT_EQ(std::get<std::string>(SimScript::load(dir_)), "failed to read " + dir_ + ": Is a directory");
    const std::string latin1 = write("actions: []\n# caf\xe9\n");
    EXPECT_EQ(std::get<std::string>(SimScript::load(latin1)),
              "failed to read " + latin1 + ": stream did not contain valid UTF-8");
    // Valid UTF-8 with a byte-order mark and text beyond ASCII loads.
    SimScript s = ok("\xef\xbb\xbf" "actions:\n  - {at_secs: 1, description: \"caf\xc3\xa9 \xf0\x9f\x9a\x80\","
                     " commands: [{node_control: {nodes: all, action: pause}}]}\n");
    EXPECT_EQ(s.actions[0].description, "caf\xc3\xa9 \xf0\x9f\x9a\x80");
}

TEST_F(Script, AByteOrderMarkMayOpenTheStream) {
    const std::string bom = "\xef\xbb\xbf";
    const std::string action = "  - {at_secs: 1, commands: [{node_control: {nodes: all, action: pause}}]}\n";
    for (const std::string& text : {bom + "---\nactions:\n" + action, bom + "%YAML 1.1\n---\nactions:\n" + action,
                                    bom + "# a comment\nactions:\n" + action + "...\n"}) {
        EXPECT_EQ(ok(text).actions.size(), 1u) << text;
    }
    // Positions after the mark are those of the text.
    EXPECT_EQ(error(bom + "---\nactions: 5\n"),
              "YAML parse error: actions: invalid type: integer `5`, expected a sequence at line 2 column 10");
    EXPECT_EQ(error(bom + "actions: [\x01]\n"),
              "YAML parse error: control characters are not allowed (#x01) at byte 13");
    // A mark of another encoding is not UTF-8, and the file is refused.
    const std::string utf16 = write(std::string("\xff\xfe" "a\0:\0 \0[\0]\0\n\0", 14));
    EXPECT_EQ(std::get<std::string>(SimScript::load(utf16)),
              "failed to read " + utf16 + ": stream did not contain valid UTF-8");
}

TEST_F(Script, NoMoreThanTheSizeLimitIsRead) {
    const std::string too_large = ": File too large (the limit is 16777216 bytes)";
    ASSERT_EQ(MAX_SCRIPT_BYTES, size_t{16} << 20);
    // A script of exactly the limit loads; one byte more does not.
    std::string at_limit = "actions: []\n#";
    at_limit.resize(MAX_SCRIPT_BYTES - 1, 'x');
    at_limit += '\n';
    EXPECT_EQ(ok(at_limit), SimScript{});
    at_limit.insert(at_limit.end() - 1, 'x');
    const std::string over = write(at_limit);
    EXPECT_EQ(std::get<std::string>(SimScript::load(over)), "failed to read " + over + too_large);

    // Files without end: a device, and a pipe whose writer never stops.
    EXPECT_EQ(std::get<std::string>(SimScript::load("/dev/zero")), "failed to read /dev/zero" + too_large);
    const std::string fifo = dir_ + "/endless";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    files_.push_back(fifo);
    ::signal(SIGPIPE, SIG_IGN);
    std::thread writer([&] {
        int fd = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0) return;
        const std::string block(65536, ' ');
        // Ends when the reader closes its end.
        while (::write(fd, block.data(), block.size()) > 0) {
        }
        ::close(fd);
    });
    EXPECT_EQ(std::get<std::string>(SimScript::load(fifo)), "failed to read " + fifo + too_large);
    writer.join();
}

TEST_F(Script, HostileInputGivesAnError) {
    // Deep nesting stops at a fixed depth.
    std::string deep = "actions: " + std::string(100000, '[') + std::string(100000, ']') + "\n";
    EXPECT_EQ(error(deep), "YAML parse error: nesting deeper than 128 levels at line 1 column 137");
    std::string deep_map = "actions:\n";
    for (int i = 0; i < 200; ++i) deep_map += std::string(static_cast<size_t>(i) + 1, ' ') + "a:\n";
    EXPECT_NE(error(deep_map).find("nesting deeper than 128 levels"), std::string::npos);

    // Aliases that expand exponentially are refused before they are read.
    std::string laughs = "a0: &a0 [0, 0, 0, 0, 0, 0, 0, 0, 0, 0]\n";
    for (int i = 1; i < 10; ++i) {
        const std::string name = std::to_string(i);
        const std::string prev = std::to_string(i - 1);
        laughs.append("a").append(name).append(": &a").append(name).append(" [*a").append(prev);
        for (int k = 0; k < 9; ++k) laughs.append(", *a").append(prev);
        laughs.append("]\n");
    }
    laughs += "actions: []\n";
    EXPECT_NE(error(laughs).find("YAML parse error: aliases expand the document by more than 100000 nodes"),
              std::string::npos);

    // Aliases add at most 1 MiB of scalar text, counted through nested
    // aliases too, so that one long scalar cannot be copied without end.
    const std::string big = "big: &b \"" + std::string(size_t{64} << 10, 'x') + "\"\none: &o x\n";
    std::string uses = "uses: [*b";
    for (int i = 1; i < 16; ++i) uses += ", *b";
    EXPECT_EQ(ok(big + uses + "]\nactions: []\n"), SimScript{});
    EXPECT_EQ(error(big + uses + ", *o]\nactions: []\n"),
              "YAML parse error: aliases expand the document by more than 1048576 bytes of text at line 3 column 72");
    EXPECT_EQ(error(big + "eight: &e [*b, *b, *b, *b, *b, *b, *b, *b]\ntwice: [*e, *e]\nactions: []\n"),
              "YAML parse error: aliases expand the document by more than 1048576 bytes of text at line 4 column 13");

    // Collections where a scalar or another kind of collection belongs are
    // named by their kind, also when the file holds no scalar at all.
    EXPECT_EQ(error("actions: [[[[]]]]\n"),
              "YAML parse error: actions[0]: invalid type: sequence, expected a mapping at line 1 column 11");
    EXPECT_EQ(error("actions: [{at_secs: [1], commands: {}}]\n"),
              "YAML parse error: actions[0].at_secs: invalid type: sequence, expected a number at line 1 column 21");

    // An alias cannot name the collection it sits in.
    EXPECT_EQ(error("actions: &x [*x]\n"), "YAML parse error: unknown anchor \"x\" at line 1 column 14");

    // Control characters and a NUL byte are YAML errors, not crashes.
    EXPECT_EQ(error(std::string("actions: []\n\x01\n")),
              "YAML parse error: control characters are not allowed (#x01) at byte 12");
    EXPECT_EQ(error(std::string("actions: [\0]\n", 13)),
              "YAML parse error: control characters are not allowed (#x00) at byte 10");
}

TEST(ScriptExample, LoadsAndValidates) {
    const std::string path = std::string(VESK_EXAMPLES_DIR) + "/partition-and-recover.yaml";
    auto r = SimScript::load(path);
    ASSERT_TRUE(std::holds_alternative<SimScript>(r)) << std::get<std::string>(r);
    const SimScript& s = std::get<SimScript>(r);
    EXPECT_EQ(SimScript::validate_node_ids(s, 5), std::nullopt);
    EXPECT_NE(SimScript::validate_node_ids(s, 4), std::nullopt);
    // Every command kind appears.
    std::vector<bool> kinds(std::variant_size_v<ScriptCommand::Kind>);
    for (const ScriptAction& a : s.actions) {
        EXPECT_TRUE(a.description.has_value());
        for (const ScriptCommand& c : a.commands) kinds[c.kind.index()] = true;
    }
    EXPECT_EQ(kinds, std::vector<bool>(kinds.size(), true));
    EXPECT_TRUE(std::is_sorted(s.actions.begin(), s.actions.end(),
                               [](const ScriptAction& a, const ScriptAction& b) { return a.at_secs < b.at_secs; }));
}

}  // namespace
}  // namespace vesk
