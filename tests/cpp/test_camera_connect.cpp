#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <sys/stat.h>

#include "capture_sink.hpp"
#include "korvalite/device/description_file.hpp"
#include "korvalite/device/gige_camera.hpp"
#include "korvalite/genicam/zip.hpp"
#include "scripted_device.hpp"
#include "shared_descriptions.hpp"

using namespace korvalite;
using namespace korvalite::test_support;
using namespace std::chrono_literals;
namespace reg = gige::proto::reg;

namespace {

// Devices here take 127.0.0.70-79; the host binds 127.0.0.69.
device::CameraSettings settings_for(const ScriptedDevice& device, bool exclusive = false) {
    device::CameraSettings s;
    s.device = device.endpoint();
    s.local_ip = net::Ipv4Address::parse("127.0.0.69");
    s.gvcp_timeout = 100ms;
    s.retries = 1;
    s.exclusive = exclusive;
    return s;
}

void put_text(ScriptedDevice& device, std::uint32_t address, std::string_view text) {
    device.set_memory(address, gige::proto::as_bytes(text));
}

void set_url(ScriptedDevice& device, std::uint32_t url_register, std::string_view url) {
    std::string padded(url);
    padded.resize(reg::kUrlSize, '\0');
    put_text(device, url_register, padded);
}

// URL sizes are hexadecimal.
std::string hex_size(const std::string& text) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%zx", text.size());
    return buf;
}

std::string text_of(const gige::proto::ByteVec& bytes) {
    return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

}  // namespace

TEST(CameraConnect, TakesControlReadsIdentityAndConnectsOnlyOnce) {
    for (bool exclusive : {false, true}) {
        ScriptedDevice device("127.0.0.70");
        put_text(device, reg::kModelName, "SimCam");
        put_text(device, reg::kSerialNumber, "SN-1");
        device.set_register(reg::kGvcpCapability, 0x4);
        ScopedCapture capture;
        device::GigECamera camera(settings_for(device, exclusive));
        ASSERT_TRUE(camera.connect()) << exclusive;
        EXPECT_EQ(camera.state(), device::ConnectionState::Connected);
        EXPECT_EQ(device.get_register(reg::kControlChannelPrivilege), exclusive ? 3u : 2u);
        EXPECT_EQ(device.get_register(reg::kHeartbeatTimeout), 3000u);
        EXPECT_EQ(camera.connection()->gvcp_capability, 0x4u);
        EXPECT_EQ(camera.connection()->device_info.model, "SimCam");

        const auto sent = device.commands().size();
        ASSERT_TRUE(camera.connect());
        EXPECT_EQ(device.commands().size(), sent);

        auto events = capture->snapshot();
        auto connected = std::find_if(events.begin(), events.end(), [](auto& e) { return e.message == "connected"; });
        ASSERT_NE(connected, events.end());
        EXPECT_EQ(connected->target, "korvalite::gige");
        ASSERT_EQ(connected->fields.size(), 3u);
        EXPECT_EQ(std::get<std::string>(connected->fields[0].value), device.endpoint().to_string());
        EXPECT_EQ(std::get<std::string>(connected->fields[2].value), "SN-1");

        camera.disconnect(500ms);
        EXPECT_EQ(camera.state(), device::ConnectionState::Disconnected);
        // Control is given back on the way out.
        EXPECT_TRUE(eventually([&] { return device.get_register(reg::kControlChannelPrivilege) == 0; }));
    }
}

