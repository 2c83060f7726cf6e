#include <gtest/gtest.h>

#include "korvalite/error.hpp"

using namespace korvalite;

TEST(CameraError, MessagesOfEveryKind) {
    const std::pair<CameraError, std::string> cases[] = {
        {CameraError::io(98, "Address already in use"), "io error: Address already in use"},
        {CameraError::connect_timeout(), "connect timed out"},
        {CameraError::connect_timeout("192.168.1.20:3956"), "connect timed out: no answer from 192.168.1.20:3956"},
        {CameraError::not_connected(), "driver is not connected"},
        {CameraError::ack_timeout(), "timed out waiting for acknowledge"},
        {CameraError::control_denied(), "device control is held by another application"},
        {CameraError::control_lost(), "device control was lost (heartbeat failed)"},
        {CameraError::status(0x0082, 0x8006), "device answered command 0x0082 with access denied (0x8006)"},
        {CameraError::status(0x0082, 0x800F), "device answered command 0x0082 with status 0x800f"},
        {CameraError::malformed("payload_size must be set"), "malformed packet: payload_size must be set"},
        {CameraError::unsupported("http-hosted GenICam XML"), "device does not support http-hosted GenICam XML"},
        {CameraError::thread_spawn("bind control socket 0.0.0.0:0: Address already in use"),
         "worker thread failed to start: bind control socket 0.0.0.0:0: Address already in use"},
    };
    for (const auto& [error, text] : cases) EXPECT_EQ(error.message(), text);
}

TEST(GenicamError, MessagesOfEveryKind) {
    const std::pair<GenicamError, std::string> cases[] = {
        {GenicamError::feature_not_found("Gain"), "feature 'Gain' not found"},
        {GenicamError::unsupported_access("Width"), "node 'Width' does not support this access"},
        {GenicamError::unsupported_access("Width", "integer"),
         "node 'Width' does not support this access: Width is an integer feature"},
        {GenicamError::unsupported_access("Gain", "float"),
         "node 'Gain' does not support this access: Gain is a float feature"},
        {GenicamError::not_accessible("Reg"), "node 'Reg' is not accessible this way (access mode)"},
        {GenicamError::dangling_reference("Missing"), "dangling reference 'Missing'"},
        {GenicamError::circular_reference("A"), "circular reference through 'A'"},
        {GenicamError::formula("SK", "division by zero"), "formula in 'SK': division by zero"},
        {GenicamError::no_enum_entry("PixelFormat", "Mono9"), "enumeration 'PixelFormat' has no entry 'Mono9'"},
        {GenicamError::no_enum_entry("PixelFormat", "Mono9", {"Mono8", "RGB8"}),
         "enumeration 'PixelFormat' has no entry 'Mono9'; available entries: Mono8, RGB8"},
        {GenicamError::no_enum_entry("Mode", "Fast", {}), "enumeration 'Mode' has no entry 'Fast'; no entry is available now"},
        {GenicamError::description("feature model not loaded"), "device description: feature model not loaded"},
        {GenicamError::snap_timeout(), "no frame arrived within the snap timeout"},
        {GenicamError::transport(CameraError::ack_timeout()), "timed out waiting for acknowledge"},
        {GenicamError::feature_not_found("it's"), "feature 'it's' not found"},
    };
    for (const auto& [error, text] : cases) EXPECT_EQ(error.message(), text);
}

TEST(GenicamError, EntryListsStopAtTwentyAndSurviveNamingTheFeature) {
    std::vector<std::string> names;
    for (int i = 0; i < 23; ++i) names.push_back(std::string(1, 'E').append(std::to_string(i)));
    std::string shown = names[0];
    for (int i = 1; i < 20; ++i) {
        shown += ", ";
        shown += names[i];
    }
    const auto error = GenicamError::no_enum_entry("Mode", "X", names).in_feature("ModeAlias");
    EXPECT_EQ(error.message(), "ModeAlias: enumeration 'Mode' has no entry 'X'; available entries: " + shown + " and 3 more");
}

TEST(SharedCameraError, ConvertsBackUnchangedWhetherOrNotTheSlotStillHoldsIt) {
    SharedCameraError slot = share(CameraError::not_connected());
    SharedCameraError caller = slot;
    CameraError held = unshare(caller);
    EXPECT_EQ(held.message(), "driver is not connected");
    slot.reset();
    CameraError alone = unshare(caller);
    EXPECT_EQ(alone, held);
    EXPECT_EQ(alone.kind(), CameraError::Kind::NotConnected);

    SharedCameraError status = share(CameraError::status(0x0084, 0x8003));
    EXPECT_EQ(unshare(status), CameraError::status(0x0084, 0x8003));
}
