// A run of datagrams on the stream socket (each framed by a 2-byte length), decoded the way the
// stream worker does: header first, then the leader of every leader packet.
#include <array>

#include "fuzz_support.hpp"
#include "korvalite/gige/proto/gvsp.hpp"

using namespace korvalite::gige::proto;

namespace {

// Encoding the decoded header again must give a header that decodes to the same fields.
void check_header_round_trip(const GvspPacket& packet) {
    std::array<std::byte, kGvspExtendedHeaderSize> header{};
    const std::size_t n =
        put_gvsp_header(header, packet.status, packet.block_id, packet.extended, packet.format, packet.packet_id);
    const auto again = decode_gvsp(std::span(header).first(n));
    KORVALITE_FUZZ_CHECK(again && again->data.empty());
    KORVALITE_FUZZ_CHECK(again->status == packet.status && again->block_id == packet.block_id &&
                         again->extended == packet.extended && again->format == packet.format &&
                         again->packet_id == packet.packet_id);
}

void check_leader(ByteView data) {
    const GvspLeader leader = decode_leader(data);
    KORVALITE_FUZZ_CHECK(leader.has_info() == (data.size() >= 12));
    KORVALITE_FUZZ_CHECK((leader.payload_type & kPayloadTypeChunkFlag) == 0);
    if (leader.opens_frame()) {
        const PixelFormat format{leader.pixel_format};
        KORVALITE_FUZZ_CHECK(!format.name().empty());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    korvalite::fuzz::FuzzInput input(data, size);
    while (const auto datagram = input.take_datagram()) {
        const auto packet = decode_gvsp(*datagram);
        const bool extended = datagram->size() > 4 && (u8_at(*datagram, 4) & 0x80) != 0;
        const std::size_t header = extended ? kGvspExtendedHeaderSize : kGvspHeaderSize;
        KORVALITE_FUZZ_CHECK(packet.has_value() == (datagram->size() >= header));
        if (!packet) continue;
        KORVALITE_FUZZ_CHECK(packet->data.data() == datagram->data() + header);
        KORVALITE_FUZZ_CHECK(packet->extended == extended);
        check_header_round_trip(*packet);
        if (packet->format == packet_format::kLeader) check_leader(packet->data);
    }
    return 0;
}
