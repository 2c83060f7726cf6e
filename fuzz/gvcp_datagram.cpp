// One datagram arriving on the control socket, taken apart the way the control worker does:
// recognition, then acknowledge values, PENDING_ACK delays, discovery identities, device events.
#include <algorithm>

#include "fuzz_support.hpp"
#include "korvalite/gige/proto/gvcp.hpp"

using namespace korvalite::gige::proto;

namespace {

void check_acknowledge(const GvcpDatagram& ack) {
    KORVALITE_FUZZ_CHECK(!GvcpStatus{ack.status}.display().empty());
    const std::size_t count = read_reg_value_count(ack);
    KORVALITE_FUZZ_CHECK(4 * count <= ack.payload.size());
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < count; ++i) sum += read_reg_value(ack, i);
    (void)sum;
    const auto delay = pending_ack_delay_ms(ack);
    KORVALITE_FUZZ_CHECK(delay.has_value() == (ack.payload.size() >= 4));
}

void check_device_command(const GvcpDatagram& command) {
    const GvcpEvent event = GvcpEvent::parse(command.code, command.payload);
    KORVALITE_FUZZ_CHECK(std::ranges::equal(event.payload, command.payload));
    KORVALITE_FUZZ_CHECK(event.data.size() == (command.payload.size() > 16 ? command.payload.size() - 16 : 0));
    const auto ack = parse_datagram(encode_event_ack(command.code, command.id));
    KORVALITE_FUZZ_CHECK(ack && !ack->is_command && ack->id == command.id && ack->payload.empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const ByteView datagram(reinterpret_cast<const std::byte*>(data), size);

    const auto parsed = parse_datagram(datagram);
    const bool well_formed = size >= kGvcpHeaderSize && size - kGvcpHeaderSize >= u16_at(datagram, 4);
    KORVALITE_FUZZ_CHECK(parsed.has_value() == well_formed);
    if (parsed) {
        KORVALITE_FUZZ_CHECK(parsed->payload.data() == datagram.data() + kGvcpHeaderSize);
        KORVALITE_FUZZ_CHECK(parsed->payload.size() == parsed->length);
        if (!parsed->is_command) check_acknowledge(*parsed);
        else if (is_accepted_device_command(parsed->code)) check_device_command(*parsed);
    }

    if (const auto identity = discovery_ack_payload(datagram)) {
        KORVALITE_FUZZ_CHECK(parsed && parsed->code == code::kDiscoveryAck);
        KORVALITE_FUZZ_CHECK(identity->data() == parsed->payload.data() && identity->size() == parsed->length);
    }
    return 0;
}
