#include "sim/script.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <concepts>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <system_error>

#include "base/text.hpp"
#include "sim/yaml_tree.hpp"

namespace vesk {

std::optional<ChannelConfig> ChannelConfigSpec::resolve() const {
    if (const auto* p = std::get_if<Preset>(&kind)) return ChannelConfig::from_preset_name(p->name);
    return std::get<Custom>(kind).config;
}

namespace {

using yaml::Document;
using yaml::located;
using yaml::Node;
using yaml::resolve_plain;
using yaml::Scalar;
using yaml::ScalarKind;

static_assert(MAX_SCRIPT_BYTES <= yaml::MAX_TEXT_BYTES);

// A problem found while mapping the tree onto the script's records.
struct ReadError {
    std::string message;
};

// ---- mapping the tree onto the records ----

class Reader {
public:
    explicit Reader(const Document& doc) : doc_(doc) {}

    SimScript script() {
        SimScript s;
        const Node& root = doc_.nodes[*doc_.root];
        expect_mapping(root, "");
        bool seen = false;
        fields(root, "", std::array<std::string_view, 1>{"actions"}, [&](size_t, const Node& v) {
            seen = true;
            expect_sequence(v, "actions");
            s.actions.reserve(v.size);
            for (size_t i = 0; i < v.size; ++i) s.actions.push_back(action(child(v, i), format("actions[{}]", i)));
        });
        if (!seen) fail(root, "", "missing field `actions`");
        return s;
    }

private:
    const Node& child(const Node& n, size_t i) const { return doc_.child(n, i); }
    std::string_view text(const Node& n) const { return doc_.text(n); }
    std::string describe(const Node& n) const {
        return yaml::describe(n, n.type() == Node::Type::Scalar ? text(n) : std::string_view());
    }
    // The value of a scalar, its number if it is one.
    Scalar scalar(const Node& n) const {
        if (n.kind() == ScalarKind::Int || n.kind() == ScalarKind::Float) return resolve_plain(text(n));
        Scalar other;
        other.kind = n.kind();
        return other;
    }

    [[noreturn]] static void fail(const Node& at, std::string_view path, std::string_view problem) {
        std::string m = path.empty() ? std::string() : std::string(path) + ": ";
        m += located(problem, at.line, at.column());
        throw ReadError{std::move(m)};
    }
    void expect_mapping(const Node& n, std::string_view path) const {
        if (n.type() != Node::Type::Mapping) fail(n, path, format("invalid type: {}, expected a mapping", describe(n)));
    }
    void expect_sequence(const Node& n, std::string_view path) const {
        if (n.type() != Node::Type::Sequence) fail(n, path, format("invalid type: {}, expected a sequence", describe(n)));
    }

    // Calls f(field index, value) for each pair whose key is one of `keys`,
    // in mapping order; other keys are ignored and a known key seen twice is
    // an error.
    template <class F>
    void fields(const Node& map, std::string_view path, std::span<const std::string_view> keys, F&& f) {
        std::vector<bool> seen(keys.size());
        for (size_t p = 0; p + 1 < map.size; p += 2) {
            const Node& key = child(map, p);
            if (key.type() != Node::Type::Scalar) continue;
            for (size_t k = 0; k < keys.size(); ++k) {
                if (text(key) != keys[k]) continue;
                if (seen[k]) fail(key, path, format("duplicate field `{}`", keys[k]));
                seen[k] = true;
                f(k, child(map, p + 1));
            }
        }
    }

