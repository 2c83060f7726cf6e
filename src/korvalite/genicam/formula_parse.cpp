// Compiles formula texts: a left-to-right tokenizer feeding a shunting-yard that emits the postfix
// program of an Expr.
#include <array>
#include <bit>
#include <optional>
#include <unordered_map>

#include "korvalite/genicam/evaluator.hpp"
#include "korvalite/genicam/number_text.hpp"

namespace korvalite::genicam {
namespace {

constexpr std::int64_t kMaxInt = INT64_MAX;
constexpr std::size_t kMaxVariables = std::size_t{UINT16_MAX} + 1;
constexpr int kFunctionPrecedence = 200;

struct Precedence {
    int level;
    bool right_associative;
};

// Four binary levels, all left-associative: bit operators and powers bind tightest, then
// products, then sums, then comparisons together with the logical operators; `?:` is loosest.
Precedence precedence_of(OpKind kind) {
    switch (kind) {
        case OpKind::Question:
        case OpKind::Colon: return {5, true};
        case OpKind::LogicalOr:
        case OpKind::LogicalAnd:
        case OpKind::Equal:
        case OpKind::NotEqual:
        case OpKind::Less:
        case OpKind::Greater:
        case OpKind::LessEqual:
        case OpKind::GreaterEqual: return {10, false};
        case OpKind::Add:
        case OpKind::Subtract: return {20, false};
        case OpKind::Multiply:
        case OpKind::Divide:
        case OpKind::Remainder: return {30, false};
        case OpKind::BitOr:
        case OpKind::BitXor:
        case OpKind::BitAnd:
        case OpKind::ShiftLeft:
        case OpKind::ShiftRight:
        case OpKind::Power: return {40, false};
        case OpKind::Negate:
        case OpKind::Identity:
        case OpKind::BitNot: return {130, true};
        default: return {kFunctionPrecedence, false};
    }
}

struct NamedOp {
    std::string_view text;
    OpKind kind;
};

constexpr std::array<NamedOp, 17> kFunctions{{
    {"SIN", OpKind::Sin},     {"COS", OpKind::Cos},     {"SGN", OpKind::Sgn},     {"NEG", OpKind::Neg},
    {"ATAN", OpKind::Atan},   {"TAN", OpKind::Tan},     {"ABS", OpKind::Abs},     {"EXP", OpKind::Exp},
    {"LN", OpKind::Ln},       {"LG", OpKind::Lg},       {"SQRT", OpKind::Sqrt},   {"TRUNC", OpKind::Trunc},
    {"ROUND", OpKind::Round}, {"FLOOR", OpKind::Floor}, {"CEIL", OpKind::Ceil},   {"ASIN", OpKind::Asin},
    {"ACOS", OpKind::Acos},
}};

// Two-character operators are tried before one-character ones. "+" and "-" are decided by context.
constexpr std::array<NamedOp, 8> kTwoCharOperators{{
    {"||", OpKind::LogicalOr},
    {"&&", OpKind::LogicalAnd},
    {"<>", OpKind::NotEqual},
    {"<=", OpKind::LessEqual},
    {">=", OpKind::GreaterEqual},
    {"<<", OpKind::ShiftLeft},
    {">>", OpKind::ShiftRight},
    {"**", OpKind::Power},
}};

constexpr std::array<NamedOp, 12> kOneCharOperators{{
    {"%", OpKind::Remainder}, {"&", OpKind::BitAnd}, {"*", OpKind::Multiply}, {"/", OpKind::Divide},
    {":", OpKind::Colon},     {"<", OpKind::Less},   {"=", OpKind::Equal},    {">", OpKind::Greater},
    {"?", OpKind::Question},  {"^", OpKind::BitXor}, {"|", OpKind::BitOr},    {"~", OpKind::BitNot},
}};

constexpr double kPi = 3.141592653589793;
constexpr double kEuler = 2.718281828459045;

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_hex_digit(char c) { return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool starts_name(char c) { return is_letter(c) || c == '_'; }
bool continues_name(char c) { return is_letter(c) || is_digit(c) || c == '_' || c == '.'; }

bool equals_upper(std::string_view name, std::string_view upper) {
    if (name.size() != upper.size()) return false;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const char c = name[i];
        const char folded = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
        if (folded != upper[i]) return false;
    }
    return true;
}

std::optional<OpKind> function_named(std::string_view name) {
    for (const auto& f : kFunctions)
        if (equals_upper(name, f.text)) return f.kind;
    return std::nullopt;
}

// The whole character starting at `pos`: one byte, or a complete UTF-8 sequence.
std::string_view character_at(std::string_view text, std::size_t pos) {
    const auto lead = static_cast<unsigned char>(text[pos]);
    std::size_t length = 1;
    if ((lead & 0xE0) == 0xC0) length = 2;
    else if ((lead & 0xF0) == 0xE0) length = 3;
    else if ((lead & 0xF8) == 0xF0) length = 4;
    return text.substr(pos, length);
}

class Compiler {
public:
    explicit Compiler(std::string_view text) : text_(text) {}

