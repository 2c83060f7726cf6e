// A formula text from a description, compiled and then evaluated with input-chosen values.
// Input: the formula text, optionally followed by a NUL and the bytes that pick the values, read
// from the end backwards: per variable a kind byte (odd: float), then eight bytes of the number.
#include <string>
#include <unordered_set>
#include <vector>

#include "fuzz_support.hpp"
#include "korvalite/genicam/evaluator.hpp"

using namespace korvalite::genicam;

namespace {

void check_program(const Expr& expr) {
    const std::unordered_set<std::string> distinct(expr.names.begin(), expr.names.end());
    KORVALITE_FUZZ_CHECK(distinct.size() == expr.names.size());
    for (const Op& op : expr.ops)
        if (op.kind == OpKind::Variable) KORVALITE_FUZZ_CHECK(op.variable < expr.names.size());
}

bool same(const std::expected<Value, std::string>& a, const std::expected<Value, std::string>& b) {
    if (a.has_value() != b.has_value()) return false;
    if (!a) return a.error() == b.error();
    if (a->is_float() != b->is_float()) return false;
    return a->is_float() ? std::bit_cast<std::uint64_t>(a->float_value()) == std::bit_cast<std::uint64_t>(b->float_value())
                         : a->int_value() == b->int_value();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    korvalite::fuzz::FuzzInput input(data, size);
    const auto text_bytes = input.take_until(std::byte{0});
    const std::string_view text(reinterpret_cast<const char*>(text_bytes.data()), text_bytes.size());

    const auto expr = parse(text);
    if (!expr) {
        KORVALITE_FUZZ_CHECK(!expr.error().empty());
        return 0;
    }
    check_program(*expr);

    std::vector<Value> values;
    values.reserve(expr->names.size());
    for (std::size_t i = 0; i < expr->names.size(); ++i)
        values.push_back(input.take_bool() ? Value::from_float(input.take_double()) : Value::from_int(input.take_i64()));

    // Evaluation is a pure function of the program and the values.
    const auto result = eval(*expr, values);
    KORVALITE_FUZZ_CHECK(same(result, eval(*expr, values)));
    if (!result) KORVALITE_FUZZ_CHECK(!result.error().empty());

    // With the last variable missing the program must fail, not read past the values.
    if (!values.empty()) KORVALITE_FUZZ_CHECK(!eval(*expr, std::span(values).first(values.size() - 1)));
    return 0;
}
