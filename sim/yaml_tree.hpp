#pragma once
// A YAML text as a bounded tree built from libyaml's events, and the
// resolution of plain scalars as in the YAML core schema. The bounds keep
// any text cheap to read: the nesting depth, and what aliases add in nodes
// and in text, are refused beyond a fixed size before they cost memory.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace vesk::yaml {

// The longest text a tree is built from.
inline constexpr size_t MAX_TEXT_BYTES = (size_t{1} << 27) - 2;
// Nesting far beyond what a script needs is refused before it costs memory.
inline constexpr size_t MAX_DEPTH = 128;
// Nodes that aliases may add to the document when expanded; bounds the work
// of reading a document whose aliases nest (billion laughs).
inline constexpr uint64_t MAX_ALIAS_EXPANSION = 100'000;
// Bytes of scalar text that aliases may add. The records copy the text they
// read, so without this one long scalar named many times would cost its
// length each time; a real script names short texts a few times.
inline constexpr uint64_t MAX_ALIAS_TEXT = uint64_t{1} << 20;

enum class ScalarKind : uint8_t { Null, Bool, Int, Float, Str };

// What a scalar's text resolves to.
struct Scalar {
    ScalarKind kind = ScalarKind::Str;
    bool negative = false;
    std::optional<uint64_t> magnitude;  // integers that fit
    double f64 = 0.0;                   // numbers
    float f32 = 0.0f;
};

// One node of the tree. A text at the size limit can hold millions, so a
// node is small and owns no memory: its text lives in the document's arena
// and its children in the document's child list. Every count and position
// fits in 32 bits, a column in 27, because the text is at most
// MAX_TEXT_BYTES long.
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
static_assert(MAX_TEXT_BYTES + 1 < (size_t{1} << 27));

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

// A plain scalar's text resolved as in the YAML core schema: null,
// booleans, integers (decimal, 0x, 0o), floats, and otherwise text.
Scalar resolve_plain(std::string_view t);

// "string \"x\"", "integer `5`", "map", ... for type errors; `text` is a
// scalar's text.
std::string describe(const Node& n, std::string_view text);

// "{problem} at line {line} column {column}".
std::string located(std::string_view problem, size_t line, size_t column);

// The tree of a text of one YAML document, or the problem without the
// "YAML parse error: " prefix.
std::variant<Document, std::string> build_tree(std::string_view text);

}  // namespace vesk::yaml