    std::expected<Expr, std::string> run() {
        while (pos_ < text_.size()) {
            if (auto failed = next_token()) return std::unexpected(std::move(*failed));
        }
        while (!pending_.empty()) {
            if (!pending_.back()) return std::unexpected("unbalanced parenthesis");
            if (auto failed = move_pending()) return std::unexpected(std::move(*failed));
        }
        return std::move(expr_);
    }

private:
    using Failure = std::optional<std::string>;

    Failure next_token() {
        const char c = text_[pos_];
        if (is_space(c)) {
            ++pos_;
            return std::nullopt;
        }
        if (is_digit(c) || (c == '.' && pos_ + 1 < text_.size() && is_digit(text_[pos_ + 1]))) return number();
        if (starts_name(c)) return name();
        if (c == '(') {
            pending_.push_back(std::nullopt);
            separators_.push_back(0);
            after_operand_ = false;
            ++pos_;
            return std::nullopt;
        }
        if (c == ')') return close_parenthesis();
        if (c == ',') return argument_separator();
        return operator_token();
    }

    Failure number() {
        const std::size_t start = pos_;
        if (text_.size() - start >= 3 && text_[start] == '0' && (text_[start + 1] == 'x' || text_[start + 1] == 'X')) {
            pos_ = start + 2;
            while (pos_ < text_.size() && is_hex_digit(text_[pos_])) ++pos_;
            auto value = parse_unsigned(text_.substr(start + 2, pos_ - start - 2), 16, kMaxInt);
            if (!value) return "bad hex literal: " + value.error();
            emit_operand(Op::int_literal(static_cast<std::int64_t>(*value)));
            return std::nullopt;
        }

        bool is_float = false;
        while (pos_ < text_.size()) {
            const char c = text_[pos_];
            if (is_digit(c)) {
                ++pos_;
            } else if (c == '.') {
                is_float = true;
                ++pos_;
            } else if ((c == 'e' || c == 'E') && pos_ + 1 < text_.size() &&
                       (text_[pos_ + 1] == '+' || text_[pos_ + 1] == '-' || is_digit(text_[pos_ + 1]))) {
                is_float = true;
                pos_ += 2;
            } else {
                break;
            }
        }
        const std::string_view run = text_.substr(start, pos_ - start);
        if (is_float) {
            auto value = parse_decimal_float(run);
            if (!value) return "bad float literal: " + value.error();
            emit_operand(Op::float_literal(*value));
        } else {
            auto value = parse_unsigned(run, 10, kMaxInt);
            if (!value) return "bad int literal: " + value.error();
            emit_operand(Op::int_literal(static_cast<std::int64_t>(*value)));
        }
        return std::nullopt;
    }

    Failure name() {
        const std::size_t start = pos_;
        while (pos_ < text_.size() && continues_name(text_[pos_])) ++pos_;
        const std::string_view name = text_.substr(start, pos_ - start);

        if (auto function = function_named(name)) {
            push_operator(*function);
            return std::nullopt;
        }
        if (name == "PI") {
            emit_operand(Op::float_literal(kPi));
            return std::nullopt;
        }
        if (name == "E") {
            emit_operand(Op::float_literal(kEuler));
            return std::nullopt;
        }

        auto [slot, inserted] = variable_index_.try_emplace(name, expr_.names.size());
        if (inserted) {
            if (expr_.names.size() == kMaxVariables) return "too many variables";
            expr_.names.emplace_back(name);
        }
        emit_operand(Op::variable_ref(static_cast<std::uint16_t>(slot->second)));
        return std::nullopt;
    }

    Failure close_parenthesis() {
        if (auto failed = flush_to_parenthesis()) return failed;
        if (pending_.empty()) return "unbalanced parenthesis";
        pending_.pop_back();
        const int separators = separators_.back();
        separators_.pop_back();
        // ROUND(x, n): the two-argument form rounds to n decimals.
        const bool round_to = !pending_.empty() && pending_.back() == OpKind::Round;
        if (separators == 1 && round_to) pending_.back() = OpKind::RoundTo;
        else if (separators != 0) return "unexpected character ','";
        after_operand_ = true;
        ++pos_;
        return std::nullopt;
    }

    // A ',' ends a function argument: the operators of that argument go to the output.
    Failure argument_separator() {
        if (auto failed = flush_to_parenthesis()) return failed;
        if (pending_.empty()) return "unexpected character ','";
        ++separators_.back();
        after_operand_ = false;
        ++pos_;
        return std::nullopt;
    }

    Failure flush_to_parenthesis() {
        while (!pending_.empty() && pending_.back()) {
            if (auto failed = move_pending()) return failed;
        }
        return std::nullopt;
    }

