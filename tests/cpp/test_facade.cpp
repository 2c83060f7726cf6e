// The feature facade: the access check in each state of the camera, the write log events, and
// feature operations against a scripted device on loopback.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>

#include "capture_sink.hpp"
#include "korvalite/device/genicamera.hpp"
#include "korvalite/device/gige_camera.hpp"
#include "korvalite/genicam/xml.hpp"
#include "korvalite/gige/proto/gvcp.hpp"
#include "scripted_device.hpp"

using namespace korvalite;
using namespace korvalite::genicam;
using namespace korvalite::device;
using namespace korvalite::test_support;
using namespace std::chrono_literals;
namespace code = gige::proto::code;

namespace {

// Devices here take 127.0.0.80-88; the host binds 127.0.0.89.
device::CameraSettings settings_for(net::Endpoint device) {
    device::CameraSettings s;
    s.device = device;
    s.local_ip = net::Ipv4Address::parse("127.0.0.89");
    s.gvcp_timeout = 100ms;
    s.retries = 1;
    return s;
}

constexpr const char* kDescription = R"(<RegisterDescription>
    <Integer Name="PayloadSize"><pValue>PayloadReg</pValue></Integer>
    <IntReg Name="PayloadReg"><Address>0x8000</Address><Length>4</Length><Endianess>BigEndian</Endianess>
      <Sign>Signed</Sign><Cachable>NoCache</Cachable></IntReg>
    <IntReg Name="Cached"><Address>0x8004</Address><Length>4</Length><Endianess>BigEndian</Endianess>
      <Cachable>WriteThrough</Cachable></IntReg>
    <String Name="Vendor"><Value>Acme</Value></String>
    <StringReg Name="Model"><Address>0x8010</Address><Length>16</Length></StringReg>
    <Enumeration Name="Mode"><pValue>ModeReg</pValue>
      <EnumEntry Name="Slow"><Value>1</Value></EnumEntry><EnumEntry Name="Fast"><Value>2</Value></EnumEntry></Enumeration>
    <IntReg Name="ModeReg"><Address>0x8020</Address><Length>4</Length><Endianess>BigEndian</Endianess></IntReg>
    <Command Name="Start"><pValue>StartReg</pValue></Command>
    <IntReg Name="StartReg"><Address>0x8024</Address><Length>4</Length><Endianess>BigEndian</Endianess>
      <AccessMode>WO</AccessMode></IntReg>
    <Float Name="Gain"><Value>1.5</Value><Min>0</Min><Max>10</Max></Float>
    <Boolean Name="Flag"><Value>0</Value></Boolean>
    <Integer Name="Width"><Value>640</Value><Inc>16</Inc></Integer>
  </RegisterDescription>)";

std::unique_ptr<Genicam> model() {
    auto graph = parse_description(kDescription);
    EXPECT_TRUE(graph.has_value());
    return std::make_unique<Genicam>(std::move(*graph));
}

// Every feature operation with the message it ended in ("ok" on success).
std::vector<std::pair<std::string, std::string>> every_operation(GenICamera& camera) {
    auto outcome = [](const auto& result) { return result ? std::string("ok") : result.error().message(); };
    gige::stream::StreamOptions options;
    return {
        {"get_integer", outcome(camera.get_integer("Width"))},
        {"set_integer", outcome(camera.set_integer("Width", 1))},
        {"integer_bounds", outcome(camera.integer_bounds("Width"))},
        {"integer_increment", outcome(camera.integer_increment("Width"))},
        {"get_float", outcome(camera.get_float("Gain"))},
        {"set_float", outcome(camera.set_float("Gain", 1.0))},
        {"float_bounds", outcome(camera.float_bounds("Gain"))},
        {"get_boolean", outcome(camera.get_boolean("Flag"))},
        {"set_boolean", outcome(camera.set_boolean("Flag", true))},
        {"get_string", outcome(camera.get_string("Vendor"))},
        {"set_string", outcome(camera.set_string("Vendor", "x"))},
        {"get_enum", outcome(camera.get_enum("Mode"))},
        {"set_enum", outcome(camera.set_enum("Mode", "Fast"))},
        {"enum_entries", outcome(camera.enum_entries("Mode"))},
        {"execute", outcome(camera.execute("Start"))},
        {"access_mode", outcome(camera.access_mode("Width"))},
        {"invalidate_caches", outcome(camera.invalidate_caches())},
        {"fill_payload_size", outcome(camera.fill_payload_size(options))},
    };
}

void expect_all_fail_with(GenICamera& camera, const std::string& message) {
    for (const auto& [operation, outcome] : every_operation(camera)) EXPECT_EQ(outcome, message) << operation;
}

