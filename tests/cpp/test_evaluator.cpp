#include <gtest/gtest.h>
#include <pugixml.hpp>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <limits>

#include "korvalite/genicam/evaluator.hpp"
#include "korvalite/genicam/zip.hpp"
#include "shared_descriptions.hpp"

using namespace korvalite::genicam;

namespace {

using Outcome = std::expected<Value, std::string>;

Value I(std::int64_t x) { return Value::from_int(x); }
Value F(double x) { return Value::from_float(x); }
Outcome Err(std::string message) { return std::unexpected(std::move(message)); }

// One readable line per outcome, so that kind, sign of zero and NaN all take part in comparisons.
std::string show(const Outcome& outcome) {
    if (!outcome) return "error: " + outcome.error();
    if (outcome->is_int()) return "int " + std::to_string(outcome->int_value());
    if (std::isnan(outcome->float_value())) return "float nan";
    char text[64];
    std::snprintf(text, sizeof text, "float %.17g", outcome->float_value());
    return text;
}

Outcome run(std::string_view formula, std::vector<Value> values = {}) {
    auto expr = parse(formula);
    if (!expr) return std::unexpected(expr.error());
    return eval(*expr, values);
}

struct Case {
    std::string formula;
    Outcome expected;
    std::vector<Value> values = {};
};

void check(const std::vector<Case>& cases) {
    for (const auto& c : cases) EXPECT_EQ(show(run(c.formula, c.values)), show(c.expected)) << c.formula;
}

constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

}  // namespace

TEST(Formula, PrecedenceAndAssociativity) {
    check({
        {"2 ** 3 ** 2", F(64.0)},
        {"-2 ** 2", F(4.0)},
        {"1 + 2 * 3 - 4 / 2", I(5)},
        {"10 - 4 - 3", I(3)},
        {"(1 + 2) * 3", I(9)},
        {"1 << 2 + 1", I(5)},
        {"1 + 1 << 2", I(5)},
        {"2 * 3 ** 2", F(18.0)},
        {"6 & 3 = 2", I(1)},  // & binds tighter than =
        {"1 < 2 = 1", I(1)},
        {"1 | 2 ^ 3 & 1", I(0)},  // one level, left to right
        {"0 || 1 && 0", I(0)},
        {"1 || 0 && 0", I(0)},  // one level with the comparisons
        {"1 = 1 && 2", I(1)},
        {"SIN(x) ** 2", F(std::pow(std::sin(0.5), 2)), {F(0.5)}},
        {"SIN(COS(0))", F(std::sin(1.0))},
        {"SIN COS x", Err("expression stack underflow"), {F(0.5)}},
        {"1 + SIN x", F(1.0 + std::sin(0.5)), {F(0.5)}},
        {"--5", I(5)},
        {"+-5", I(-5)},
        {"+2.5", F(2.5)},
        {"\t1\n+\r2\f", I(3)},
    });
    // a ? b : c ? d : e groups as a ? b : (c ? d : e).
    const std::vector<Value> picks_d{I(0), I(10), I(1), I(20), I(30)};
    const std::vector<Value> picks_b{I(1), I(10), I(0), I(20), I(30)};
    check({
        {"a ? b : c ? d : e", I(20), picks_d},
        {"a ? b : c ? d : e", I(10), picks_b},
        {"0.5 ? 1 : 2.5", I(1)},
        {"-0.0 ? 1 : 2.5", F(2.5)},
    });
}

