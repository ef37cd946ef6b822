#include "sim/yaml_tree.hpp"

#include <yaml.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <system_error>
#include <unordered_map>
#include <vector>

#include "base/contract.hpp"
#include "base/text.hpp"

namespace vesk::yaml {

namespace {

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

}  // namespace

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
            return format("boolean `{}`", shortened(text));
        case ScalarKind::Int:
            return format("integer `{}`", shortened(text));
        case ScalarKind::Float:
            return format("floating point `{}`", shortened(text));
        case ScalarKind::Str:
            break;
    }
    return format("string {:?}", shortened(text));
}

std::string located(std::string_view problem, size_t line, size_t column) {
    return format("{} at line {} column {}", problem, line, column);
}

namespace {

// ---- building the tree from libyaml's events ----

class Parser {
public:
    Parser() : ready_(yaml_parser_initialize(&parser_) != 0) {}
    ~Parser() {
        if (ready_) yaml_parser_delete(&parser_);
    }
    Parser(const Parser&) = delete;
    Parser& operator=(const Parser&) = delete;

    std::variant<Document, std::string> run(std::string_view text) {
        contract_check(text.size() <= MAX_TEXT_BYTES, "a YAML text is within the tree's size limit");
        // libyaml allocates with malloc; its failing to is exhausted memory
        // as anywhere else, not a fault of the script.
        if (!ready_) throw std::bad_alloc();
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
                    if (it == anchors.end()) {
                        return located(format("unknown anchor {:?}", shortened(name)), line, column);
                    }
                    add(it->second);
                    // Each alias adds its target's expanded subtree once.
                    expand(doc, it->second, expanded_);
                    if (expanded_.nodes > MAX_ALIAS_EXPANSION) {
                        return located(format("aliases expand the document by more than {} nodes", MAX_ALIAS_EXPANSION),
                                       line, column);
                    }
                    if (expanded_.text > MAX_ALIAS_TEXT) {
                        return located(
                            format("aliases expand the document by more than {} bytes of text", MAX_ALIAS_TEXT), line,
                            column);
                    }
                    break;
                }
                default:
                    break;
            }
        }
    }

private:
    // What aliases add to the document: nodes, and the bytes of their scalars.
    struct Expansion {
        uint64_t nodes = 0;
        uint64_t text = 0;
    };

    // Adds the subtree at `root` with its aliases expanded to `total`, and
    // stops once either bound is passed, so that nesting aliases cost no more
    // work than the bounds allow.
    static void expand(const Document& doc, uint32_t root, Expansion& total) {
        struct Visit {
            uint32_t node;
            uint32_t next_child;
        };
        auto enter = [&](uint32_t i) {
            ++total.nodes;
            const Node& n = doc.nodes[i];
            if (n.type() == Node::Type::Scalar) total.text += n.size;
        };
        std::vector<Visit> path{{root, 0}};
        enter(root);
        while (!path.empty() && total.nodes <= MAX_ALIAS_EXPANSION && total.text <= MAX_ALIAS_TEXT) {
            Visit& v = path.back();
            const Node& n = doc.nodes[v.node];
            if (n.type() == Node::Type::Scalar || v.next_child == n.size) {
                path.pop_back();
                continue;
            }
            uint32_t c = doc.children[n.first + v.next_child++];
            path.push_back({c, 0});
            enter(c);
        }
    }

    std::string parser_problem() const {
        const char* problem = parser_.problem ? parser_.problem : "unknown problem";
        switch (parser_.error) {
            case YAML_MEMORY_ERROR:
                throw std::bad_alloc();
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
    Expansion expanded_;
};

}  // namespace

std::variant<Document, std::string> build_tree(std::string_view text) { return Parser().run(text); }

}  // namespace vesk::yaml
