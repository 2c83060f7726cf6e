#pragma once
// Formulas of the feature model (SwissKnife and Converter nodes): a formula text is compiled once
// into a postfix program, which is then evaluated against the values of its variables as often as
// needed. Failures are plain message texts; the node layer wraps them with the node's name.
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "korvalite/genicam/value.hpp"

namespace korvalite::genicam {

// One step of a compiled formula. Literals and variables push a value; every other kind is an
// operator or function applied to the values on the stack.
enum class OpKind : std::uint8_t {
    IntLiteral,
    FloatLiteral,
    Variable,
    Colon,         // ":"  (in hand-built programs; the "?" does the work)
    Question,      // "?"  cond ? a : b, both branches evaluated (hand-built programs only)
    LogicalOr,     // "||"
    LogicalAnd,    // "&&"
    BitOr,         // "|"
    BitXor,        // "^"
    BitAnd,        // "&"
    Equal,         // "="
    NotEqual,      // "<>"
    LessEqual,     // "<="
    GreaterEqual,  // ">="
    Less,          // "<"
    Greater,       // ">"
    ShiftRight,    // ">>"
    ShiftLeft,     // "<<"
    Subtract,      // binary "-"
    Add,           // binary "+"
    Remainder,     // "%"
    Divide,        // "/"
    Multiply,      // "*"
    Power,         // "**"
    Negate,        // unary "-"
    Identity,      // unary "+"
    BitNot,        // "~"
    Sin,
    Cos,
    Sgn,
    Neg,
    Atan,
    Tan,
    Abs,
    Exp,
    Ln,
    Lg,
    Sqrt,
    Trunc,
    Round,
    Floor,
    Ceil,
    Asin,
    Acos,
    RoundTo,      // ROUND(x, n): x rounded to n decimals
    JumpIfFalse,  // pops the condition of a "?"; when false, continues at the target
    Jump,         // continues at the target (the end of a "?"'s first branch)
};

struct Op {
    OpKind kind;
    union {
        std::int64_t integer;    // IntLiteral; JumpIfFalse and Jump: the index of the next step
        double real;             // FloatLiteral
        std::uint16_t variable;  // Variable: index into Expr::names
    };

    static constexpr Op int_literal(std::int64_t v) { return Op{OpKind::IntLiteral, {v}}; }
    static constexpr Op float_literal(double v) {
        Op op{OpKind::Variable, {0}};
        op.kind = OpKind::FloatLiteral;
        op.real = v;
        return op;
    }
    static constexpr Op variable_ref(std::uint16_t index) {
        Op op{OpKind::Variable, {0}};
        op.variable = index;
        return op;
    }
    static constexpr Op op(OpKind kind) { return Op{kind, {0}}; }
    static constexpr Op jump(OpKind kind, std::size_t target) {
        return Op{kind, {static_cast<std::int64_t>(target)}};
    }

    // Same kind and same payload (float payloads compare bit for bit).
    bool operator==(const Op& other) const;
};

// A compiled formula: the steps in postfix order (a "?" compiles to jumps, so that only the
// branch taken is evaluated), and the distinct variable names in order of
// first appearance, exactly as written. A Variable step's index refers to `names`.
struct Expr {
    std::vector<Op> ops;
    std::vector<std::string> names;
};

// Compiles a formula text. An empty text gives an empty program (which fails to evaluate).
[[nodiscard]] std::expected<Expr, std::string> parse(std::string_view text);

// How a formula computes: Integer keeps integers exact and goes to floating point only where
// a float takes part (IntSwissKnife, IntConverter); Floating computes every literal, variable
// and intermediate result as a double (SwissKnife, Converter).
enum class Arithmetic : std::uint8_t { Integer, Floating };

// Runs a compiled formula; values[i] is the value of names[i]. Does not allocate on success
// unless the formula needs more than a few dozen values on its stack at once.
[[nodiscard]] std::expected<Value, std::string> eval(const Expr& expr, std::span<const Value> values,
                                       Arithmetic arithmetic = Arithmetic::Integer);

}  // namespace korvalite::genicam