    ScriptAction action(const Node& n, const std::string& path) {
        expect_mapping(n, path);
        ScriptAction a;
        bool have_at = false;
        bool have_commands = false;
        fields(n, path, std::array<std::string_view, 3>{"at_secs", "description", "commands"},
               [&](size_t k, const Node& v) {
                   switch (k) {
                       case 0:
                           if (v.type() != Node::Type::Scalar ||
                               (v.kind() != ScalarKind::Int && v.kind() != ScalarKind::Float)) {
                               fail(v, path + ".at_secs", format("invalid type: {}, expected a number", describe(v)));
                           }
                           a.at_secs = scalar(v).f64;
                           have_at = true;
                           break;
                       case 1:
                           if (v.type() != Node::Type::Scalar) {
                               fail(v, path + ".description",
                                    format("invalid type: {}, expected a string", describe(v)));
                           }
                           if (v.kind() != ScalarKind::Null) a.description = std::string(text(v));
                           break;
                       default:
                           expect_sequence(v, path + ".commands");
                           a.commands.reserve(v.size);
                           for (size_t i = 0; i < v.size; ++i) {
                               a.commands.push_back(command(child(v, i), format("{}.commands[{}]", path, i)));
                           }
                           have_commands = true;
                           break;
                   }
               });
        if (!have_at) fail(n, path, "missing field `at_secs`");
        if (!have_commands) fail(n, path, "missing field `commands`");
        return a;
    }

    // ---- commands: the first kind whose key is present and whose value
    // reads completely ----

    ScriptCommand command(const Node& n, const std::string& path) {
        static constexpr std::array<std::string_view, 8> KINDS = {
            "set_default_config", "set_route_config",   "unset_route_config", "set_routes_for_node",
            "unset_routes_for_node", "define_neighborhood", "unset_neighborhood", "node_control"};
        if (n.type() == Node::Type::Mapping) {
            for (size_t k = 0; k < KINDS.size(); ++k) {
                try {
                    std::optional<ScriptCommand> c;
                    fields(n, path, std::array<std::string_view, 1>{KINDS[k]},
                           [&](size_t, const Node& v) { c = command_kind(k, v, path); });
                    if (c) return std::move(*c);
                } catch (const ReadError&) {
                    // Not this kind; try the next.
                }
            }
        }
        fail(n, path, "data did not match any variant of untagged enum ScriptCommand");
    }

    ScriptCommand command_kind(size_t k, const Node& v, const std::string& path) {
        using C = ScriptCommand;
        expect_mapping(v, path);
        switch (k) {
            case 0:
                return C{C::SetDefaultConfig{spec(v, path)}};
            case 1: {
                C::SetRouteConfig r;
                read_ids(v, path, {{"node_a", &r.node_a}, {"node_b", &r.node_b}}, &r.priority);
                r.config = spec(v, path);
                return C{std::move(r)};
            }
            case 2: {
                C::UnsetRouteConfig r;
                read_ids(v, path, {{"node_a", &r.node_a}, {"node_b", &r.node_b}}, &r.priority);
                return C{std::move(r)};
            }
            case 3: {
                C::SetRoutesForNode r;
                read_ids(v, path, {{"node", &r.node}}, &r.priority);
                r.config = spec(v, path);
                return C{std::move(r)};
            }
            case 4: {
                C::UnsetRoutesForNode r;
                read_ids(v, path, {{"node", &r.node}}, &r.priority);
                return C{std::move(r)};
            }
            case 5: {
                C::DefineNeighborhood r;
                read_list(v, path, r.nodes, r.priority);
                r.config = spec(v, path);
                return C{std::move(r)};
            }
            case 6: {
                C::UnsetNeighborhood r;
                read_list(v, path, r.nodes, r.priority);
                return C{std::move(r)};
            }
            default:
                return C{node_control(v, path)};
        }
    }

    struct IdField {
        std::string_view key;
        size_t* out;
    };

    // The node ids and the priority of a record, all required.
    void read_ids(const Node& v, const std::string& path, std::initializer_list<IdField> ids, uint8_t* priority) {
        std::vector<std::string_view> keys{"priority"};
        for (const IdField& f : ids) keys.push_back(f.key);
        std::vector<bool> seen(keys.size());
        fields(v, path, keys, [&](size_t k, const Node& value) {
            seen[k] = true;
            if (k == 0) {
                *priority = read_priority(value, path);
            } else {
                *(ids.begin() + (k - 1))->out = node_id(value, path);
            }
        });
        for (size_t k = 0; k < keys.size(); ++k) {
            if (!seen[k]) fail(v, path, format("missing field `{}`", keys[k]));
        }
    }

