// Runs compiled formulas: a postfix walk over one small value stack. Nothing here touches text
// or the heap on the way to a result; only failures build their message.
#include <cmath>
#include <limits>

#include "korvalite/genicam/evaluator.hpp"

namespace korvalite::genicam {
namespace {

constexpr const char* kUnderflow = "expression stack underflow";

// Values kept inline for typical formulas; deeper stacks move to the heap.
class ValueStack {
public:
    ValueStack() : data_(inline_.values) {}
    ValueStack(const ValueStack&) = delete;
    ValueStack& operator=(const ValueStack&) = delete;

    std::size_t size() const { return size_; }
    Value pop() { return data_[--size_]; }
    Value& top() { return data_[size_ - 1]; }
    void push(Value v) {
        if (size_ == capacity_) grow();
        data_[size_++] = v;
    }

private:
    static constexpr std::size_t kInline = 32;

    [[gnu::noinline]] void grow() {
        std::vector<Value> bigger(capacity_ * 2);
        std::copy(data_, data_ + size_, bigger.begin());
        heap_ = std::move(bigger);
        data_ = heap_.data();
        capacity_ = heap_.size();
    }

    // Left uninitialised: only slots below size_ are ever read.
    union Inline {
        Inline() {}
        Value values[kInline];
    } inline_;
    Value* data_;
    std::size_t size_ = 0;
    std::size_t capacity_ = kInline;
    std::vector<Value> heap_;
};

using Step = std::expected<Value, const char*>;

Value int_result(std::int64_t x) { return Value::from_int(x); }
Value float_result(double x) { return Value::from_float(x); }
Value boolean(bool b) { return Value::from_int(b ? 1 : 0); }

std::int64_t wrapping(std::uint64_t x) { return static_cast<std::int64_t>(x); }
std::uint64_t bits(std::int64_t x) { return static_cast<std::uint64_t>(x); }
bool both_int(Value a, Value b) { return a.is_int() && b.is_int(); }

// Binary operators. + - * wrap on integers and go to float as soon as one side is a float.
Value add(Value a, Value b) {
    if (both_int(a, b)) return int_result(wrapping(bits(a.int_value()) + bits(b.int_value())));
    return float_result(a.to_float() + b.to_float());
}

Value subtract(Value a, Value b) {
    if (both_int(a, b)) return int_result(wrapping(bits(a.int_value()) - bits(b.int_value())));
    return float_result(a.to_float() - b.to_float());
}

Value multiply(Value a, Value b) {
    if (both_int(a, b)) return int_result(wrapping(bits(a.int_value()) * bits(b.int_value())));
    return float_result(a.to_float() * b.to_float());
}

Step divide(Value a, Value b) {
    if (!both_int(a, b)) return float_result(a.to_float() / b.to_float());
    const std::int64_t x = a.int_value();
    const std::int64_t y = b.int_value();
    if (y == 0) return std::unexpected("division by zero");
    if (y == -1) return int_result(wrapping(0 - bits(x)));
    return int_result(x / y);
}

Step remainder(Value a, Value b) {
    const std::int64_t x = a.to_int();
    const std::int64_t y = b.to_int();
    if (y == 0) return std::unexpected("remainder by zero");
    if (y == -1) return int_result(0);
    return int_result(x % y);
}

Value power(Value a, Value b) { return float_result(std::pow(a.to_float(), b.to_float())); }

// Comparisons: exact on integers; on doubles otherwise, where NaN has no order.
template <bool (*Holds)(int order)>
Step compare(Value a, Value b) {
    int order;
    if (both_int(a, b)) {
        order = (a.int_value() > b.int_value()) - (a.int_value() < b.int_value());
    } else {
        const double x = a.to_float();
        const double y = b.to_float();
        if (std::isnan(x) || std::isnan(y)) return std::unexpected("NaN in comparison");
        order = (x > y) - (x < y);
    }
    return boolean(Holds(order));
}

bool equal(int order) { return order == 0; }
bool not_equal(int order) { return order != 0; }
bool less(int order) { return order < 0; }
bool greater(int order) { return order > 0; }
bool less_equal(int order) { return order <= 0; }
bool greater_equal(int order) { return order >= 0; }

Value logical_and(Value a, Value b) { return boolean(a.truth() && b.truth()); }
Value logical_or(Value a, Value b) { return boolean(a.truth() || b.truth()); }
Value bit_and(Value a, Value b) { return int_result(a.to_int() & b.to_int()); }
Value bit_or(Value a, Value b) { return int_result(a.to_int() | b.to_int()); }
Value bit_xor(Value a, Value b) { return int_result(a.to_int() ^ b.to_int()); }
// Shift counts outside 0..63 have no meaning in 64 bits and are refused; >> propagates the sign.
constexpr const char* kBadShift = "shift count outside 0..63";

Step shift_left(Value a, Value b) {
    const std::int64_t count = b.to_int();
    if (count < 0 || count > 63) return std::unexpected(kBadShift);
    return int_result(wrapping(bits(a.to_int()) << count));
}

Step shift_right(Value a, Value b) {
    const std::int64_t count = b.to_int();
    if (count < 0 || count > 63) return std::unexpected(kBadShift);
    return int_result(a.to_int() >> count);
}

// x rounded to n decimals, halves away from zero.
Value round_to(Value x, Value n) {
    const double scale = std::pow(10.0, static_cast<double>(n.to_int()));
    return float_result(std::round(x.to_float() * scale) / scale);
}

// Unary operators and functions.
Value negate(Value a) {
    return a.is_int() ? int_result(wrapping(0 - bits(a.int_value()))) : float_result(-a.float_value());
}

Value identity(Value a) { return a; }
Value bit_not(Value a) { return int_result(~a.to_int()); }

Value absolute(Value a) {
    if (a.is_float()) return float_result(std::fabs(a.float_value()));
    return a.int_value() < 0 ? negate(a) : a;
}

Value sign(Value a) {
    if (a.is_int()) return int_result((a.int_value() > 0) - (a.int_value() < 0));
    const double x = a.float_value();
    return int_result((x > 0.0) - (x < 0.0));  // NaN and both zeros give 0
}

Value real_function(OpKind kind, double x) {
    switch (kind) {
        case OpKind::Sin: return float_result(std::sin(x));
        case OpKind::Cos: return float_result(std::cos(x));
        case OpKind::Tan: return float_result(std::tan(x));
        case OpKind::Asin: return float_result(std::asin(x));
        case OpKind::Acos: return float_result(std::acos(x));
        case OpKind::Atan: return float_result(std::atan(x));
        case OpKind::Exp: return float_result(std::exp(x));
        case OpKind::Ln: return float_result(std::log(x));
        case OpKind::Lg: return float_result(std::log10(x));
        case OpKind::Sqrt: return float_result(std::sqrt(x));
        case OpKind::Trunc: return float_result(std::trunc(x));
        case OpKind::Round: return float_result(std::round(x));
        case OpKind::Floor: return float_result(std::floor(x));
        default: return float_result(std::ceil(x));  // Ceil
    }
}

// One operator step on the stack; the failure text, or nullptr.
template <auto Fn>
const char* binary(ValueStack& stack) {
    if (stack.size() < 2) return kUnderflow;
    const Value b = stack.pop();
    Value& a = stack.top();
    if constexpr (std::is_same_v<decltype(Fn(a, b)), Step>) {
        const Step result = Fn(a, b);
        if (!result) return result.error();
        a = *result;
    } else {
        a = Fn(a, b);
    }
    return nullptr;
}

template <auto Fn>
const char* unary(ValueStack& stack) {
    if (stack.size() < 1) return kUnderflow;
    stack.top() = Fn(stack.top());
    return nullptr;
}

const char* real_unary(ValueStack& stack, OpKind kind) {
    if (stack.size() < 1) return kUnderflow;
    stack.top() = real_function(kind, stack.top().to_float());
    return nullptr;
}

const char* conditional(ValueStack& stack) {
    if (stack.size() < 3) return kUnderflow;
    const Value otherwise = stack.pop();
    const Value then = stack.pop();
    Value& condition = stack.top();
    condition = condition.truth() ? then : otherwise;
    return nullptr;
}

const char* operator_step(ValueStack& stack, OpKind kind) {
    switch (kind) {
        case OpKind::Colon: return nullptr;
        case OpKind::Question: return conditional(stack);
        case OpKind::LogicalOr: return binary<logical_or>(stack);
        case OpKind::LogicalAnd: return binary<logical_and>(stack);
        case OpKind::BitOr: return binary<bit_or>(stack);
        case OpKind::BitXor: return binary<bit_xor>(stack);
        case OpKind::BitAnd: return binary<bit_and>(stack);
        case OpKind::Equal: return binary<compare<equal>>(stack);
        case OpKind::NotEqual: return binary<compare<not_equal>>(stack);
        case OpKind::LessEqual: return binary<compare<less_equal>>(stack);
        case OpKind::GreaterEqual: return binary<compare<greater_equal>>(stack);
        case OpKind::Less: return binary<compare<less>>(stack);
        case OpKind::Greater: return binary<compare<greater>>(stack);
        case OpKind::ShiftRight: return binary<shift_right>(stack);
        case OpKind::ShiftLeft: return binary<shift_left>(stack);
        case OpKind::Subtract: return binary<subtract>(stack);
        case OpKind::Add: return binary<add>(stack);
        case OpKind::Remainder: return binary<remainder>(stack);
        case OpKind::Divide: return binary<divide>(stack);
        case OpKind::Multiply: return binary<multiply>(stack);
        case OpKind::Power: return binary<power>(stack);
        case OpKind::RoundTo: return binary<round_to>(stack);
        case OpKind::Negate:
        case OpKind::Neg: return unary<negate>(stack);
        case OpKind::Identity: return unary<identity>(stack);
        case OpKind::BitNot: return unary<bit_not>(stack);
        case OpKind::Abs: return unary<absolute>(stack);
        case OpKind::Sgn: return unary<sign>(stack);
        case OpKind::Sin:
        case OpKind::Cos:
        case OpKind::Atan:
        case OpKind::Tan:
        case OpKind::Exp:
        case OpKind::Ln:
        case OpKind::Lg:
        case OpKind::Sqrt:
        case OpKind::Trunc:
        case OpKind::Round:
        case OpKind::Floor:
        case OpKind::Ceil:
        case OpKind::Asin:
        case OpKind::Acos: return real_unary(stack, kind);
        default: return "internal: operand in operator position";
    }
}

std::string unbound(const Expr& expr, std::uint16_t index) {
    std::string message = "variable '";
    if (index < expr.names.size()) message += expr.names[index];
    else message.append("#").append(std::to_string(index));  // a hand-built Expr without the name
    message += "' unbound";
    return message;
}

}  // namespace

std::expected<Value, std::string> eval(const Expr& expr, std::span<const Value> values, Arithmetic arithmetic) {
    const bool floating = arithmetic == Arithmetic::Floating;
    auto operand = [&](Value v) { return floating ? float_result(v.to_float()) : v; };
    // Every name needs a value, also one only a branch not taken would read.
    if (values.size() < expr.names.size())
        return std::unexpected(unbound(expr, static_cast<std::uint16_t>(values.size())));
    ValueStack stack;
    for (std::size_t next = 0; next < expr.ops.size();) {
        const Op& op = expr.ops[next++];
        switch (op.kind) {
            case OpKind::JumpIfFalse:
                if (stack.size() < 1) return std::unexpected(kUnderflow);
                if (!stack.pop().truth()) next = static_cast<std::size_t>(op.integer);
                break;
            case OpKind::Jump: next = static_cast<std::size_t>(op.integer); break;
            case OpKind::IntLiteral: stack.push(operand(int_result(op.integer))); break;
            case OpKind::FloatLiteral: stack.push(float_result(op.real)); break;
            case OpKind::Variable:
                if (op.variable >= values.size()) return std::unexpected(unbound(expr, op.variable));
                stack.push(operand(values[op.variable]));
                break;
            default:
                if (const char* failure = operator_step(stack, op.kind)) return std::unexpected(failure);
                if (floating && stack.size() > 0) stack.top() = operand(stack.top());
        }
    }
    if (stack.size() != 1) return std::unexpected("malformed expression");
    return stack.pop();
}

}  // namespace korvalite::genicam
