#pragma once
// Unpacking a description shipped as a ZIP archive: only the first entry of the central
// directory, stored or raw-deflated, of at most kMaxEntrySize bytes.
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <vector>

namespace korvalite::genicam {

// The most bytes an entry may unpack to; it also bounds what a hostile archive can make us allocate.
inline constexpr std::size_t kMaxEntrySize = 64u << 20;

// The bytes of the archive's first entry. Failures are message texts.
[[nodiscard]] std::expected<std::vector<std::byte>, std::string> extract_first_file(std::span<const std::byte> archive);

namespace zip {

// Little-endian fields; "truncated archive" when the field would reach past the end.
[[nodiscard]] std::expected<std::uint16_t, std::string> u16_at(std::span<const std::byte> data, std::uint64_t index);
[[nodiscard]] std::expected<std::uint32_t, std::string> u32_at(std::span<const std::byte> data, std::uint64_t index);

}  // namespace zip
}  // namespace korvalite::genicam