    void read_list(const Node& v, const std::string& path, std::vector<size_t>& nodes, uint8_t& priority) {
        bool have_nodes = false;
        bool have_priority = false;
        fields(v, path, std::array<std::string_view, 2>{"nodes", "priority"}, [&](size_t k, const Node& value) {
            if (k == 0) {
                nodes = id_list(value, path);
                have_nodes = true;
            } else {
                priority = read_priority(value, path);
                have_priority = true;
            }
        });
        if (!have_nodes) fail(v, path, "missing field `nodes`");
        if (!have_priority) fail(v, path, "missing field `priority`");
    }

    NodeControlAction node_control(const Node& v, const std::string& path) {
        NodeControlAction a;
        bool have_nodes = false;
        bool have_action = false;
        fields(v, path, std::array<std::string_view, 2>{"nodes", "action"}, [&](size_t k, const Node& value) {
            if (k == 0) {
                a.nodes = selector(value, path);
                have_nodes = true;
                return;
            }
            if (value.type() == Node::Type::Scalar && value.kind() == ScalarKind::Str) {
                if (text(value) == "pause") {
                    a.action = NodeControlMessage::Pause;
                    have_action = true;
                    return;
                }
                if (text(value) == "resume") {
                    a.action = NodeControlMessage::Resume;
                    have_action = true;
                    return;
                }
                if (text(value) == "finish") {
                    a.action = NodeControlMessage::Finish;
                    have_action = true;
                    return;
                }
            }
            fail(value, path, "unknown node action");
        });
        if (!have_nodes) fail(v, path, "missing field `nodes`");
        if (!have_action) fail(v, path, "missing field `action`");
        return a;
    }

    NodeSelector selector(const Node& v, const std::string& path) {
        if (v.type() == Node::Type::Scalar && v.kind() == ScalarKind::Str && v.size == 3) {
            std::string lower(text(v));
            for (char& c : lower) {
                if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
            }
            if (lower == "all") return NodeSelector{NodeSelector::All{}};
        }
        if (v.type() == Node::Type::Sequence) return NodeSelector{NodeSelector::List{id_list(v, path)}};
        fail(v, path, "node selector is neither \"all\" nor a list of node ids");
    }

    // The preset when `preset` reads as a name, else the four values.
    ChannelConfigSpec spec(const Node& v, const std::string& path) {
        try {
            std::optional<std::string> name;
            fields(v, path, std::array<std::string_view, 1>{"preset"}, [&](size_t, const Node& value) {
                if (value.type() != Node::Type::Scalar || value.kind() == ScalarKind::Null) {
                    fail(value, path, "preset name is not text");
                }
                name = std::string(text(value));
            });
            if (name) return ChannelConfigSpec{ChannelConfigSpec::Preset{std::move(*name)}};
        } catch (const ReadError&) {
            // Not a preset; try the values.
        }
        static constexpr std::array<std::string_view, 4> KEYS = {"latency_base_ms", "latency_jitter_log_mean",
                                                                 "latency_jitter_log_stddev", "packetdrop_prob"};
        std::array<float, 4> values{};
        std::array<bool, 4> seen{};
        fields(v, path, KEYS, [&](size_t k, const Node& value) {
            if (value.type() != Node::Type::Scalar || (value.kind() != ScalarKind::Int && value.kind() != ScalarKind::Float)) {
                fail(value, path, format("invalid type: {}, expected a number", describe(value)));
            }
            values[k] = scalar(value).f32;
            seen[k] = true;
        });
        for (size_t k = 0; k < KEYS.size(); ++k) {
            if (!seen[k]) fail(v, path, format("missing field `{}`", KEYS[k]));
        }
        return ChannelConfigSpec{ChannelConfigSpec::Custom{ChannelConfig{values[0], values[1], values[2], values[3]}}};
    }