TEST(CameraConnect, RefusedOrUnansweredPrivilegeFailsAndLeavesNothingRunning) {
    const std::pair<std::uint16_t, std::string> refusals[] = {
        {0x8006, "device control is held by another application"},
        {0x8004, "device control is held by another application"},
        {0x8003, "device answered command 0x0082 with invalid address (0x8003)"},
    };
    for (const auto& [status, text] : refusals) {
        ScriptedDevice device("127.0.0.71");
        device.set_script([status = status](const Received& r) -> std::optional<std::vector<Reply>> {
            if (r.is_command(gige::proto::code::kWriteRegCmd)) return std::vector<Reply>{{ScriptedDevice::nak(r, status)}};
            return std::nullopt;
        });
        device::GigECamera camera(settings_for(device));
        auto result = camera.connect();
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error().message(), text);
        EXPECT_EQ(camera.state(), device::ConnectionState::Disconnected);
    }

    ScriptedDevice silent("127.0.0.72");
    silent.set_script([](const Received&) { return std::optional<std::vector<Reply>>(std::vector<Reply>{}); });
    device::GigECamera camera(settings_for(silent));
    const auto start = std::chrono::steady_clock::now();
    auto result = camera.connect();
    const auto elapsed = std::chrono::steady_clock::now() - start;
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().message(), "connect timed out: no answer from " + silent.endpoint().to_string());
    EXPECT_GE(elapsed, 200ms);  // gvcp_timeout x (retries + 1) before the worker gives up
    EXPECT_LT(elapsed, 5s);
    EXPECT_EQ(camera.state(), device::ConnectionState::Disconnected);
}

TEST(CameraConnect, RefusedStringRegisterStillConnects) {
    ScriptedDevice device("127.0.0.73");
    put_text(device, reg::kUserDefinedName, "left");
    device.set_script([](const Received& r) -> std::optional<std::vector<Reply>> {
        if (r.is_command(gige::proto::code::kReadMemCmd) && r.memory_request().first == reg::kUserDefinedName)
            return std::vector<Reply>{{ScriptedDevice::nak(r, 0x8003)}};
        return std::nullopt;
    });
    device::GigECamera camera(settings_for(device));
    ASSERT_TRUE(camera.connect());
    EXPECT_EQ(camera.connection()->device_info.user_defined_name, "");
}

TEST(CameraConnect, DeadConnectionIsReplacedByTheNextConnect) {
    ScriptedDevice device("127.0.0.74");
    std::atomic<bool> refuse_heartbeats{false};
    device.set_script([&](const Received& r) -> std::optional<std::vector<Reply>> {
        if (refuse_heartbeats && r.is_heartbeat()) return std::vector<Reply>{{ScriptedDevice::nak(r, 0x8006)}};
        return std::nullopt;
    });
    auto s = settings_for(device);
    s.heartbeat_timeout_ms = 150;  // heartbeats every 50 ms
    device::GigECamera camera(s);
    ASSERT_TRUE(camera.connect());
    refuse_heartbeats = true;
    ASSERT_TRUE(eventually([&] { return camera.state() == device::ConnectionState::Dead; }));
    EXPECT_EQ(camera.connection_error()->message(), "device control was lost (heartbeat failed)");
    EXPECT_EQ(camera.genicam_xml().error().message(), "device control was lost (heartbeat failed)");
    refuse_heartbeats = false;
    ASSERT_TRUE(camera.connect());
    EXPECT_EQ(camera.state(), device::ConnectionState::Connected);
}

TEST(CameraConnect, DisconnectWithoutConnectionDoesNothing) {
    ScopedCapture capture;
    device::CameraSettings s;
    s.device = net::Endpoint{*net::Ipv4Address::parse("127.0.0.75"), 3956};
    device::GigECamera camera(s);
    camera.disconnect(500ms);
    EXPECT_TRUE(capture->snapshot().empty());
    EXPECT_EQ(camera.genicam_xml().error().message(), "driver is not connected");
}

