#pragma once
// Small text helpers shared by message rendering: fixed-width lowercase hexadecimal.
#include <cstdint>
#include <string>

namespace korvalite {

// "0x" followed by at least `digits` lowercase hexadecimal digits.
inline std::string hex_code(std::uint64_t value, int digits = 4) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    do {
        out.insert(out.begin(), kDigits[value & 0xF]);
        value >>= 4;
    } while (value != 0);
    if (static_cast<int>(out.size()) < digits) out.insert(0, digits - out.size(), '0');
    return "0x" + out;
}

}  // namespace korvalite
