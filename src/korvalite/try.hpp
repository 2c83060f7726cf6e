#pragma once
// Error propagation in functions that return a std::expected: KORVALITE_TRY(expr) evaluates
// `expr` (any std::expected) and, when it holds an error, returns that error from the
// enclosing function; otherwise the value, if any, is dropped.
#include <expected>
#include <utility>

#define KORVALITE_TRY(expr)                                                   \
    do {                                                                      \
        if (auto korvalite_try_result_ = (expr); !korvalite_try_result_)      \
            return std::unexpected(std::move(korvalite_try_result_).error()); \
    } while (false)