TEST(CameraDescription, FromDeviceMemoryPlainZippedAndFromAHostFile) {
    ScriptedDevice device("127.0.0.76");
    device::GigECamera camera(settings_for(device));
    ASSERT_TRUE(camera.connect());

    const std::string xml = "<?xml version=\"1.0\"?><RegisterDescription/>";
    put_text(device, 0x1000, xml);
    set_url(device, reg::kFirstUrl, "Local:camera.xml;1000;" + hex_size(xml));
    auto plain = camera.genicam_xml();
    ASSERT_TRUE(plain) << plain.error().message();
    EXPECT_EQ(text_of(*plain), xml);

    KORVALITE_REQUIRE_SHARED_DESCRIPTIONS();
    const std::filesystem::path zip =
        korvalite::test_support::shared_descriptions() / "genicam__harvesters__issue_66_altered_zip.zip";
    std::ifstream in(zip, std::ios::binary);
    std::string archive((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(archive.empty());
    put_text(device, 0x2000, archive);
    char url[96];
    std::snprintf(url, sizeof url, "local:camera.zip;2000;%zx", archive.size());
    set_url(device, reg::kFirstUrl, url);
    auto unzipped = camera.genicam_xml();
    ASSERT_TRUE(unzipped) << unzipped.error().message();
    EXPECT_NE(text_of(*unzipped).find("RegisterDescription"), std::string::npos);

    const auto file = std::filesystem::temp_directory_path() / "korvalite_camera_test.xml";
    std::ofstream(file) << xml;
    set_url(device, reg::kFirstUrl, "file:" + file.string());
    auto from_file = camera.genicam_xml();
    ASSERT_TRUE(from_file) << from_file.error().message();
    EXPECT_EQ(text_of(*from_file), xml);
    std::filesystem::remove(file);
}

// Only regular files of bounded size are read: the others fail at once, naming the path,
// without reading (a FIFO without writer would block, /dev/zero would never end).
TEST(CameraDescription, HostFilesOtherThanBoundedRegularFilesFailNamingThePath) {
    const auto dir = std::filesystem::temp_directory_path() / ("korvalite_files_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const auto fifo = (dir / "fifo.xml").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const auto large = dir / "large.xml";
    std::ofstream(large).close();
    std::filesystem::resize_file(large, genicam::kMaxEntrySize + 1);  // sparse: nothing is written
    const auto exact = dir / "exact.xml";
    std::ofstream(exact).close();
    std::filesystem::resize_file(exact, genicam::kMaxEntrySize);

    const std::string prefix = "io error: GenICam XML file ";
    const struct {
        std::string path;
        std::string error;
    } cases[] = {
        {"/dev/zero", prefix + "/dev/zero: not a regular file"},
        {fifo, prefix + fifo + ": not a regular file"},
        {dir.string(), prefix + dir.string() + ": not a regular file"},
        {large.string(), prefix + large.string() + ": larger than 67108864 bytes"},
        {(dir / "missing.xml").string(), prefix + (dir / "missing.xml").string() + ": No such file or directory"},
    };
    for (const auto& c : cases) {
        auto bytes = device::read_description_file(c.path);
        ASSERT_FALSE(bytes) << c.path;
        EXPECT_EQ(bytes.error().message(), c.error);
    }
    auto at_limit = device::read_description_file(exact.string());
    ASSERT_TRUE(at_limit) << at_limit.error().message();
    EXPECT_EQ(at_limit->size(), genicam::kMaxEntrySize);
    std::filesystem::remove_all(dir);
}

TEST(CameraDescription, SecondUrlAfterAWebAddressAndTheErrorOfTheSecond) {
    ScriptedDevice device("127.0.0.77");
    device::GigECamera camera(settings_for(device));
    ASSERT_TRUE(camera.connect());
    const std::string xml = "<RegisterDescription/>";
    put_text(device, 0x1000, xml);
    set_url(device, reg::kFirstUrl, "http://example.invalid/camera.xml");
    set_url(device, reg::kSecondUrl, "Local:c.xml;1000;" + hex_size(xml));
    {
        ScopedCapture capture;
        auto bytes = camera.genicam_xml();
        ASSERT_TRUE(bytes);
        EXPECT_EQ(text_of(*bytes), xml);
        EXPECT_EQ(capture->messages(log::Level::Debug),
                  std::vector<std::string>{
                      "GenICam URL at 0x200 failed: device does not support http-hosted GenICam XML"});
    }
    set_url(device, reg::kSecondUrl, "Local:c.xml;100000000;10");
    auto failed = camera.genicam_xml();
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().message(), "malformed packet: XML address beyond 32 bit");

    // Without a second URL the first one's failure is reported.
    set_url(device, reg::kFirstUrl, "file:///nonexistent/camera.xml");
    set_url(device, reg::kSecondUrl, "");
    EXPECT_EQ(camera.genicam_xml().error().message(),
              "io error: GenICam XML file /nonexistent/camera.xml: No such file or directory");
}

TEST(CameraModel, LoadedOnceKeptAcrossReconnectsAndNeedsALiveConnection) {
    ScriptedDevice device("127.0.0.78");
    device::GigECamera camera(settings_for(device));
    EXPECT_EQ(camera.ensure_genicam().error().message(), "driver is not connected");
    EXPECT_EQ(camera.ensure_genicam().error().kind(), GenicamError::Kind::Transport);
    ASSERT_TRUE(camera.connect());

    const std::string xml =
        "<RegisterDescription><Integer Name=\"Answer\"><Value>42</Value></Integer></RegisterDescription>";
    put_text(device, 0x1000, xml);
    set_url(device, reg::kFirstUrl, "Local:c.xml;1000;" + hex_size(xml));
    {
        ScopedCapture capture;
        ASSERT_TRUE(camera.ensure_genicam());
        EXPECT_EQ(capture->messages(log::Level::Debug), std::vector<std::string>{"GenICam feature model loaded"});
    }
    ASSERT_NE(camera.model(), nullptr);
    EXPECT_TRUE(camera.model()->lookup("Answer"));
    ASSERT_NE(camera.description_cache(), nullptr);

    // Reconnecting to the same device keeps the model: only the URL registers are read again.
    camera.disconnect(500ms);
    ASSERT_NE(camera.model(), nullptr);
    const genicam::Genicam* kept = camera.model();
    ASSERT_TRUE(camera.connect());
    const auto before = device.commands().size();
    ASSERT_TRUE(camera.ensure_genicam());
    const auto sent = device.commands();
    std::vector<std::pair<std::uint32_t, std::uint32_t>> reads;
    for (std::size_t i = before; i < sent.size(); ++i) reads.push_back(sent[i].memory_request());
    EXPECT_EQ(reads, (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{reg::kFirstUrl, reg::kUrlSize},
                                                                            {reg::kSecondUrl, reg::kUrlSize}}));
    EXPECT_EQ(camera.model(), kept);

    // A dropped model is rebuilt from the cached bytes without touching the device.
    camera.set_model(nullptr);
    ASSERT_TRUE(camera.ensure_genicam());
    EXPECT_EQ(device.commands().size(), sent.size());
    EXPECT_TRUE(camera.model()->lookup("Answer"));
}

TEST(CameraModel, MalformedDescriptionIsADescriptionError) {
    ScriptedDevice device("127.0.0.79");
    device::GigECamera camera(settings_for(device));
    ASSERT_TRUE(camera.connect());
    const std::string xml = "<RegisterDescription><Integer>";
    put_text(device, 0x1000, xml);
    set_url(device, reg::kFirstUrl, "Local:c.xml;1000;" + hex_size(xml));
    auto result = camera.ensure_genicam();
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().kind(), GenicamError::Kind::Description);
    EXPECT_EQ(camera.model(), nullptr);
    EXPECT_EQ(camera.description_cache(), nullptr);  // the next try fetches the description again
}

