#include "sim/script.hpp"

#include <yaml.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <concepts>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <deque>
#include <limits>
#include <memory>
#include <span>
#include <system_error>
#include <unordered_map>

#include "base/contract.hpp"
#include "base/text.hpp"

namespace vesk {

std::optional<ChannelConfig> ChannelConfigSpec::resolve() const {
    if (const auto* p = std::get_if<Preset>(&kind)) return ChannelConfig::from_preset_name(p->name);
    return std::get<Custom>(kind).config;
}

namespace {

// ---- the YAML tree ----

// Nesting far beyond what a script needs is refused before it costs memory.
constexpr size_t MAX_DEPTH = 128;
// Nodes that aliases may add to the document when expanded; bounds the work
// of reading a document whose aliases nest (billion laughs).
constexpr uint64_t MAX_ALIAS_EXPANSION = 100'000;

enum class ScalarKind : uint8_t { Null, Bool, Int, Float, Str };

// What a scalar's text resolves to.
struct Scalar {
    ScalarKind kind = ScalarKind::Str;
    bool negative = false;
    std::optional<uint64_t> magnitude;  // integers that fit
    double f64 = 0.0;                   // numbers
    float f32 = 0.0f;
};

// One node of the tree. A script at the size limit can hold millions, so a
// node is small and owns no memory: its text lives in the document's arena
// and its children in the document's child list. Every count and position
// fits in 32 bits, a column in 27, because the text is at most
// MAX_SCRIPT_BYTES long.
class Node {
public:
    enum class Type : uint8_t { Scalar, Sequence, Mapping };

    Node(Type type, ScalarKind kind, uint32_t line, uint32_t column)
        : line(line),
          column_(column & COLUMN_MASK),
          type_(static_cast<uint32_t>(type)),
          kind_(static_cast<uint32_t>(kind)) {}

    Type type() const { return static_cast<Type>(type_); }
    ScalarKind kind() const { return static_cast<ScalarKind>(kind_); }  // scalars
    uint32_t column() const { return column_; }

    uint32_t line = 0;  // 1-based, like the column
    // Scalars: the text's place in the arena. Collections: the children's
    // place in the child list; a mapping's are key, value, key, value, ...
    uint32_t first = 0;
    uint32_t size = 0;

private:
    static constexpr uint32_t COLUMN_MASK = (uint32_t{1} << 27) - 1;
    uint32_t column_ : 27;
    uint32_t type_ : 2;
    uint32_t kind_ : 3;
};
static_assert(sizeof(Node) == 16);
static_assert(MAX_SCRIPT_BYTES + 1 < (size_t{1} << 27));

struct Document {
    // Deques grow without copying what they hold, so the tree never needs
    // twice its size while it is built.
    std::deque<Node> nodes;
    std::deque<uint32_t> children;
    std::string arena;
    std::optional<uint32_t> root;