std::size_t register_reads_of(const ScriptedDevice& device, std::uint32_t address) {
    std::size_t n = 0;
    for (const auto& r : device.commands())
        if (r.is_command(code::kReadRegCmd) && r.read_addresses() == std::vector<std::uint32_t>{address}) ++n;
    return n;
}

}  // namespace

TEST(Facade, NeverConnectedRefusesEveryOperationButLogsWrites) {
    ScopedCapture capture;
    GenICamera camera(settings_for(net::Endpoint{*net::Ipv4Address::parse("127.0.0.80"), 3956}));
    expect_all_fail_with(camera, "driver is not connected");
    EXPECT_EQ(camera.get_integer("Width").error().kind(), GenicamError::Kind::Transport);

    // A kept model does not help without a connection.
    camera.gige().set_model(model());
    expect_all_fail_with(camera, "driver is not connected");
    EXPECT_FALSE(camera.has_feature("Width"));
    EXPECT_EQ(camera.feature_names().error().message(), "device description: feature model not loaded");

    gige::stream::StreamOptions given;
    given.payload_size = 4096;
    EXPECT_TRUE(camera.fill_payload_size(given));
    EXPECT_EQ(given.payload_size, 4096u);

    std::vector<std::string> traced;
    for (const auto& e : capture->snapshot()) {
        EXPECT_EQ(e.target, "korvalite::genicam");
        EXPECT_EQ(e.level, log::Level::Trace);
        traced.push_back(e.message);
    }
    const std::vector<std::string> writes = {"set integer", "set float",   "set boolean",    "set string",
                                             "set enum",    "execute command"};
    std::vector<std::string> twice = writes;
    twice.insert(twice.end(), writes.begin(), writes.end());
    EXPECT_EQ(traced, twice);

    const auto events = capture->snapshot();
    ASSERT_EQ(events[0].fields.size(), 2u);
    EXPECT_EQ(events[0].fields[0].name, "feature");
    EXPECT_EQ(std::get<std::string>(events[0].fields[0].value), "Width");
    EXPECT_EQ(events[0].fields[1].name, "value");
    EXPECT_EQ(std::get<std::int64_t>(events[0].fields[1].value), 1);
    EXPECT_EQ(std::get<double>(events[1].fields[1].value), 1.0);
    EXPECT_EQ(std::get<bool>(events[2].fields[1].value), true);
    EXPECT_EQ(std::get<std::string>(events[3].fields[1].value), "x");
    EXPECT_EQ(events[4].fields[1].name, "entry");
    EXPECT_EQ(std::get<std::string>(events[4].fields[1].value), "Fast");
    ASSERT_EQ(events[5].fields.size(), 1u);
    EXPECT_EQ(std::get<std::string>(events[5].fields[0].value), "Start");
}

// The feature tree needs only a model; what describes the connection needs a live one.
TEST(Facade, FeatureTreeAnswersFromAKeptModelConnectionQueriesNeedALiveConnection) {
    GenICamera camera(settings_for(net::Endpoint{*net::Ipv4Address::parse("127.0.0.80"), 3956}));
    EXPECT_EQ(camera.value_kind("Width").error().message(), "device description: feature model not loaded");

    camera.gige().set_model(model());
    const std::vector<std::pair<std::string, std::string>> kinds = {
        {"PayloadSize", "integer"}, {"PayloadReg", "integer"}, {"Gain", "float"},       {"Flag", "boolean"},
        {"Vendor", "string"},       {"Model", "string"},       {"Mode", "enumeration"}, {"Start", "command"}};
    for (const auto& [name, kind] : kinds) EXPECT_EQ(camera.value_kind(name).value_or("?"), kind) << name;
    EXPECT_EQ(camera.category_features("Mode").value_or(std::vector<std::string>{"?"}), std::vector<std::string>{});
    EXPECT_EQ(camera.category_features("Missing").error().kind(), GenicamError::Kind::FeatureNotFound);

    const std::string not_connected = CameraError::not_connected().message();
    EXPECT_EQ(camera.state(), ConnectionState::Disconnected);
    EXPECT_EQ(camera.device_info().error().message(), not_connected);
    EXPECT_FALSE(camera.link_stats().has_value());
    const auto lost = camera.loss_check()();
    ASSERT_TRUE(lost.has_value());
    EXPECT_EQ(lost->message(), not_connected);
}