TEST(Formula, IntegerAndFloatArithmetic) {
    check({
        {"7 / 2", I(3)},
        {"7 / 2.0", F(3.5)},
        {"-7 / 2", I(-3)},
        {"-7 % 2", I(-1)},
        {"7.5 % 2", I(0)},
        {"10 % -3", I(1)},
        {"1 / 0", Err("division by zero")},
        {"1.0 / 0", F(kInf)},
        {"0 / 0.0", F(kNaN)},
        {"1 % 0", Err("remainder by zero")},
        {"1 % 0.4", Err("remainder by zero")},
        {"0x7FFFFFFFFFFFFFFF + 1", I(kMin)},
        {"-0x7FFFFFFFFFFFFFFF - 2", I(kMax)},
        {"0x7FFFFFFFFFFFFFFF * 2", I(-2)},
        {"(-0x7FFFFFFFFFFFFFFF - 1) / -1", I(kMin)},
        {"(-0x7FFFFFFFFFFFFFFF - 1) % -1", I(0)},
        {"-(-0x7FFFFFFFFFFFFFFF - 1)", I(kMin)},
        {"ABS(-0x7FFFFFFFFFFFFFFF - 1)", I(kMin)},
        {"2 ** 3", F(8.0)},
        {"1 + 0.5", F(1.5)},
        {"-(0.0)", F(-0.0)},
        {"NEG(-3)", I(3)},
        {"ABS(-2.5)", F(2.5)},
    });
}

TEST(Formula, ComparisonsLogicAndBits) {
    check({
        {"3 = 3.0", I(1)},
        {"3 <> 3", I(0)},
        {"2 <= 2", I(1)},
        {"2 >= 3", I(0)},
        {"-1 < 0", I(1)},
        {"0.5 > 0", I(1)},
        // Integers compare exactly; once a float takes part both sides are doubles.
        {"9007199254740993 > 9007199254740992", I(1)},
        {"9007199254740993 > 9007199254740992.0", I(0)},
        {"SQRT(-1) < 1", Err("NaN in comparison")},
        {"1 = SQRT(-1)", Err("NaN in comparison")},
        {"SQRT(-1) + 1", F(kNaN)},
        {"SQRT(-1) && 1", I(1)},
        {"0.0 || -0.0", I(0)},
        {"2 && 3", I(1)},
        {"1 << 65", Err("shift count outside 0..63")},
        {"1 << -1", Err("shift count outside 0..63")},
        {"1 << 63", I(kMin)},
        {"-8 >> 1", I(-4)},
        {"-1 >> 64", Err("shift count outside 0..63")},
        {"-1 >> 63", I(-1)},
        {"~0", I(-1)},
        {"~2.5", I(-4)},
        {"2.5 | 0", I(3)},
        {"5 ^ 1", I(4)},
        {"6 & 3", I(2)},
    });
}

// && and || evaluate both sides; ?: evaluates only the branch it takes.
TEST(Formula, NoShortCircuit) {
    for (std::int64_t x : {0, 1}) {
        check({
            {"x && 1 % y", Err("remainder by zero"), {I(x), I(0)}},
            {"x || 1 / y", Err("division by zero"), {I(x), I(0)}},
        });
    }
    check({
        {"x ? 1 : 1/y", I(1), {I(1), I(0)}},
        {"x ? 1 : 1/y", Err("division by zero"), {I(0), I(0)}},
        {"(y <> 0) ? (1 / y) : 0", I(0), {I(0)}},
        {"x ? 1 % y : 2", I(2), {I(0), I(0)}},
        {"x ? (y ? 1/0 : 2) : 3", I(2), {I(1), I(0)}},
        {"x ? 1 : y ? 1/0 : 4", I(4), {I(0), I(0)}},
        {"1 + (x ? 10 : 20) * 2", I(21), {I(1)}},
        {"x ? 1 : y", Err("variable 'y' unbound"), {I(1)}},  // every name needs a value
    });
}