    const Node& child(const Node& n, size_t i) const { return nodes[children[n.first + i]]; }
    // Scalars only.
    std::string_view text(const Node& n) const { return std::string_view(arena).substr(n.first, n.size); }
};

// A problem found while mapping the tree onto the script's records.
struct ReadError {
    std::string message;
};

std::string located(std::string_view problem, size_t line, size_t column) {
    return format("{} at line {} column {}", problem, line, column);
}

// ---- numbers ----

bool is_digit(char c, int base) {
    if (c >= '0' && c <= '9') return c - '0' < base;
    if (base == 16) return (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    return false;
}

// Whether a decimal text that from_chars found out of range is too large
// (else too small): the position of its first significant digit plus its
// exponent.
bool decimal_overflows(std::string_view t) {
    size_t e = t.find_first_of("eE");
    std::string_view mantissa = t.substr(0, e);
    int64_t order = 0;
    bool seen_point = false;
    bool found = false;
    int64_t int_digits = 0;
    int64_t frac_zeros = 0;
    for (char c : mantissa) {
        if (c == '.') {
            seen_point = true;
        } else if (!found) {
            if (c != '0') {
                found = true;
                if (!seen_point) ++int_digits;
            } else if (seen_point) {
                ++frac_zeros;
            }
        } else if (!seen_point) {
            ++int_digits;
        }
    }
    order = found ? (int_digits > 0 ? int_digits : -frac_zeros) : 0;
    int64_t exponent = 0;
    if (e != std::string_view::npos) {
        std::string_view x = t.substr(e + 1);
        bool neg = !x.empty() && x[0] == '-';
        if (!x.empty() && (x[0] == '-' || x[0] == '+')) x.remove_prefix(1);
        for (char c : x) exponent = std::min<int64_t>(exponent * 10 + (c - '0'), 1'000'000'000);
        if (neg) exponent = -exponent;
    }
    return order + exponent > 0;
}

// A decimal number text without sign, rounded once to T; out of range gives
// infinity or zero, as a float parse would.
template <class T>
T parse_decimal(std::string_view t) {
    T v{};
    auto r = std::from_chars(t.data(), t.data() + t.size(), v, std::chars_format::general);
    if (r.ec == std::errc::result_out_of_range) {
        return decimal_overflows(t) ? std::numeric_limits<T>::infinity() : T(0);
    }
    return v;
}

// Plain scalars resolve as in the YAML core schema.
Scalar resolve_plain(std::string_view t) {
    Scalar n;
    if (t.empty() || t == "~" || t == "null" || t == "Null" || t == "NULL") {
        n.kind = ScalarKind::Null;
        return n;
    }
    if (t == "true" || t == "True" || t == "TRUE" || t == "false" || t == "False" || t == "FALSE") {
        n.kind = ScalarKind::Bool;
        return n;
    }
    std::string_view body = t;
    bool negative = false;
    if (body[0] == '-' || body[0] == '+') {
        negative = body[0] == '-';
        body.remove_prefix(1);
    }
    auto set_float = [&](double d, float f) {
        n.kind = ScalarKind::Float;
        n.f64 = negative ? -d : d;
        n.f32 = negative ? -f : f;
    };
    if (body == ".inf" || body == ".Inf" || body == ".INF") {
        set_float(std::numeric_limits<double>::infinity(), std::numeric_limits<float>::infinity());
        return n;
    }
    if (t == ".nan" || t == ".NaN" || t == ".NAN") {
        set_float(std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<float>::quiet_NaN());
        return n;
    }
    // Integers: decimal, 0x hexadecimal, 0o octal.
    int base = 10;
    std::string_view digits = body;
    if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'o')) {
        base = t[1] == 'x' ? 16 : 8;
        digits = t.substr(2);
        negative = false;
    }
    if (!digits.empty() && std::all_of(digits.begin(), digits.end(), [&](char c) { return is_digit(c, base); })) {
        n.kind = ScalarKind::Int;
        n.negative = negative;
        uint64_t m = 0;
        auto r = std::from_chars(digits.data(), digits.data() + digits.size(), m, base);
        if (r.ec == std::errc()) {
            n.magnitude = m;
            n.f64 = negative ? -static_cast<double>(m) : static_cast<double>(m);
            n.f32 = negative ? -static_cast<float>(m) : static_cast<float>(m);
            return n;
        }
        // Too large for an integer: still a number.
        if (base == 10) {
            set_float(parse_decimal<double>(digits), parse_decimal<float>(digits));
        } else {
            double d = 0.0;
            for (char c : digits) {
                int v = c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
                d = d * base + v;
            }
            float f = std::fabs(d) > std::numeric_limits<float>::max() ? std::numeric_limits<float>::infinity()
                                                                       : static_cast<float>(d);
            set_float(d, f);
        }
        n.kind = ScalarKind::Int;
        return n;
    }
    // Floats: digits with an optional point and exponent.
    size_t i = 0;
    size_t mantissa_digits = 0;
    while (i < body.size() && is_digit(body[i], 10)) ++i, ++mantissa_digits;
    if (i < body.size() && body[i] == '.') {
        ++i;
        while (i < body.size() && is_digit(body[i], 10)) ++i, ++mantissa_digits;
    }
    bool ok = mantissa_digits > 0;
    if (ok && i < body.size() && (body[i] == 'e' || body[i] == 'E')) {
        ++i;
        if (i < body.size() && (body[i] == '-' || body[i] == '+')) ++i;
        size_t exp_start = i;
        while (i < body.size() && is_digit(body[i], 10)) ++i;
        ok = i > exp_start;
    }
    if (ok && i == body.size()) {
        set_float(parse_decimal<double>(body), parse_decimal<float>(body));
        return n;
    }
    n.kind = ScalarKind::Str;
    return n;
}

// "string \"x\"", "integer `5`", "map", ... for type errors; `text` is a
// scalar's text.
std::string describe(const Node& n, std::string_view text) {
    switch (n.type()) {
        case Node::Type::Sequence:
            return "sequence";
        case Node::Type::Mapping:
            return "map";
        case Node::Type::Scalar:
            break;
    }
    switch (n.kind()) {
        case ScalarKind::Null:
            return "null";
        case ScalarKind::Bool:
            return format("boolean `{}`", text);
        case ScalarKind::Int:
            return format("integer `{}`", text);
        case ScalarKind::Float:
            return format("floating point `{}`", text);
        case ScalarKind::Str:
            break;
    }
    return format("string {:?}", text);
}

// ---- building the tree from libyaml's events ----

class Parser {
public:
    Parser() : ready_(yaml_parser_initialize(&parser_) != 0) {}
    ~Parser() {
        if (ready_) yaml_parser_delete(&parser_);
    }
    Parser(const Parser&) = delete;
    Parser& operator=(const Parser&) = delete;

