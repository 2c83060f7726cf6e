#include "korvalite/genicam/zip.hpp"

#include <zlib.h>

#include <algorithm>
#include <optional>

namespace korvalite::genicam {
namespace {

constexpr std::uint32_t kEndOfDirectorySignature = 0x06054B50;
constexpr std::uint32_t kDirectoryEntrySignature = 0x02014B50;
constexpr std::uint32_t kLocalHeaderSignature = 0x04034B50;
constexpr std::size_t kEndOfDirectorySize = 22;
constexpr std::size_t kMaxCommentSize = 65535;
constexpr std::uint16_t kStored = 0;
constexpr std::uint16_t kDeflated = 8;
// DEFLATE cannot expand one input byte to more than 1032 output bytes.
constexpr std::uint64_t kMaxDeflateRatio = 1032;

using Bytes = std::span<const std::byte>;
using Failure = std::unexpected<std::string>;

std::uint32_t le(Bytes data, std::uint64_t index, int width) {
    std::uint32_t value = 0;
    for (int i = width - 1; i >= 0; --i) value = (value << 8) | std::to_integer<std::uint32_t>(data[index + i]);
    return value;
}

bool fits(Bytes data, std::uint64_t index, std::uint64_t width) {
    return index <= data.size() && width <= data.size() - index;
}

std::optional<std::size_t> find_end_of_directory(Bytes data) {
    if (data.size() < kEndOfDirectorySize) return std::nullopt;
    const std::size_t last = data.size() - kEndOfDirectorySize;
    const std::size_t first = last > kMaxCommentSize ? last - kMaxCommentSize : 0;
    for (std::size_t at = last + 1; at-- > first;)
        if (le(data, at, 4) == kEndOfDirectorySignature) return at;
    return std::nullopt;
}

// Ends zlib's stream state whichever way inflating ends.
struct Inflater {
    z_stream stream{};
    bool ready = false;
    Inflater() { ready = inflateInit2(&stream, -MAX_WBITS) == Z_OK; }
    ~Inflater() {
        if (ready) inflateEnd(&stream);
    }
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;
};

std::string deflate_failure(const Inflater& inflater, int status) {
    std::string reason;
    if (inflater.stream.msg) reason = inflater.stream.msg;
    else if (status == Z_MEM_ERROR) reason = "out of memory";
    else reason = "zlib status " + std::to_string(status);
    return "deflate: " + reason;
}

// Inflates a raw DEFLATE stream into at most kMaxEntrySize bytes. The output starts at the size
// the directory announced (capped by what the input can possibly expand to) and grows only if
// the announcement was too small.
std::expected<std::vector<std::byte>, std::string> inflate_raw(Bytes input, std::uint32_t announced) {
    Inflater inflater;
    if (!inflater.ready) return Failure("deflate: cannot initialise the inflater");
    z_stream& zs = inflater.stream;
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<std::byte*>(input.data()));
    zs.avail_in = static_cast<uInt>(input.size());

    const std::uint64_t ceiling = std::min<std::uint64_t>(kMaxEntrySize, input.size() * kMaxDeflateRatio + 1024);
    std::vector<std::byte> out(static_cast<std::size_t>(std::min<std::uint64_t>(announced, ceiling)));
    std::byte probe{};  // receives a byte beyond the limit, if the stream has one

    for (;;) {
        const bool at_limit = zs.total_out == kMaxEntrySize;
        if (!at_limit && zs.total_out == out.size())
            out.resize(std::min<std::size_t>(kMaxEntrySize, std::max<std::size_t>(out.size() * 2, 64 * 1024)));
        zs.next_out = reinterpret_cast<Bytef*>(at_limit ? &probe : out.data() + zs.total_out);
        zs.avail_out = static_cast<uInt>(at_limit ? 1 : out.size() - zs.total_out);

        const int status = inflate(&zs, Z_NO_FLUSH);
        if (at_limit && zs.total_out > kMaxEntrySize)
            return Failure("deflate: output exceeds the limit of " + std::to_string(kMaxEntrySize) + " bytes");
        if (status == Z_STREAM_END) break;
        if (status == Z_BUF_ERROR && zs.avail_in == 0) return Failure("deflate: unexpected end of compressed data");
        if (status != Z_OK && status != Z_BUF_ERROR) return Failure(deflate_failure(inflater, status));
    }
    out.resize(zs.total_out);
    return out;
}

}  // namespace

namespace zip {

std::expected<std::uint16_t, std::string> u16_at(Bytes data, std::uint64_t index) {
    if (!fits(data, index, 2)) return Failure("truncated archive");
    return static_cast<std::uint16_t>(le(data, index, 2));
}

std::expected<std::uint32_t, std::string> u32_at(Bytes data, std::uint64_t index) {
    if (!fits(data, index, 4)) return Failure("truncated archive");
    return le(data, index, 4);
}

}  // namespace zip

std::expected<std::vector<std::byte>, std::string> extract_first_file(Bytes data) {
    using zip::u16_at;
    using zip::u32_at;

    const auto end = find_end_of_directory(data);
    if (!end) return Failure("no end-of-central-directory record");
    if (le(data, *end + 10, 2) == 0) return Failure("empty archive");

    const std::uint64_t directory = le(data, *end + 16, 4);
    const auto directory_signature = u32_at(data, directory);
    if (!directory_signature) return Failure(directory_signature.error());
    if (*directory_signature != kDirectoryEntrySignature) return Failure("bad central directory");

    const auto method = u16_at(data, directory + 10);
    if (!method) return Failure(method.error());
    const auto compressed_size = u32_at(data, directory + 20);
    if (!compressed_size) return Failure(compressed_size.error());
    const auto uncompressed_size = u32_at(data, directory + 24);
    if (!uncompressed_size) return Failure(uncompressed_size.error());
    const auto header = u32_at(data, directory + 42);
    if (!header) return Failure(header.error());
    if (*uncompressed_size > kMaxEntrySize) return Failure("archive entry too large");

    const auto header_signature = u32_at(data, *header);
    if (!header_signature) return Failure(header_signature.error());
    if (*header_signature != kLocalHeaderSignature) return Failure("bad local file header");
    const auto name_length = u16_at(data, std::uint64_t{*header} + 26);
    if (!name_length) return Failure(name_length.error());
    const auto extra_length = u16_at(data, std::uint64_t{*header} + 28);
    if (!extra_length) return Failure(extra_length.error());

    const std::uint64_t start = std::uint64_t{*header} + 30 + *name_length + *extra_length;
    if (!fits(data, start, *compressed_size)) return Failure("truncated archive data");
    const Bytes entry = data.subspan(static_cast<std::size_t>(start), *compressed_size);

    switch (*method) {
        case kStored:
            // A stored entry is its own size, whatever the directory announced.
            if (entry.size() > kMaxEntrySize) return Failure("archive entry too large");
            return std::vector<std::byte>(entry.begin(), entry.end());
        case kDeflated: return inflate_raw(entry, *uncompressed_size);
        default: return Failure("unsupported compression method " + std::to_string(*method));
    }
}

}  // namespace korvalite::genicam
