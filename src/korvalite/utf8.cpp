#include "korvalite/utf8.hpp"

#include <cstdint>

namespace korvalite {

namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";

struct LeadRule {
    std::size_t length;           // bytes in the sequence; 0 for a byte that cannot start one
    std::uint8_t second_min = 0x80;  // the second byte's range excludes overlongs and surrogates
    std::uint8_t second_max = 0xBF;
};

LeadRule rule_for(std::uint8_t lead) {
    if (lead >= 0xC2 && lead <= 0xDF) return {2};
    if (lead == 0xE0) return {3, 0xA0, 0xBF};
    if (lead == 0xED) return {3, 0x80, 0x9F};
    if (lead >= 0xE1 && lead <= 0xEF) return {3};
    if (lead == 0xF0) return {4, 0x90, 0xBF};
    if (lead >= 0xF1 && lead <= 0xF3) return {4};
    if (lead == 0xF4) return {4, 0x80, 0x8F};
    return {0};
}

}  // namespace

std::string utf8_lossy(std::span<const std::byte> bytes) {
    std::string out;
    out.reserve(bytes.size());
    const auto at = [&](std::size_t i) { return std::to_integer<std::uint8_t>(bytes[i]); };
    std::size_t i = 0;
    while (i < bytes.size()) {
        const std::uint8_t lead = at(i);
        if (lead < 0x80) {
            out.push_back(static_cast<char>(lead));
            ++i;
            continue;
        }
        const LeadRule rule = rule_for(lead);
        // Length of the longest valid prefix of the sequence starting at i.
        std::size_t valid = rule.length == 0 ? 0 : 1;
        if (valid == 1 && i + 1 < bytes.size() && at(i + 1) >= rule.second_min && at(i + 1) <= rule.second_max) {
            valid = 2;
            while (valid < rule.length && i + valid < bytes.size() && (at(i + valid) & 0xC0) == 0x80) ++valid;
        }
        if (rule.length != 0 && valid == rule.length) {
            out.append(reinterpret_cast<const char*>(bytes.data() + i), valid);
            i += valid;
        } else {
            out += kReplacement;
            i += valid == 0 ? 1 : valid;
        }
    }
    return out;
}

}  // namespace korvalite
