#include "korvalite/gige/proto/gvsp.hpp"

#include "korvalite/hex.hpp"

namespace korvalite::gige::proto {

std::optional<GvspPacket> decode_gvsp(ByteView datagram) {
    if (datagram.size() < kGvspHeaderSize) return std::nullopt;
    GvspPacket p;
    p.status = u16_at(datagram, 0);
    const std::uint8_t flags_format = u8_at(datagram, 4);
    p.extended = (flags_format & 0x80) != 0;
    p.format = flags_format & 0x7F;
    if (p.extended) {
        if (datagram.size() < kGvspExtendedHeaderSize) return std::nullopt;
        p.block_id = u64_at(datagram, 8);
        p.packet_id = u32_at(datagram, 16);
        p.data = datagram.subspan(kGvspExtendedHeaderSize);
    } else {
        p.block_id = u16_at(datagram, 2);
        p.packet_id = u24_at(datagram, 5);
        p.data = datagram.subspan(kGvspHeaderSize);
    }
    return p;
}

bool GvspLeader::opens_frame() const {
    if (!has_info()) return false;
    return payload_type == kPayloadTypeImage || payload_type == kPayloadTypeChunkData ||
           payload_type == kPayloadTypeExtendedChunk;
}

GvspLeader decode_leader(ByteView data) {
    GvspLeader l;
    const std::size_t n = data.size();
    if (n < 12) return l;
    const std::uint16_t raw_type = u16_at(data, 2);
    l.payload_type = raw_type & ~kPayloadTypeChunkFlag;
    const bool chunk = (raw_type & kPayloadTypeChunkFlag) != 0 || (l.payload_type & ~std::uint16_t{1}) == 4;
    l.chunk = chunk ? ChunkFlag::Yes : ChunkFlag::No;
    l.timestamp = u64_at(data, 4);
    if (n >= 16) l.pixel_format = u32_at(data, 12);
    if (n >= 20) l.size_x = u32_at(data, 16);
    if (n >= 24) l.size_y = u32_at(data, 20);
    if (n >= 28) l.offset_x = u32_at(data, 24);
    if (n >= 32) l.offset_y = u32_at(data, 28);
    if (n >= 34) l.padding_x = u16_at(data, 32);
    if (n >= 36) l.padding_y = u16_at(data, 34);
    return l;
}

std::optional<std::uint32_t> image_trailer_size_y(ByteView data) {
    if (data.size() < kImageTrailerSize) return std::nullopt;
    if ((u16_at(data, 2) & ~kPayloadTypeChunkFlag) != kPayloadTypeImage) return std::nullopt;
    return u32_at(data, 4);
}

std::size_t put_gvsp_header(MutableBytes out, std::uint16_t status, std::uint64_t block_id, bool extended,
                            std::uint8_t format, std::uint32_t packet_id) {
    put_u16(out, 0, status);
    if (extended) {
        put_u16(out, 2, 0);
        put_u8(out, 4, static_cast<std::uint8_t>(0x80 | (format & 0x7F)));
        put_u24(out, 5, 0);
        put_u64(out, 8, block_id);
        put_u32(out, 16, packet_id);
        return kGvspExtendedHeaderSize;
    }
    put_u16(out, 2, static_cast<std::uint16_t>(block_id & 0xFFFF));
    put_u8(out, 4, format & 0x7F);
    put_u24(out, 5, packet_id & 0x00FFFFFF);
    return kGvspHeaderSize;
}

void put_image_leader(MutableBytes out, std::uint16_t payload_type, std::uint64_t timestamp,
                      std::uint32_t pixel_format, std::uint32_t size_x, std::uint32_t size_y,
                      std::uint32_t offset_x, std::uint32_t offset_y, std::uint16_t padding_x,
                      std::uint16_t padding_y) {
    put_u16(out, 0, 0);
    put_u16(out, 2, payload_type);
    put_u64(out, 4, timestamp);
    put_u32(out, 12, pixel_format);
    put_u32(out, 16, size_x);
    put_u32(out, 20, size_y);
    put_u32(out, 24, offset_x);
    put_u32(out, 28, offset_y);
    put_u16(out, 32, padding_x);
    put_u16(out, 34, padding_y);
}

void put_image_trailer(MutableBytes out, std::uint16_t payload_type, std::uint32_t size_y) {
    put_u16(out, 0, 0);
    put_u16(out, 2, payload_type);
    put_u32(out, 4, size_y);
}

std::string PixelFormat::name() const {
    switch (code) {
        case kMono8: return "Mono8";
        case kMono10: return "Mono10";
        case kMono12: return "Mono12";
        case kMono16: return "Mono16";
        case kBayerRG8: return "BayerRG8";
        case kBayerGB8: return "BayerGB8";
        case kYUV422_8: return "YUV422_8";
        case kRGB8: return "RGB8";
        case kBGR8: return "BGR8";
        default: return hex_code(code, 8);
    }
}

}  // namespace korvalite::gige::proto
