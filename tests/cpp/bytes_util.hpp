#pragma once
// Test helpers for writing byte strings as hex text: "42 01 00 80".
#include <cstddef>
#include <string>
#include <vector>

namespace korvalite::test_support {

inline std::vector<std::byte> hex_bytes(const std::string& text) {
    std::vector<std::byte> out;
    std::string digits;
    for (char c : text)
        if (c != ' ') digits += c;
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2)
        out.push_back(static_cast<std::byte>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    return out;
}

template <class Range>
std::vector<std::byte> to_vec(const Range& r) {
    return std::vector<std::byte>(std::begin(r), std::end(r));
}

}  // namespace korvalite::test_support