TEST(Formula, Functions) {
    check({
        {"sin(0)", F(0.0)},
        {"Sin(0)", F(0.0)},
        {"SIN(0)", F(0.0)},
        {"COS(0)", F(1.0)},
        {"TAN(0)", F(0.0)},
        {"ATAN(1) * 4", F(std::atan(1.0) * 4)},
        {"ASIN(2)", F(kNaN)},
        {"ACOS(1)", F(0.0)},
        {"EXP(0)", F(1.0)},
        {"LN(E)", F(1.0)},
        {"LG(1000)", F(3.0)},
        {"SQRT(16)", F(4.0)},
        {"ROUND(2.5)", F(3.0)},
        {"ROUND(-2.5)", F(-3.0)},
        {"ROUND(1234.5678, 2)", F(1234.57)},
        {"ROUND(-1234.5678, 0) + 1", F(-1234.0)},
        {"ROUND((1 + 2) / 4.0, 1 + 0)", F(0.8)},
        {"ROUND(1, 2, 3)", Err("unexpected character ','")},
        {"SIN(1, 2)", Err("unexpected character ','")},
        {"1, 2", Err("unexpected character ','")},
        {"ROUND(0.49999999999999994)", F(0.0)},
        {"TRUNC(7)", F(7.0)},
        {"TRUNC(-1.7)", F(-1.0)},
        {"FLOOR(-1.5)", F(-2.0)},
        {"CEIL(1.2)", F(2.0)},
        {"SGN(-5)", I(-1)},
        {"SGN(2.5)", I(1)},
        {"SGN(-0.0)", I(0)},
        {"SGN(SQRT(-1))", I(0)},
        {"PI", F(3.141592653589793)},
        {"E", F(2.718281828459045)},
        {"pi", F(1.5), {F(1.5)}},
        {"e", I(4), {I(4)}},
    });
}

TEST(Formula, Literals) {
    check({
        {"0x7FFFFFFFFFFFFFFF", I(kMax)},
        {"0X1f", I(31)},
        {"0x8000000000000000", Err("bad hex literal: number too large to fit in target type")},
        {"0xg", Err("bad hex literal: cannot parse integer from empty string")},
        {"0x", Err("variable 'x' unbound")},  // too short for a hex literal: 0 followed by x
        {"9223372036854775807", I(kMax)},
        {"9223372036854775808", Err("bad int literal: number too large to fit in target type")},
        {".5", F(0.5)},
        {"5.", F(5.0)},
        {"1e3", F(1000.0)},
        {"1.5E-1", F(0.15)},
        {"1e400", F(kInf)},
        {"1e-400", F(0.0)},
        {"1.2.3", Err("bad float literal: invalid float literal")},
        {"1e+", Err("bad float literal: invalid float literal")},
        {"2x", Err("malformed expression"), {I(3)}},
        {"2E", Err("malformed expression")},
    });
}

TEST(Formula, StructuralFailures) {
    check({
        {"(1 + 2", Err("unbalanced parenthesis")},
        {"1 + 2)", Err("unbalanced parenthesis")},
        {"1 2", Err("malformed expression")},
        {"", Err("malformed expression")},
        {"1 : 2", Err("':' without '?'")},
        {"(1 ? 2) : 3", Err("'?' without ':'")},
        {"1 +", Err("expression stack underflow")},
        {"1 ? 2", Err("'?' without ':'")},
        {"? 1 : 2", Err("expression stack underflow")},
        {"1 == 1", Err("expression stack underflow")},
        {"a + b", Err("variable 'b' unbound"), {I(1)}},
        {"1 != 2", Err("unexpected character '!'")},
        {"MAX(1, 2)", Err("unexpected character ','")},
        {"a[0]", Err("unexpected character '['")},
        {".", Err("unexpected character '.'")},
        {"1 \v+ 2", Err("unexpected character '\v'")},
        {"x \xC3\xA9", Err("unexpected character '\xC3\xA9'")},
    });
}

TEST(Formula, VariableNamesInOrderOfFirstAppearance) {
    const auto expr = parse("b + A.B * b + x + X + A.B + pi");
    ASSERT_TRUE(expr) << expr.error();
    EXPECT_EQ(expr->names, (std::vector<std::string>{"b", "A.B", "x", "X", "pi"}));

    const auto postfix = parse("1 + 2.5 * y");
    ASSERT_TRUE(postfix);
    EXPECT_EQ(postfix->ops, (std::vector<Op>{Op::int_literal(1), Op::float_literal(2.5), Op::variable_ref(0),
                                             Op::op(OpKind::Multiply), Op::op(OpKind::Add)}));
}