    // The document, or the problem without the "YAML parse error: " prefix.
    std::variant<Document, std::string> run(std::string_view text) {
        contract_check(text.size() <= MAX_SCRIPT_BYTES, "a script's text is within the size limit");
        if (!ready_) return std::string("out of memory");
        // libyaml recognises the encoding itself, a byte-order mark included;
        // the text has been checked to be UTF-8.
        yaml_parser_set_input_string(&parser_, reinterpret_cast<const unsigned char*>(text.data()), text.size());
        Document doc;
        // Open collections with the anchor to register once they are
        // complete. The children of every open collection wait in `pending`,
        // innermost last, until their collection ends.
        struct Open {
            uint32_t node;
            size_t first_pending;
            std::optional<std::string> anchor;
        };
        std::vector<Open> open;
        std::deque<uint32_t> pending;
        std::unordered_map<std::string, uint32_t> anchors;
        size_t documents = 0;

        auto add = [&](uint32_t index) {
            if (open.empty()) {
                doc.root = index;
            } else {
                pending.push_back(index);
            }
        };
        auto new_node = [&](Node n) {
            auto index = static_cast<uint32_t>(doc.nodes.size());
            doc.nodes.push_back(n);
            add(index);
            return index;
        };
        auto anchor_of = [](const yaml_char_t* a) -> std::optional<std::string> {
            if (!a) return std::nullopt;
            return std::string(reinterpret_cast<const char*>(a));
        };

        for (;;) {
            yaml_event_t event;
            if (!yaml_parser_parse(&parser_, &event)) return parser_problem();
            std::unique_ptr<yaml_event_t, void (*)(yaml_event_t*)> guard(&event, yaml_event_delete);
            const auto line = static_cast<uint32_t>(event.start_mark.line + 1);
            const auto column = static_cast<uint32_t>(event.start_mark.column + 1);
            switch (event.type) {
                case YAML_STREAM_END_EVENT:
                    if (!doc.root) return std::string("the file holds no YAML document");
                    return doc;
                case YAML_DOCUMENT_START_EVENT:
                    if (++documents > 1) return located("the file holds more than one YAML document", line, column);
                    break;
                case YAML_SCALAR_EVENT: {
                    std::string_view value(reinterpret_cast<const char*>(event.data.scalar.value),
                                           event.data.scalar.length);
                    const char* tag = reinterpret_cast<const char*>(event.data.scalar.tag);
                    bool as_text = event.data.scalar.style != YAML_PLAIN_SCALAR_STYLE ||
                                   (tag && (std::strcmp(tag, "tag:yaml.org,2002:str") == 0 || std::strcmp(tag, "!") == 0));
                    Node n(Node::Type::Scalar, as_text ? ScalarKind::Str : resolve_plain(value).kind, line, column);
                    n.first = static_cast<uint32_t>(doc.arena.size());
                    n.size = static_cast<uint32_t>(value.size());
                    doc.arena.append(value);
                    uint32_t index = new_node(n);
                    if (auto a = anchor_of(event.data.scalar.anchor)) anchors[*a] = index;
                    break;
                }
                case YAML_SEQUENCE_START_EVENT:
                case YAML_MAPPING_START_EVENT: {
                    if (open.size() >= MAX_DEPTH) {
                        return located(format("nesting deeper than {} levels", MAX_DEPTH), line, column);
                    }
                    bool seq = event.type == YAML_SEQUENCE_START_EVENT;
                    uint32_t index = new_node(
                        Node(seq ? Node::Type::Sequence : Node::Type::Mapping, ScalarKind::Null, line, column));
                    open.push_back(Open{index, pending.size(),
                                        anchor_of(seq ? event.data.sequence_start.anchor
                                                      : event.data.mapping_start.anchor)});
                    break;
                }
                case YAML_SEQUENCE_END_EVENT:
                case YAML_MAPPING_END_EVENT: {
                    Open done = std::move(open.back());
                    open.pop_back();
                    Node& n = doc.nodes[done.node];
                    n.first = static_cast<uint32_t>(doc.children.size());
                    n.size = static_cast<uint32_t>(pending.size() - done.first_pending);
                    doc.children.insert(doc.children.end(), pending.begin() + static_cast<ptrdiff_t>(done.first_pending),
                                        pending.end());
                    pending.resize(done.first_pending);
                    // Registered only now, so an alias never names an
                    // enclosing collection and the tree has no cycles.
                    if (done.anchor) anchors[*done.anchor] = done.node;
                    break;
                }
                case YAML_ALIAS_EVENT: {
                    std::string name(reinterpret_cast<const char*>(event.data.alias.anchor));
                    auto it = anchors.find(name);
                    if (it == anchors.end()) return located(format("unknown anchor {:?}", name), line, column);
                    add(it->second);
                    // Each alias adds its target's expanded subtree once.
                    expanded_extra_ += expanded_size(doc, it->second, MAX_ALIAS_EXPANSION - expanded_extra_);
                    if (expanded_extra_ > MAX_ALIAS_EXPANSION) {
                        return located(format("aliases expand the document by more than {} nodes", MAX_ALIAS_EXPANSION),
                                       line, column);
                    }
                    break;
                }
                default:
                    break;
            }
        }
    }

private:
    // The nodes of the subtree at `root` with its aliases expanded, counted
    // no further than `limit` + 1, so that nesting aliases cost no more work
    // than the limit allows.
    static uint64_t expanded_size(const Document& doc, uint32_t root, uint64_t limit) {
        struct Visit {
            uint32_t node;
            uint32_t next_child;
        };
        std::vector<Visit> path{{root, 0}};
        uint64_t count = 1;
        while (!path.empty() && count <= limit) {
            Visit& v = path.back();
            const Node& n = doc.nodes[v.node];
            if (n.type() == Node::Type::Scalar || v.next_child == n.size) {
                path.pop_back();
                continue;
            }
            uint32_t c = doc.children[n.first + v.next_child++];
            path.push_back({c, 0});
            ++count;
        }
        return count;
    }