    Failure operator_token() {
        const std::string_view rest = text_.substr(pos_);
        for (const auto& op : kTwoCharOperators) {
            if (rest.starts_with(op.text)) {
                pos_ += 2;
                return apply_operator(op.kind);
            }
        }
        const char c = rest[0];
        if (c == '+' || c == '-') {
            const bool binary = after_operand_;
            ++pos_;
            if (c == '+') return apply_operator(binary ? OpKind::Add : OpKind::Identity);
            return apply_operator(binary ? OpKind::Subtract : OpKind::Negate);
        }
        for (const auto& op : kOneCharOperators) {
            if (c == op.text[0]) {
                ++pos_;
                return apply_operator(op.kind);
            }
        }
        return "unexpected character '" + std::string(character_at(text_, pos_)) + "'";
    }

    Failure apply_operator(OpKind kind) {
        after_operand_ = false;
        if (kind == OpKind::Question) return question();
        if (kind == OpKind::Colon) return colon();
        push_operator(kind);
        return std::nullopt;
    }

    // "?": the condition is complete; a JumpIfFalse skips the first branch when it is false.
    Failure question() {
        move_operators_binding_tighter(precedence_of(OpKind::Question));
        jumps_.push_back(expr_.ops.size());
        expr_.ops.push_back(Op::jump(OpKind::JumpIfFalse, 0));
        pending_.push_back(OpKind::Question);
        return std::nullopt;
    }

    // ":": the first branch is complete; a Jump skips the second branch, which starts here.
    Failure colon() {
        while (!pending_.empty() && pending_.back() && *pending_.back() != OpKind::Question) {
            if (auto failed = move_pending()) return failed;
        }
        if (pending_.empty() || !pending_.back()) return "':' without '?'";
        pending_.pop_back();
        const std::size_t skip_first = jumps_.back();
        jumps_.pop_back();
        jumps_.push_back(expr_.ops.size());
        expr_.ops.push_back(Op::jump(OpKind::Jump, 0));
        expr_.ops[skip_first] = Op::jump(OpKind::JumpIfFalse, expr_.ops.size());
        pending_.push_back(OpKind::Colon);
        return std::nullopt;
    }

    // Moves the innermost pending operator to the output; a ":" instead ends its second branch
    // here.
    Failure move_pending() {
        const OpKind kind = *pending_.back();
        pending_.pop_back();
        if (kind == OpKind::Question) return "'?' without ':'";
        if (kind == OpKind::Colon) {
            expr_.ops[jumps_.back()] = Op::jump(OpKind::Jump, expr_.ops.size());
            jumps_.pop_back();
            return std::nullopt;
        }
        expr_.ops.push_back(Op::op(kind));
        return std::nullopt;
    }

    // The shunting-yard step: operators that bind at least as tightly (strictly more tightly for
    // a right-associative newcomer) move to the output before the new one is stacked.
    // (Operators of the "?" level are never moved here: every operator binds more tightly.)
    void push_operator(OpKind kind) {
        move_operators_binding_tighter(precedence_of(kind));
        pending_.push_back(kind);
    }

    void move_operators_binding_tighter(Precedence incoming) {
        while (!pending_.empty() && pending_.back()) {
            const int top = precedence_of(*pending_.back()).level;
            const bool moves = incoming.right_associative ? top > incoming.level : top >= incoming.level;
            if (!moves) break;
            expr_.ops.push_back(Op::op(*pending_.back()));
            pending_.pop_back();
        }
    }

    void emit_operand(Op op) {
        expr_.ops.push_back(op);
        after_operand_ = true;
    }

    std::string_view text_;
    std::size_t pos_ = 0;
    bool after_operand_ = false;
    // Operators waiting for their right operand; an empty entry marks an open parenthesis.
    std::vector<std::optional<OpKind>> pending_;
    // Per pending "?" or ":", the index of its jump, whose target is set once known.
    std::vector<std::size_t> jumps_;
    // Per open parenthesis, the ',' seen inside it so far.
    std::vector<int> separators_;
    std::unordered_map<std::string_view, std::size_t> variable_index_;
    Expr expr_;
};

}  // namespace

bool Op::operator==(const Op& other) const {
    if (kind != other.kind) return false;
    switch (kind) {
        case OpKind::IntLiteral: return integer == other.integer;
        case OpKind::FloatLiteral: return std::bit_cast<std::uint64_t>(real) == std::bit_cast<std::uint64_t>(other.real);
        case OpKind::Variable: return variable == other.variable;
        case OpKind::JumpIfFalse:
        case OpKind::Jump: return integer == other.integer;
        default: return true;
    }
}

std::expected<Expr, std::string> parse(std::string_view text) { return Compiler(text).run(); }

}  // namespace korvalite::genicam