TEST(Formula, AtMost65536DistinctVariables) {
    std::string formula = "v0";
    for (int i = 1; i < 65536; ++i) formula += "+v" + std::to_string(i);
    const auto widest = parse(formula);
    ASSERT_TRUE(widest) << widest.error();
    EXPECT_EQ(widest->names.size(), 65536u);
    EXPECT_EQ(widest->names.back(), "v65535");

    const auto too_wide = parse(formula + "+v65536");
    ASSERT_FALSE(too_wide);
    EXPECT_EQ(too_wide.error(), "too many variables");
}

TEST(Formula, HandBuiltProgramsFailCleanly) {
    Expr stray{{Op::op(static_cast<OpKind>(200))}, {}};
    EXPECT_EQ(show(eval(stray, {})), show(Err("internal: operand in operator position")));
    Expr lonely{{Op::op(OpKind::Negate)}, {}};
    EXPECT_EQ(show(eval(lonely, {})), show(Err("expression stack underflow")));
    Expr nameless{{Op::variable_ref(3)}, {}};
    EXPECT_EQ(show(eval(nameless, {})), show(Err("variable '#3' unbound")));
}

TEST(Formula, DeepStacksSpillToTheHeap) {
    // 100 operands are pushed before the first operator applies.
    std::string formula;
    for (int i = 0; i < 100; ++i) formula += "1 + (";
    formula += "1" + std::string(100, ')');
    EXPECT_EQ(show(run(formula)), show(I(101)));
}

TEST(Formula, RepeatedEvaluationWithOtherValues) {
    const auto expr = parse("Width * Height");
    ASSERT_TRUE(expr);
    EXPECT_EQ(show(eval(*expr, std::vector{I(640), I(480)})), show(I(307200)));
    EXPECT_EQ(show(eval(*expr, std::vector{I(2), F(1.5)})), show(F(3.0)));
}

TEST(NumberConversion, FloatToIntRoundsHalfAwayAndSaturates) {
    const std::pair<double, std::int64_t> cases[] = {
        {2.5, 3},        {-2.5, -3},  {2.4999, 2},         {-0.5, -1},   {0.49999999999999994, 0},
        {kNaN, 0},       {kInf, kMax}, {-kInf, kMin},      {9.3e18, kMax}, {-9.3e18, kMin},
        {-9223372036854775808.0, kMin}, {9223372036854774784.0, 9223372036854774784},
    };
    for (auto [x, expected] : cases) EXPECT_EQ(float_to_int(x), expected) << x;
    EXPECT_EQ(int_to_float(9007199254740993), 9007199254740992.0);
    EXPECT_EQ(I(3).to_float(), 3.0);
    EXPECT_EQ(F(-3.5).to_int(), -4);
    EXPECT_FALSE(F(-0.0).truth());
    EXPECT_TRUE(F(kNaN).truth());
}

// All formulas of the real descriptions compile, the two-argument ROUND calls among them.
TEST(Formula, EveryFormulaOfTheSharedDescriptionsCompiles) {
    KORVALITE_REQUIRE_SHARED_DESCRIPTIONS();
    std::size_t compiled = 0;
    for (const auto& entry : std::filesystem::directory_iterator(korvalite::test_support::shared_descriptions())) {
        if (entry.path().extension() != ".xml") continue;
        pugi::xml_document doc;
        ASSERT_TRUE(doc.load_file(entry.path().c_str())) << entry.path();
        for (const char* tag : {"Formula", "FormulaTo", "FormulaFrom"}) {
            for (const auto& found : doc.select_nodes((std::string("//") + tag).c_str())) {
                std::string text;  // comments may split the text
                for (const auto& piece : found.node().children())
                    if (piece.type() == pugi::node_pcdata) text += piece.value();
                const auto expr = parse(text);
                if (expr) ++compiled;
                else ADD_FAILURE() << entry.path().filename() << ": " << expr.error() << " in " << text;
            }
        }
    }
    EXPECT_GT(compiled, 2000u);
}
