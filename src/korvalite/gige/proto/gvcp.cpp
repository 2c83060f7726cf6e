#include "korvalite/gige/proto/gvcp.hpp"

#include "korvalite/hex.hpp"

namespace korvalite::gige::proto {

namespace {

void put_command_header(MutableBytes out, std::uint8_t flags, std::uint16_t command, std::uint16_t length,
                        std::uint16_t request_id) {
    put_u8(out, 0, kCommandKey);
    put_u8(out, 1, flags);
    put_u16(out, 2, command);
    put_u16(out, 4, length);
    put_u16(out, 6, request_id);
}

}  // namespace

const char* command_name(std::uint16_t command) {
    switch (command) {
        case code::kDiscoveryCmd: return "DISCOVERY";
        case code::kPacketResendCmd: return "PACKETRESEND";
        case code::kReadRegCmd: return "READREG";
        case code::kWriteRegCmd: return "WRITEREG";
        case code::kReadMemCmd: return "READMEM";
        case code::kWriteMemCmd: return "WRITEMEM";
        case code::kEventCmd: return "EVENT";
        case code::kEventDataCmd: return "EVENTDATA";
        default: return nullptr;
    }
}

ByteVec encode_read_reg(std::span<const std::uint32_t> addresses, std::uint16_t request_id) {
    ByteVec out(kGvcpHeaderSize + 4 * addresses.size());
    put_command_header(out, kFlagAckRequired, code::kReadRegCmd, static_cast<std::uint16_t>(4 * addresses.size()),
                       request_id);
    for (std::size_t i = 0; i < addresses.size(); ++i) put_u32(out, kGvcpHeaderSize + 4 * i, addresses[i]);
    return out;
}

ByteVec encode_write_reg(std::span<const std::pair<std::uint32_t, std::uint32_t>> pairs,
                         std::uint16_t request_id) {
    ByteVec out(kGvcpHeaderSize + 8 * pairs.size());
    put_command_header(out, kFlagAckRequired, code::kWriteRegCmd, static_cast<std::uint16_t>(8 * pairs.size()),
                       request_id);
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        put_u32(out, kGvcpHeaderSize + 8 * i, pairs[i].first);
        put_u32(out, kGvcpHeaderSize + 8 * i + 4, pairs[i].second);
    }
    return out;
}

ByteVec encode_read_mem(std::uint32_t address, std::uint16_t count, std::uint16_t request_id) {
    ByteVec out(kGvcpHeaderSize + 8);
    put_command_header(out, kFlagAckRequired, code::kReadMemCmd, 8, request_id);
    put_u32(out, 8, address);
    put_u32(out, 12, count);
    return out;
}

ByteVec encode_write_mem(std::uint32_t address, ByteView data, std::uint16_t request_id) {
    ByteVec out(kGvcpHeaderSize + 4 + data.size());
    put_command_header(out, kFlagAckRequired, code::kWriteMemCmd, static_cast<std::uint16_t>(4 + data.size()),
                       request_id);
    put_u32(out, 8, address);
    std::copy(data.begin(), data.end(), out.begin() + 12);
    return out;
}

std::array<std::byte, 8> encode_discovery() {
    std::array<std::byte, 8> out{};
    put_command_header(out, kFlagAckRequired | kFlagBroadcastOrExtended, code::kDiscoveryCmd, 0, 0xFFFF);
    return out;
}

std::array<std::byte, 8> encode_event_ack(std::uint16_t command, std::uint16_t request_id) {
    std::array<std::byte, 8> out{};
    put_u16(out, 0, status::kSuccess);
    put_u16(out, 2, static_cast<std::uint16_t>(command + 1));
    put_u16(out, 4, 0);
    put_u16(out, 6, request_id);
    return out;
}

std::size_t encode_packet_resend(MutableBytes buffer, std::uint64_t block_id, std::uint32_t first_packet,
                                 std::uint32_t last_packet, bool extended, std::uint16_t request_id) {
    if (extended) {
        put_command_header(buffer, kFlagBroadcastOrExtended, code::kPacketResendCmd, 20, request_id);
        put_u32(buffer, 8, 0);
        put_u32(buffer, 12, first_packet);
        put_u32(buffer, 16, last_packet);
        put_u64(buffer, 20, block_id);
        return kPacketResendExtendedSize;
    }
    put_command_header(buffer, 0x00, code::kPacketResendCmd, 12, request_id);
    put_u32(buffer, 8, static_cast<std::uint32_t>(block_id & 0xFFFFFFFF));
    put_u32(buffer, 12, first_packet & 0x00FFFFFF);
    put_u32(buffer, 16, last_packet & 0x00FFFFFF);
    return kPacketResendSize;
}

ByteVec encode_ack(std::uint16_t status, std::uint16_t ack_code, std::uint16_t ack_id, ByteView payload) {
    ByteVec out(kGvcpHeaderSize + payload.size());
    put_u16(out, 0, status);
    put_u16(out, 2, ack_code);
    put_u16(out, 4, static_cast<std::uint16_t>(payload.size()));
    put_u16(out, 6, ack_id);
    std::copy(payload.begin(), payload.end(), out.begin() + kGvcpHeaderSize);
    return out;
}

ByteVec encode_command(std::uint8_t flags, std::uint16_t command, std::uint16_t request_id, ByteView payload) {
    ByteVec out(kGvcpHeaderSize + payload.size());
    put_command_header(out, flags, command, static_cast<std::uint16_t>(payload.size()), request_id);
    std::copy(payload.begin(), payload.end(), out.begin() + kGvcpHeaderSize);
    return out;
}

std::optional<GvcpDatagram> parse_datagram(ByteView datagram) {
    if (datagram.size() < kGvcpHeaderSize) return std::nullopt;
    GvcpDatagram d;
    d.is_command = u8_at(datagram, 0) == kCommandKey;
    if (d.is_command) {
        d.flags = u8_at(datagram, 1);
    } else {
        d.status = u16_at(datagram, 0);
    }
    d.code = u16_at(datagram, 2);
    d.length = u16_at(datagram, 4);
    d.id = u16_at(datagram, 6);
    if (datagram.size() - kGvcpHeaderSize < d.length) return std::nullopt;
    d.payload = datagram.subspan(kGvcpHeaderSize, d.length);
    return d;
}

std::optional<std::uint32_t> pending_ack_delay_ms(const GvcpDatagram& ack) {
    if (ack.length < 4) return std::nullopt;
    return u32_at(ack.payload, 0);
}

std::optional<ByteView> discovery_ack_payload(ByteView datagram) {
    // Judged on the acknowledge fields alone, whatever the first byte is.
    auto d = parse_datagram(datagram);
    if (!d || d->code != code::kDiscoveryAck || (u16_at(datagram, 0) & 0x8000) != 0) return std::nullopt;
    return d->payload;
}

GvcpEvent GvcpEvent::parse(std::uint16_t command, ByteView payload) {
    GvcpEvent e;
    e.command = command;
    const std::size_t n = payload.size();
    if (n >= 4) e.event_id = u16_at(payload, 2);
    if (n >= 6) e.stream_channel = u16_at(payload, 4);
    if (n >= 8) e.block_id = u16_at(payload, 6);
    if (n >= 16) e.timestamp = u64_at(payload, 8);
    if (n > 16) e.data.assign(payload.begin() + 16, payload.end());
    e.payload.assign(payload.begin(), payload.end());
    return e;
}

}  // namespace korvalite::gige::proto
