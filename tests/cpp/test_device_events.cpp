// Subscribing to a device's events: the message channel is pointed at the control socket once per
// connection, and only on a device that announces events and has a message channel; events then
// reach every subscription and the connection's newest-event record.
#include <gtest/gtest.h>

#include "korvalite/device/device_events.hpp"
#include "korvalite/device/gige_camera.hpp"
#include "scripted_device.hpp"

using namespace korvalite;
using namespace korvalite::test_support;
using namespace std::chrono_literals;
namespace reg = gige::proto::reg;
namespace bit = gige::proto::capability;

namespace {

constexpr const char* kHost = "127.0.0.85";  // the device takes 127.0.0.84

device::CameraSettings settings_for(const ScriptedDevice& device) {
    device::CameraSettings s;
    s.device = device.endpoint();
    s.local_ip = net::Ipv4Address::parse(kHost);
    s.gvcp_timeout = 100ms;
    s.retries = 1;
    return s;
}

// The WRITEREG pairs the device received for the message channel registers.
std::vector<std::pair<std::uint32_t, std::uint32_t>> message_channel_writes(const ScriptedDevice& device) {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> writes;
    for (const auto& r : device.commands())
        if (r.is_command(gige::proto::code::kWriteRegCmd))
            for (auto pair : r.write_pairs())
                if (pair.first == reg::kMessageChannelPort || pair.first == reg::kMessageChannelDestination)
                    writes.push_back(pair);
    return writes;
}

}  // namespace

TEST(DeviceEvents, TheMessageChannelOpensOnceWhereTheDeviceHasOneAndEventsReachEverySubscription) {
    struct Case {
        std::uint32_t capability;
        std::optional<std::uint32_t> message_channels;  // nothing: the device refuses the count register
        bool opens;
    };
    const Case cases[] = {
        {bit::kEvent, 1, true},
        {0, 1, false},
        {bit::kEvent, 0, false},
        {bit::kEvent, std::nullopt, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.capability << " " << c.message_channels.value_or(99));
        ScriptedDevice device("127.0.0.84");
        device.set_register(reg::kGvcpCapability, c.capability);
        device.set_register(reg::kNumberOfMessageChannels, c.message_channels.value_or(0));
        if (!c.message_channels)
            device.set_script([](const Received& r) -> std::optional<std::vector<Reply>> {
                if (r.is_command(gige::proto::code::kReadRegCmd) &&
                    r.read_addresses() == std::vector<std::uint32_t>{reg::kNumberOfMessageChannels})
                    return std::vector<Reply>{{ScriptedDevice::nak(r, gige::proto::status::kInvalidAddress)}};
                return std::nullopt;
            });
        device::GigECamera camera(settings_for(device));
        ASSERT_TRUE(camera.connect());
        auto first = device::subscribe_events(*camera.connection(), 4);
        auto second = device::subscribe_events(*camera.connection(), 4);
        ASSERT_TRUE(first && second);

        const net::Endpoint host = camera.connection()->channel.local;
        using Writes = std::vector<std::pair<std::uint32_t, std::uint32_t>>;
        const Writes opened = {{reg::kMessageChannelDestination, host.address.value},
                               {reg::kMessageChannelPort, host.port}};
        EXPECT_EQ(message_channel_writes(device), c.opens ? opened : Writes{});

        gige::proto::ByteVec record(16);
        gige::proto::put_u16(record, 2, 0x9002);
        gige::proto::put_u64(record, 8, 4242);
        device.send(gige::proto::encode_command(0x01, gige::proto::code::kEventCmd, 0x0301, record), host);
        for (auto* subscription : {&*first, &*second}) {
            auto event = subscription->wait_for(5s);
            ASSERT_TRUE(event);
            EXPECT_EQ(event->event_id, 0x9002);
            EXPECT_EQ(event->timestamp, 4242u);
        }
        EXPECT_EQ(camera.connection()->channel.shared->last_events.payload(0x9002), record);
        camera.disconnect(1s);
        EXPECT_FALSE(first->wait_for(1s));  // the subscription ends with the connection
        EXPECT_TRUE(first->has_ended());
    }
}
