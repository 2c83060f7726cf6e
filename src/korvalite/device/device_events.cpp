#include "korvalite/device/device_events.hpp"

#include "korvalite/device/host_address.hpp"
#include "korvalite/device/layers.hpp"
#include "korvalite/log.hpp"
#include "korvalite/try.hpp"

namespace korvalite::device {

namespace {

namespace reg = proto::reg;

// Whether the device has a message channel; a device that refuses the count register has none.
CameraResult<bool> has_message_channel(const ControlPort& port) {
    auto count = wait_plain(port.read_register(reg::kNumberOfMessageChannels), port.wait_timeout());
    if (!count) {
        if (count.error().kind() == CameraError::Kind::Status) return false;
        return std::unexpected(count.error());
    }
    return *count > 0;
}

CameraResult<void> open_message_channel(Connection& connection) {
    if (connection.message_channel_open || !connection.capability().event()) return {};
    const ControlPort& port = connection.port();
    auto present = has_message_channel(port);
    if (!present) return std::unexpected(present.error());
    if (*present) {
        auto host = host_address_towards(connection.channel.local, connection.device);
        if (!host) return std::unexpected(host.error());
        const auto write = [&](std::uint32_t address, std::uint32_t value) {
            return wait_plain(port.write_register(address, value), port.wait_timeout());
        };
        KORVALITE_TRY(write(reg::kMessageChannelDestination, host->value));
        if (auto r = write(reg::kMessageChannelPort, connection.channel.local.port); !r)
            return std::unexpected(r.error());
        KORVALITE_LOG(log::targets::gige, log::Level::Debug, "message channel opened",
                      {{"local", net::Endpoint{*host, connection.channel.local.port}.to_string()}});
    }
    connection.message_channel_open = true;
    return {};
}

}  // namespace

CameraResult<gige::EventChannel> subscribe_events(Connection& connection, std::size_t capacity) {
    if (!connection.is_alive()) return std::unexpected(connection.dead_error());
    if (capacity == 0) return std::unexpected(CameraError::malformed("event capacity must be at least 1"));
    KORVALITE_TRY(open_message_channel(connection));
    auto [sender, channel] = gige::make_event_channel(capacity);
    gige::ResponseHandle<void> added;
    if (!connection.port().subscribe(std::move(sender), added)) return std::unexpected(connection.dead_error());
    // Once the worker has it, no event that arrives later passes it by.
    KORVALITE_TRY(wait_plain(added, connection.port().wait_timeout()));
    return std::move(channel);
}

}  // namespace korvalite::device