// A file on the host may change while its URL stays the same: each connection reads it again,
// and only changed contents build a new model.
TEST(CameraModel, AHostFileDescriptionIsReadAgainOnEachConnection) {
    ScriptedDevice device("127.0.0.88");
    device::GigECamera camera(settings_for(device));
    const auto file = std::filesystem::temp_directory_path() /
                      ("korvalite_reconnect_" + std::to_string(::getpid()) + ".xml");
    const auto describe = [&](const char* name) {
        std::ofstream(file) << "<RegisterDescription><Integer Name=\"" << name
                            << "\"><Value>1</Value></Integer></RegisterDescription>";
    };
    describe("Before");
    set_url(device, reg::kFirstUrl, "file:" + file.string());
    ASSERT_TRUE(camera.connect());
    ASSERT_TRUE(camera.ensure_genicam());
    const struct {
        const char* written;  // nullptr: the file stays as it was
        bool model_kept;
        const char* feature;
    } cases[] = {{nullptr, true, "Before"}, {"After", false, "After"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.feature);
        const genicam::Genicam* old_model = camera.model();
        camera.disconnect(500ms);
        if (c.written) describe(c.written);
        ASSERT_TRUE(camera.connect());
        ASSERT_TRUE(camera.ensure_genicam());
        if (c.model_kept) {
            EXPECT_EQ(camera.model(), old_model);
        }
        EXPECT_TRUE(camera.model()->lookup(c.feature));
    }
    std::filesystem::remove(file);
}