    std::vector<size_t> id_list(const Node& v, const std::string& path) {
        expect_sequence(v, path);
        std::vector<size_t> ids;
        ids.reserve(v.size);
        for (size_t i = 0; i < v.size; ++i) ids.push_back(node_id(child(v, i), path));
        return ids;
    }

    size_t node_id(const Node& v, std::string_view path) const {
        const Scalar x = scalar(v);
        if (v.type() != Node::Type::Scalar || x.kind != ScalarKind::Int || !x.magnitude ||
            (x.negative && *x.magnitude != 0) || *x.magnitude > std::numeric_limits<size_t>::max()) {
            fail(v, path, format("invalid node id: {}", describe(v)));
        }
        return static_cast<size_t>(*x.magnitude);
    }

    uint8_t read_priority(const Node& v, std::string_view path) const {
        const Scalar x = scalar(v);
        if (v.type() != Node::Type::Scalar || x.kind != ScalarKind::Int || !x.magnitude ||
            (x.negative && *x.magnitude != 0) || *x.magnitude > 255) {
            fail(v, path, format("invalid priority: {}", describe(v)));
        }
        return static_cast<uint8_t>(*x.magnitude);
    }

    const Document& doc_;
};

// ---- checks after parsing ----

std::string action_prefix(size_t i, double at_secs) { return format("action[{}] at {}s: ", i, fixed_decimals(at_secs, 1)); }

// The preset names as every list of them prints.
std::vector<std::string_view> preset_names() {
    std::vector<std::string_view> names;
    for (const ChannelPreset& p : CHANNEL_PRESETS) names.push_back(p.name);
    return names;
}

const ChannelConfigSpec* spec_of(const ScriptCommand& c) {
    using C = ScriptCommand;
    if (const auto* x = std::get_if<C::SetDefaultConfig>(&c.kind)) return &x->config;
    if (const auto* x = std::get_if<C::SetRouteConfig>(&c.kind)) return &x->config;
    if (const auto* x = std::get_if<C::SetRoutesForNode>(&c.kind)) return &x->config;
    if (const auto* x = std::get_if<C::DefineNeighborhood>(&c.kind)) return &x->config;
    return nullptr;
}

// A route needs two different nodes.
std::optional<size_t> same_route_ends(const ScriptCommand& c) {
    using C = ScriptCommand;
    if (const auto* x = std::get_if<C::SetRouteConfig>(&c.kind); x && x->node_a == x->node_b) return x->node_a;
    if (const auto* x = std::get_if<C::UnsetRouteConfig>(&c.kind); x && x->node_a == x->node_b) return x->node_a;
    return std::nullopt;
}

std::optional<std::string> check(const SimScript& s) {
    for (size_t i = 0; i < s.actions.size(); ++i) {
        const ScriptAction& a = s.actions[i];
        if (a.at_secs < 0) return format("action[{}]: at_secs must be >= 0", i);
        if (a.commands.empty()) return action_prefix(i, a.at_secs) + "commands list must not be empty";
        for (const ScriptCommand& c : a.commands) {
            if (const ChannelConfigSpec* spec = spec_of(c)) {
                const auto* preset = std::get_if<ChannelConfigSpec::Preset>(&spec->kind);
                if (preset && !ChannelConfig::from_preset_name(preset->name)) {
                    return action_prefix(i, a.at_secs) +
                           format("unknown preset: {} (available: {:?})", shortened(preset->name), preset_names());
                }
            }
            if (std::optional<size_t> node = same_route_ends(c)) {
                return action_prefix(i, a.at_secs) + format("node_a and node_b must differ (both {})", *node);
            }
        }
    }
    return std::nullopt;
}

// The total order of doubles: -NaN < -inf < ... < -0.0 < 0.0 < ... < inf < NaN.
int64_t total_order_key(double v) {
    int64_t bits = 0;
    std::memcpy(&bits, &v, sizeof bits);
    return bits ^ static_cast<int64_t>(static_cast<uint64_t>(bits >> 63) >> 1);
}

// Reads the whole file into `out`, refusing one longer than
// MAX_SCRIPT_BYTES; on failure the operating system's description of the
// error.
std::optional<std::string> read_file(const std::string& path, std::string& out) {
    const std::string too_large =
        format("{} (the limit is {} bytes)", std::generic_category().message(EFBIG), MAX_SCRIPT_BYTES);
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::generic_category().message(errno);
    // A regular file's size is known: refuse it at once if it is too long,
    // else read it without the copies of growth.
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        if (static_cast<uint64_t>(st.st_size) > MAX_SCRIPT_BYTES) {
            ::close(fd);
            return too_large;
        }
        out.reserve(static_cast<size_t>(st.st_size));
    }
    char buf[65536];
    for (;;) {
        ssize_t got = ::read(fd, buf, sizeof buf);
        if (got < 0) {
            // An interrupt ends the load as it ends a blocked open: it is
            // how a script that never comes is given up.
            int e = errno;
            ::close(fd);
            return std::generic_category().message(e);
        }
        if (got == 0) break;
        if (static_cast<size_t>(got) > MAX_SCRIPT_BYTES - out.size()) {
            ::close(fd);
            return too_large;
        }
        out.append(buf, static_cast<size_t>(got));
    }
    ::close(fd);
    return std::nullopt;
}

// Parsing, checks and sorting of text already read. The text is given up
// once the tree is built, before the script's records are.
std::variant<SimScript, std::string> parse(std::string&& text) {
    std::variant<Document, std::string> tree = yaml::build_tree(text);
    std::string().swap(text);
    if (auto* e = std::get_if<std::string>(&tree)) return "YAML parse error: " + *e;
    SimScript script;
    try {
        script = Reader(std::get<Document>(tree)).script();
    } catch (const ReadError& e) {
        return "YAML parse error: " + e.message;
    }
    if (std::optional<std::string> e = check(script)) return std::move(*e);
    std::stable_sort(script.actions.begin(), script.actions.end(), [](const ScriptAction& a, const ScriptAction& b) {
        return total_order_key(a.at_secs) < total_order_key(b.at_secs);
    });
    return script;
}

}  // namespace