    std::string parser_problem() const {
        const char* problem = parser_.problem ? parser_.problem : "unknown problem";
        switch (parser_.error) {
            case YAML_MEMORY_ERROR:
                return "out of memory";
            case YAML_READER_ERROR:
                if (parser_.problem_value != -1) {
                    return format("{} (#x{}) at byte {}", problem, hex_byte(parser_.problem_value),
                                  parser_.problem_offset);
                }
                return format("{} at byte {}", problem, parser_.problem_offset);
            default:
                break;
        }
        std::string out;
        if (parser_.context) {
            out = located(parser_.context, parser_.context_mark.line + 1, parser_.context_mark.column + 1);
            out += ", ";
        }
        out += located(problem, parser_.problem_mark.line + 1, parser_.problem_mark.column + 1);
        return out;
    }

    static std::string hex_byte(int v) {
        char buf[16];
        auto r = std::to_chars(buf, buf + sizeof buf, static_cast<unsigned>(v), 16);
        std::string s(buf, r.ptr);
        for (char& c : s) c = static_cast<char>(c >= 'a' && c <= 'f' ? c - 'a' + 'A' : c);
        return s.size() < 2 ? "0" + s : s;
    }

    yaml_parser_t parser_{};
    bool ready_ = false;
    uint64_t expanded_extra_ = 0;
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
        return vesk::describe(n, n.type() == Node::Type::Scalar ? text(n) : std::string_view());
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
                           format("unknown preset: {} (available: {:?})", preset->name, preset_names());
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
    std::variant<Document, std::string> tree = Parser().run(text);
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
    if (std::optional<std::string> e = read_file(path, text)) return format("failed to read {}: {}", path, *e);
    if (!is_utf8(text)) return format("failed to read {}: stream did not contain valid UTF-8", path);
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
