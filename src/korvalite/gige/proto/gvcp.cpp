#include "korvalite/gige/proto/gvcp.hpp"

#include <algorithm>
#include <array>

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

ByteVec encode_read_reg_ack(std::uint16_t status, std::uint16_t ack_id, std::span<const std::uint32_t> values) {
    ByteVec payload(4 * values.size());
    for (std::size_t i = 0; i < values.size(); ++i) put_u32(payload, 4 * i, values[i]);
    return encode_ack(status, code::kReadRegAck, ack_id, payload);
}

ByteVec encode_write_ack(std::uint16_t status, std::uint16_t ack_code, std::uint16_t ack_id, std::uint16_t done) {
    // 16 reserved bits, then how many registers or bytes were written.
    std::array<std::byte, 4> payload{};
    put_u16(payload, 2, done);
    return encode_ack(status, ack_code, ack_id, payload);
}

ByteVec encode_read_mem_ack(std::uint16_t status, std::uint16_t ack_id, std::uint32_t address, ByteView data) {
    ByteVec payload(4 + data.size());
    put_u32(payload, 0, address);
    std::copy(data.begin(), data.end(), payload.begin() + 4);
    return encode_ack(status, code::kReadMemAck, ack_id, payload);
}

ByteVec encode_pending_ack(std::uint16_t ack_id, std::uint16_t milliseconds) {
    // 16 reserved bits, then the time to completion.
    std::array<std::byte, 4> payload{};
    put_u16(payload, 2, milliseconds);
    return encode_ack(status::kSuccess, code::kPendingAck, ack_id, payload);
}

ByteVec encode_event_command(bool ack_required, std::uint16_t request_id, std::uint16_t event_id,
                             std::uint16_t stream_channel, std::uint16_t block_id, std::uint64_t timestamp,
                             std::optional<ByteView> data) {
    ByteVec payload(16 + (data ? data->size() : 0));
    put_u16(payload, 2, event_id);
    put_u16(payload, 4, stream_channel);
    put_u16(payload, 6, block_id);
    put_u64(payload, 8, timestamp);
    if (data) std::copy(data->begin(), data->end(), payload.begin() + 16);
    return encode_command(ack_required ? kFlagAckRequired : 0, data ? code::kEventDataCmd : code::kEventCmd,
                          request_id, payload);
}

std::optional<std::vector<std::uint32_t>> decode_read_reg(const GvcpDatagram& command) {
    if (command.payload.empty() || command.payload.size() % 4 != 0) return std::nullopt;
    std::vector<std::uint32_t> addresses(command.payload.size() / 4);
    for (std::size_t i = 0; i < addresses.size(); ++i) addresses[i] = u32_at(command.payload, 4 * i);
    return addresses;
}

std::optional<std::vector<std::pair<std::uint32_t, std::uint32_t>>> decode_write_reg(const GvcpDatagram& command) {
    if (command.payload.empty() || command.payload.size() % 8 != 0) return std::nullopt;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> pairs(command.payload.size() / 8);
    for (std::size_t i = 0; i < pairs.size(); ++i)
        pairs[i] = {u32_at(command.payload, 8 * i), u32_at(command.payload, 8 * i + 4)};
    return pairs;
}

std::optional<ReadMemRequest> decode_read_mem(const GvcpDatagram& command) {
    if (command.payload.size() != 8) return std::nullopt;
    return ReadMemRequest{u32_at(command.payload, 0), u32_at(command.payload, 4)};
}

std::optional<WriteMemRequest> decode_write_mem(const GvcpDatagram& command) {
    if (command.payload.size() < 4) return std::nullopt;
    return WriteMemRequest{u32_at(command.payload, 0), command.payload.subspan(4)};
}

std::optional<ResendRequest> decode_packet_resend(std::uint8_t flags, ByteView payload) {
    ResendRequest r;
    r.extended = (flags & kFlagBroadcastOrExtended) != 0;
    if (r.extended) {
        if (payload.size() < 20) return std::nullopt;
        r.channel = u16_at(payload, 0);
        r.first_packet = u32_at(payload, 4);
        r.last_packet = u32_at(payload, 8);
        r.block_id = u64_at(payload, 12);
        return r;
    }
    if (payload.size() < 12) return std::nullopt;
    r.channel = u16_at(payload, 0);
    r.block_id = u16_at(payload, 2);
    r.first_packet = u32_at(payload, 4) & 0x00FFFFFF;
    r.last_packet = u32_at(payload, 8) & 0x00FFFFFF;
    return r;
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
