#include "korvalite/genicam/url.hpp"

#include <vector>

#include "korvalite/genicam/number_text.hpp"

namespace korvalite::genicam {
namespace {

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

std::string_view trim_if(std::string_view s, bool (*drop)(char)) {
    while (!s.empty() && drop(s.front())) s.remove_prefix(1);
    while (!s.empty() && drop(s.back())) s.remove_suffix(1);
    return s;
}

std::string_view trim_spaces(std::string_view s) { return trim_if(s, is_space); }

// Register contents arrive padded with NULs and sometimes spaces, in either order.
std::string_view trim_spaces_and_nuls(std::string_view s) {
    return trim_if(s, [](char c) { return c == '\0' || is_space(c); });
}

char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool starts_with_folded(std::string_view text, std::string_view lower_prefix) {
    if (text.size() < lower_prefix.size()) return false;
    for (std::size_t i = 0; i < lower_prefix.size(); ++i)
        if (ascii_lower(text[i]) != lower_prefix[i]) return false;
    return true;
}

bool ends_with_folded(std::string_view text, std::string_view lower_suffix) {
    if (text.size() < lower_suffix.size()) return false;
    return starts_with_folded(text.substr(text.size() - lower_suffix.size()), lower_suffix);
}

std::vector<std::string_view> split(std::string_view s, char separator) {
    std::vector<std::string_view> parts;
    for (;;) {
        const std::size_t at = s.find(separator);
        parts.push_back(s.substr(0, at));
        if (at == std::string_view::npos) return parts;
        s.remove_prefix(at + 1);
    }
}

std::expected<XmlUrl, std::string> parse_local(std::string_view rest) {
    const auto parts = split(rest, ';');
    if (parts.size() < 2) return std::unexpected("missing address");
    const auto address = parse_unsigned(trim_spaces(parts[1]), 16);
    if (!address) return std::unexpected("bad address: " + address.error());
    if (parts.size() < 3) return std::unexpected("missing size");
    const auto size = parse_unsigned(trim_spaces(parts[2]), 16);
    if (!size) return std::unexpected("bad size: " + size.error());
    return XmlUrl{XmlUrl::Local{std::string(trim_spaces(parts[0])), *address, *size}};
}

XmlUrl parse_file(std::string_view rest) {
    while (rest.starts_with("//")) rest.remove_prefix(2);
    return XmlUrl{XmlUrl::File{std::string(rest)}};
}

}  // namespace

std::expected<XmlUrl, std::string> XmlUrl::parse(std::string_view text) {
    const std::string_view url = trim_spaces_and_nuls(text);
    if (starts_with_folded(url, "local:")) return parse_local(url.substr(6));
    if (starts_with_folded(url, "file:")) return parse_file(url.substr(5));
    if (starts_with_folded(url, "http://") || starts_with_folded(url, "https://"))
        return XmlUrl{Http{std::string(url)}};
    return std::unexpected("unrecognized GenICam URL '" + std::string(url) + "'");
}

bool XmlUrl::is_zip() const {
    const std::string_view name = std::visit(
        [](const auto& where) -> std::string_view {
            using T = std::decay_t<decltype(where)>;
            if constexpr (std::is_same_v<T, Local>) return where.file_name;
            else if constexpr (std::is_same_v<T, File>) return where.path;
            else return where.url;
        },
        location);
    return ends_with_folded(name, ".zip");
}

}  // namespace korvalite::genicam
