#include "sim/yaml_tree.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <variant>

namespace vesk::yaml {
namespace {

TEST(YamlScalar, PlainTextsResolveAsInTheCoreSchema) {
    constexpr double INF = std::numeric_limits<double>::infinity();
    struct Case {
        const char* text;
        ScalarKind kind;
        std::optional<uint64_t> magnitude = std::nullopt;
        double f64 = 0.0;
    };
    const Case cases[] = {
        {"", ScalarKind::Null},
        {"~", ScalarKind::Null},
        {"NULL", ScalarKind::Null},
        {"nULL", ScalarKind::Str},
        {"True", ScalarKind::Bool},
        {"yes", ScalarKind::Str},
        {"42", ScalarKind::Int, 42, 42.0},
        {"-7", ScalarKind::Int, 7, -7.0},
        {"+0", ScalarKind::Int, 0, 0.0},
        {"0x1F", ScalarKind::Int, 31, 31.0},
        {"0o17", ScalarKind::Int, 15, 15.0},
        {"0b1", ScalarKind::Str},
        // Too large for an integer, still a number.
        {"18446744073709551616", ScalarKind::Int, std::nullopt, 18446744073709551616.0},
        {"2.5", ScalarKind::Float, std::nullopt, 2.5},
        {".5", ScalarKind::Float, std::nullopt, 0.5},
        {"1e3", ScalarKind::Float, std::nullopt, 1000.0},
        {"1e400", ScalarKind::Float, std::nullopt, INF},
        {"-1e-400", ScalarKind::Float, std::nullopt, -0.0},
        {"-.Inf", ScalarKind::Float, std::nullopt, -INF},
        {"1e", ScalarKind::Str},
        {"1.2.3", ScalarKind::Str},
        {"0x", ScalarKind::Str},
    };
    for (const Case& c : cases) {
        const Scalar s = resolve_plain(c.text);
        EXPECT_EQ(s.kind, c.kind) << c.text;
        EXPECT_EQ(s.magnitude, c.magnitude) << c.text;
        if (c.kind == ScalarKind::Int || c.kind == ScalarKind::Float) {
            EXPECT_EQ(s.f64, c.f64) << c.text;
            EXPECT_EQ(std::signbit(s.f64), std::signbit(c.f64)) << c.text;
        }
    }
    EXPECT_TRUE(std::isnan(resolve_plain(".NaN").f64));
    // The 32-bit value is rounded once from the text, not from the double.
    EXPECT_EQ(resolve_plain("16777217.000000001").f32, 16777218.0f);
    EXPECT_EQ(resolve_plain("1e39").f32, std::numeric_limits<float>::infinity());
}

TEST(YamlTree, AliasesShareTheirNodeAndQuotedTextStaysText) {
    auto built = build_tree("a: &x [1, '2', !!str 3]\nb: *x\n");
    ASSERT_TRUE(std::holds_alternative<Document>(built)) << std::get<std::string>(built);
    const Document& doc = std::get<Document>(built);
    const Node& root = doc.nodes[*doc.root];
    ASSERT_EQ(root.type(), Node::Type::Mapping);
    ASSERT_EQ(root.size, 4u);
    const Node& list = doc.child(root, 1);
    EXPECT_EQ(&doc.child(root, 3), &list);
    ASSERT_EQ(list.type(), Node::Type::Sequence);
    ASSERT_EQ(list.size, 3u);
    EXPECT_EQ(doc.child(list, 0).kind(), ScalarKind::Int);
    EXPECT_EQ(doc.child(list, 1).kind(), ScalarKind::Str);
    EXPECT_EQ(doc.child(list, 2).kind(), ScalarKind::Str);
    EXPECT_EQ(doc.text(doc.child(list, 2)), "3");
    EXPECT_EQ(doc.child(root, 2).line, 2u);
    EXPECT_EQ(list.column(), 4u);
    EXPECT_EQ(describe(doc.child(list, 1), doc.text(doc.child(list, 1))), "string \"2\"");
    EXPECT_EQ(describe(list, {}), "sequence");

    EXPECT_EQ(std::get<std::string>(build_tree("")), "the file holds no YAML document");
    EXPECT_EQ(std::get<std::string>(build_tree("a\n---\nb\n")),
              "the file holds more than one YAML document at line 2 column 1");
}

}  // namespace
}  // namespace vesk::yaml