std::variant<SimScript, std::string> SimScript::load(const std::string& path) {
    std::string text;
    if (std::optional<std::string> e = read_file(path, text)) {
        return format("failed to read {}: {}", shortened(path), *e);
    }
    if (!is_utf8(text)) return format("failed to read {}: stream did not contain valid UTF-8", shortened(path));
    return parse(std::move(text));
}

std::optional<std::string> SimScript::validate_node_ids(const SimScript& script, size_t n) {
    using C = ScriptCommand;
    for (size_t i = 0; i < script.actions.size(); ++i) {
        const ScriptAction& a = script.actions[i];
        std::vector<size_t> ids;
        for (const ScriptCommand& c : a.commands) {
            ids.clear();
            std::visit(
                [&](const auto& x) {
                    using T = std::decay_t<decltype(x)>;
                    if constexpr (std::same_as<T, C::SetRouteConfig> || std::same_as<T, C::UnsetRouteConfig>) {
                        ids = {x.node_a, x.node_b};
                    } else if constexpr (std::same_as<T, C::SetRoutesForNode> ||
                                         std::same_as<T, C::UnsetRoutesForNode>) {
                        ids = {x.node};
                    } else if constexpr (std::same_as<T, C::DefineNeighborhood> ||
                                         std::same_as<T, C::UnsetNeighborhood>) {
                        ids = x.nodes;
                    } else if constexpr (std::same_as<T, C::NodeControl>) {
                        if (const auto* list = std::get_if<NodeSelector::List>(&x.nodes.kind)) ids = list->nodes;
                    }
                },
                c.kind);
            for (size_t id : ids) {
                if (id >= n) return action_prefix(i, a.at_secs) + format("node {} out of range (max {})", id, n);
            }
        }
    }
    return std::nullopt;
}

}  // namespace vesk