TEST(Facade, FeaturesOfAConnectedCameraReachTheDevice) {
    ScriptedDevice device("127.0.0.81");
    device.set_register(0x8000, 1000);
    device.set_memory(0x8010, gige::proto::as_bytes(std::string_view("Model-7\0\0\0\0\0\0\0\0\0", 16)));
    device.set_register(0x8020, 2);
    GenICamera camera(settings_for(device.endpoint()));
    ASSERT_TRUE(camera.gige().connect());
    EXPECT_EQ(camera.get_integer("PayloadSize").error().message(), "device description: feature model not loaded");
    EXPECT_FALSE(camera.has_feature("PayloadSize"));

    camera.gige().set_model(model());
    EXPECT_TRUE(camera.has_feature("PayloadSize"));
    EXPECT_FALSE(camera.has_feature("payloadsize"));
    EXPECT_EQ(camera.get_integer("Nope").error().message(), "feature 'Nope' not found");
    EXPECT_EQ(camera.get_integer("PayloadSize"), 1000);
    EXPECT_EQ(camera.get_enum("Vendor"), "Acme");
    EXPECT_EQ(camera.get_enum("Model"), "Model-7");
    EXPECT_EQ(camera.get_enum("Mode"), "Fast");
    ASSERT_TRUE(camera.set_enum("Mode", "Slow"));
    EXPECT_EQ(device.get_register(0x8020), 1u);
    EXPECT_EQ(camera.enum_entries("Mode"), (std::vector<std::string>{"Slow", "Fast"}));
    EXPECT_EQ(camera.integer_increment("Width"), 16);
    EXPECT_EQ(camera.float_bounds("Gain"), (std::pair{0.0, 10.0}));
    EXPECT_EQ(camera.access_mode("Start"), AccessMode::WO);
    ASSERT_TRUE(camera.execute("Start"));
    EXPECT_EQ(device.get_register(0x8024), 1u);
    EXPECT_EQ(camera.get_integer("Start").error().message(), "node 'Start' does not support this access: Start is a command feature");

    ScopedCapture capture;
    EXPECT_EQ(camera.execute("Width").error().message(), "node 'Width' does not support this access: Width is an integer feature");
    EXPECT_EQ(capture->messages(log::Level::Trace), std::vector<std::string>{"execute command"});

    gige::stream::StreamOptions options;
    ASSERT_TRUE(camera.fill_payload_size(options));
    EXPECT_EQ(options.payload_size, 1000u);
    device.set_register(0x8000, 0xFFFFFFFF);
    gige::stream::StreamOptions negative;
    EXPECT_EQ(camera.fill_payload_size(negative).error().message(), "device description: negative PayloadSize");
    EXPECT_FALSE(negative.payload_size.has_value());
    EXPECT_TRUE(camera.gige().model()->stack.empty());
}

TEST(Facade, InvalidatedCachesAreReadFromTheDeviceAgain) {
    ScriptedDevice device("127.0.0.82");
    GenICamera camera(settings_for(device.endpoint()));
    ASSERT_TRUE(camera.gige().connect());
    camera.gige().set_model(model());
    ASSERT_TRUE(camera.set_integer("Cached", 5));
    EXPECT_EQ(device.get_register(0x8004), 5u);
    EXPECT_EQ(camera.get_integer("Cached"), 5);
    EXPECT_EQ(register_reads_of(device, 0x8004), 0u);

    device.set_register(0x8004, 6);
    ASSERT_TRUE(camera.invalidate_caches());
    EXPECT_EQ(camera.get_integer("Cached"), 6);
    EXPECT_EQ(register_reads_of(device, 0x8004), 1u);
}

TEST(Facade, AfterLossOfControlOnlyTheKeptModelAnswers) {
    ScriptedDevice device("127.0.0.83");
    std::atomic<bool> refuse_heartbeats{false};
    device.set_script([&](const Received& r) -> std::optional<std::vector<Reply>> {
        if (refuse_heartbeats && r.is_heartbeat()) return std::vector<Reply>{{ScriptedDevice::nak(r, 0x8006)}};
        return std::nullopt;
    });
    auto settings = settings_for(device.endpoint());
    settings.heartbeat_timeout_ms = 150;  // heartbeats every 50 ms
    GenICamera camera(settings);
    ASSERT_TRUE(camera.gige().connect());
    camera.gige().set_model(model());
    ASSERT_EQ(camera.get_integer("Width"), 640);

    refuse_heartbeats = true;
    ASSERT_TRUE(eventually([&] { return camera.gige().state() == device::ConnectionState::Dead; }));
    expect_all_fail_with(camera, "device control was lost (heartbeat failed)");
    EXPECT_TRUE(camera.has_feature("Width"));
    auto names = camera.feature_names();
    ASSERT_TRUE(names.has_value());
    EXPECT_NE(std::find(names->begin(), names->end(), "PayloadSize"), names->end());
}
