#include "korvalite/sim/zip_writer.hpp"

#include <zlib.h>

#include <cstdint>

namespace korvalite::sim {

namespace {

using gige::proto::ByteVec;
using gige::proto::ByteView;

constexpr std::uint32_t kLocalHeaderSignature = 0x04034B50;
constexpr std::uint32_t kCentralHeaderSignature = 0x02014B50;
constexpr std::uint32_t kEndOfDirectorySignature = 0x06054B50;
constexpr std::uint16_t kVersion = 20;          // 2.0: DEFLATE
constexpr std::uint16_t kDosTime = 0;           // 00:00:00
constexpr std::uint16_t kDosDate = (1 << 5) | 1;  // 1980-01-01

class LittleEndianWriter {
public:
    explicit LittleEndianWriter(ByteVec& out) : out_(out) {}
    void u16(std::uint16_t v) {
        out_.push_back(std::byte(v & 0xFF));
        out_.push_back(std::byte(v >> 8));
    }
    void u32(std::uint32_t v) {
        u16(static_cast<std::uint16_t>(v & 0xFFFF));
        u16(static_cast<std::uint16_t>(v >> 16));
    }
    void bytes(ByteView b) { out_.insert(out_.end(), b.begin(), b.end()); }

private:
    ByteVec& out_;
};

std::expected<ByteVec, std::string> raw_deflate(ByteView content) {
    z_stream zs{};
    if (deflateInit2(&zs, Z_BEST_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return std::unexpected(std::string("deflate init failed"));
    ByteVec out(deflateBound(&zs, static_cast<uLong>(content.size())));
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<std::byte*>(content.data()));
    zs.avail_in = static_cast<uInt>(content.size());
    zs.next_out = reinterpret_cast<Bytef*>(out.data());
    zs.avail_out = static_cast<uInt>(out.size());
    const int rc = deflate(&zs, Z_FINISH);
    const std::string message = zs.msg ? zs.msg : "deflate failed";
    out.resize(zs.total_out);
    deflateEnd(&zs);
    if (rc != Z_STREAM_END) return std::unexpected(message);
    return out;
}

}  // namespace

std::expected<ByteVec, std::string> make_zip(std::string_view file_name, ByteView content, ZipMethod method) {
    ByteVec data;
    if (method == ZipMethod::Deflated) {
        auto packed = raw_deflate(content);
        if (!packed) return std::unexpected(packed.error());
        data = std::move(*packed);
    } else {
        data.assign(content.begin(), content.end());
    }
    const auto crc = static_cast<std::uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(content.data()), static_cast<uInt>(content.size())));
    const std::uint16_t method_code = method == ZipMethod::Deflated ? 8 : 0;
    const auto name_length = static_cast<std::uint16_t>(file_name.size());
    const ByteView name = gige::proto::as_bytes(file_name);

    ByteVec out;
    LittleEndianWriter w(out);
    w.u32(kLocalHeaderSignature);
    w.u16(kVersion);
    w.u16(0);  // flags
    w.u16(method_code);
    w.u16(kDosTime);
    w.u16(kDosDate);
    w.u32(crc);
    w.u32(static_cast<std::uint32_t>(data.size()));
    w.u32(static_cast<std::uint32_t>(content.size()));
    w.u16(name_length);
    w.u16(0);  // extra field length
    w.bytes(name);
    w.bytes(data);

    const auto directory_offset = static_cast<std::uint32_t>(out.size());
    w.u32(kCentralHeaderSignature);
    w.u16(kVersion);  // made by
    w.u16(kVersion);  // needed
    w.u16(0);
    w.u16(method_code);
    w.u16(kDosTime);
    w.u16(kDosDate);
    w.u32(crc);
    w.u32(static_cast<std::uint32_t>(data.size()));
    w.u32(static_cast<std::uint32_t>(content.size()));
    w.u16(name_length);
    w.u16(0);  // extra
    w.u16(0);  // comment
    w.u16(0);  // disk number
    w.u16(0);  // internal attributes
    w.u32(0);  // external attributes
    w.u32(0);  // local header offset
    w.bytes(name);
    const auto directory_size = static_cast<std::uint32_t>(out.size()) - directory_offset;

    w.u32(kEndOfDirectorySignature);
    w.u16(0);
    w.u16(0);
    w.u16(1);  // entries on this disk
    w.u16(1);  // entries in all
    w.u32(directory_size);
    w.u32(directory_offset);
    w.u16(0);  // comment length
    return out;
}

}  // namespace korvalite::sim
