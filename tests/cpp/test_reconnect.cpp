// Reconnecting to whatever device now answers at the same address (127.0.0.86, host .87).
#include <gtest/gtest.h>

#include "capture_sink.hpp"
#include "korvalite/device/genicamera.hpp"
#include "korvalite/device/gige_camera.hpp"
#include "korvalite/sim/description.hpp"
#include "korvalite/sim/feature_map.hpp"
#include "korvalite/sim/simulated_camera.hpp"

using namespace korvalite;
using namespace korvalite::test_support;
using namespace std::chrono_literals;

namespace {

const net::Ipv4Address kCameraIp{0x7F000056};  // 127.0.0.86
const net::Ipv4Address kHostIp{0x7F000057};    // 127.0.0.87
constexpr std::uint32_t kMovedWidth = 0x30060;

// The built-in description with Width's register moved; the text keeps its length, so the
// URL register reads the same as before.
std::string description_with_moved_width() {
    std::string xml(sim::builtin_description());
    const std::string from = "<Address>0x10000</Address>";
    const auto at = xml.find(from);
    EXPECT_NE(at, std::string::npos);
    xml.replace(at, from.size(), "<Address>0x30060</Address>");
    return xml;
}

std::unique_ptr<sim::SimulatedCamera> start_camera(sim::SimConfig config) {
    auto cam = sim::SimulatedCamera::create(config);
    EXPECT_TRUE(cam) << cam.error();
    if (!cam) return nullptr;
    EXPECT_TRUE((*cam)->start());
    return std::move(*cam);
}

std::vector<std::uint32_t> written_addresses(sim::SimulatedCamera& cam, std::uint32_t value) {
    std::vector<std::uint32_t> out;
    for (const auto& w : cam.writes().since(0))
        if (w.command == 0x0082 && w.value() == value) out.push_back(w.address);
    return out;
}

}  // namespace

TEST(Reconnect, AnotherDeviceAtTheSameAddressBringsItsOwnDescriptionAndAWarning) {
    struct Case {
        const char* name;
        std::string serial;
        std::array<std::uint8_t, 6> mac;
        std::string device_version;
        bool warned;
    };
    const sim::Identity first;
    const Case cases[] = {
        {"another camera", "SIM00002", {0x02, 0x4B, 0x56, 0x00, 0x00, 0x02}, first.device_version, true},
        {"new firmware on the same camera", first.serial, first.mac, "2.0.0", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sim::SimConfig config;
        config.bind = {kCameraIp, 0};
        auto old_cam = start_camera(config);
        ASSERT_TRUE(old_cam);
        const net::Endpoint address = old_cam->endpoint();
        const std::string url = old_cam->first_url();

        device::CameraSettings settings;
        settings.device = address;
        settings.local_ip = kHostIp;
        device::GenICamera camera(settings);
        ASSERT_TRUE(camera.connect());
        ASSERT_TRUE(camera.set_integer("Width", 320));
        EXPECT_EQ(written_addresses(*old_cam, 320), std::vector<std::uint32_t>{sim::features::kWidth});
        camera.disconnect(500ms);
        old_cam.reset();

        config.bind = address;
        config.identity.serial = c.serial;
        config.identity.mac = c.mac;
        config.identity.device_version = c.device_version;
        config.description = description_with_moved_width();
        config.spare_memory = true;
        auto new_cam = start_camera(config);
        ASSERT_TRUE(new_cam);
        ASSERT_EQ(new_cam->first_url(), url);  // only the identity tells the descriptions apart

        ScopedCapture capture;
        ASSERT_TRUE(camera.connect());
        ASSERT_TRUE(camera.set_integer("Width", 320));
        EXPECT_EQ(written_addresses(*new_cam, 320), std::vector<std::uint32_t>{kMovedWidth});
        EXPECT_EQ(camera.device_info()->serial, c.serial);
        const auto warnings = capture->messages(log::Level::Warn);
        EXPECT_EQ(warnings, c.warned ? std::vector<std::string>{"connected to a different device than before"}
                                     : std::vector<std::string>{});
        camera.disconnect(500ms);
    }
}
