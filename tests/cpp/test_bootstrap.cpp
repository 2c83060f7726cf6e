// Device identity: parsing the identity block, its text fields, and fetching it over the
// control channel from a scripted device.
#include <gtest/gtest.h>

#include "bytes_util.hpp"
#include "capture_sink.hpp"
#include "korvalite/device/fetch_device_info.hpp"
#include "korvalite/utf8.hpp"
#include "worker_harness.hpp"

using namespace korvalite;
using namespace korvalite::gige;
using namespace korvalite::gige::proto;
using namespace korvalite::test_support;
using namespace std::chrono_literals;

namespace {

void put_text(ByteVec& block, std::size_t offset, std::string_view text) {
    std::copy(as_bytes(text).begin(), as_bytes(text).end(), block.begin() + offset);
}

// An identity block with every field filled in.
ByteVec identity_block(std::size_t size = DISCOVERY_DATA_SIZE) {
    ByteVec block(size);
    put_u32(block, 0x0000, 0x00020001);
    put_u32(block, 0x0004, 0x80000001);
    put_u32(block, 0x0008, 0xFFFF021A);  // the upper half is not part of the MAC
    put_u32(block, 0x000C, 0x2B3C4D5E);
    put_u32(block, 0x0010, 0x00000007);
    put_u32(block, 0x0014, 0x00000005);
    put_u32(block, 0x0024, 0xC0A8010A);
    put_u32(block, 0x0034, 0xFFFFFF00);
    put_u32(block, 0x0044, 0xC0A80101);
    put_text(block, 0x0048, "Korva Optics");
    put_text(block, 0x0068, "Cam\xFF");
    put_text(block, 0x0088, "1.0 ");
    put_text(block, 0x00A8, "info");
    put_text(block, 0x00D8, "0123456789ABCDEF");  // all 16 bytes, no zero byte
    return block;
}

}  // namespace

TEST(Utf8Lossy, EachInvalidSequenceBecomesOneReplacement) {
    const std::pair<std::string, std::string> cases[] = {
        {"43 61 6D FF", "Cam\xEF\xBF\xBD"},
        {"C3 A9", "\xC3\xA9"},                                 // valid two-byte sequence kept
        {"E2 82 41", "\xEF\xBF\xBD" "A"},                      // truncated sequence: one replacement
        {"C0 AF", "\xEF\xBF\xBD\xEF\xBF\xBD"},                 // overlong lead: each byte replaced
        {"ED A0 80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // surrogate
        {"F0 9F 98 80", "\xF0\x9F\x98\x80"},
    };
    for (const auto& [bytes, expected] : cases) EXPECT_EQ(utf8_lossy(hex_bytes(bytes)), expected) << bytes;
}

TEST(DeviceInfo, ParsesTheIdentityBlock) {
    EXPECT_FALSE(DeviceInfo::parse(ByteVec(247)));
    const auto info = DeviceInfo::parse(identity_block(300));
    ASSERT_TRUE(info);
    EXPECT_EQ(info->spec_version, (std::pair<std::uint16_t, std::uint16_t>{2, 1}));
    EXPECT_EQ(info->device_mode, 0x80000001u);
    EXPECT_EQ(info->mac_text(), "02:1a:2b:3c:4d:5e");
    EXPECT_EQ(info->ip_config_options, 7u);
    EXPECT_EQ(info->ip_config_current, 5u);
    EXPECT_EQ(dotted(info->ip), "192.168.1.10");
    EXPECT_EQ(dotted(info->subnet_mask), "255.255.255.0");
    EXPECT_EQ(dotted(info->gateway), "192.168.1.1");
    EXPECT_EQ(info->manufacturer, "Korva Optics");
    EXPECT_EQ(info->model, "Cam\xEF\xBF\xBD");
    EXPECT_EQ(info->device_version, "1.0 ");  // no trimming
    EXPECT_EQ(info->manufacturer_info, "info");
    EXPECT_EQ(info->serial, "0123456789ABCDEF");
    EXPECT_EQ(info->user_defined_name, "");
    EXPECT_EQ(*info, *DeviceInfo::parse(identity_block()));  // bytes past 248 are ignored
    EXPECT_EQ(string_reg(identity_block(), 0x00E8, 16), "");
    EXPECT_EQ(string_reg(identity_block(), 0x00F0, 16), "");  // a field reaching past the block
}

TEST(DeviceInfo, FetchedOverTheControlChannelEqualsTheParsedBlock) {
    Harness h("127.0.0.21");
    h.device.set_memory(0, identity_block());
    const auto fetched = device::fetch_device_info(h.port(), h.port().wait_timeout());
    ASSERT_TRUE(fetched) << fetched.error().message();
    EXPECT_EQ(*fetched, *DeviceInfo::parse(identity_block()));

    std::vector<std::pair<std::uint32_t, std::uint32_t>> reads;
    for (auto& r : h.device.commands()) {
        if (r.is_command(0x0080)) EXPECT_EQ(r.read_addresses().size(), 9u);
        else reads.push_back(r.memory_request());
    }
    EXPECT_EQ(reads, (std::vector<std::pair<std::uint32_t, std::uint32_t>>{
                         {0x48, 32}, {0x68, 32}, {0x88, 32}, {0xA8, 48}, {0xD8, 16}, {0xE8, 16}}));
}

TEST(DeviceInfo, ARefusedTextFieldIsEmptyOtherFailuresFailTheFetch) {
    ScopedCapture capture;
    Harness h("127.0.0.22", {.gvcp_timeout = 200ms, .retries = 1});
    h.device.set_memory(0, identity_block());
    const auto refuse = [](std::uint32_t address, bool silently) {
        return [=](const Received& r) -> std::optional<std::vector<Reply>> {
            if (r.memory_request().first != address || !r.is_command(0x0084)) return std::nullopt;
            if (silently) return std::vector<Reply>{};
            return std::vector<Reply>{{ScriptedDevice::nak(r, 0x8003)}};
        };
    };
    h.device.set_script(refuse(0x00A8, false));
    auto fetched = device::fetch_device_info(h.port(), h.port().wait_timeout());
    ASSERT_TRUE(fetched) << fetched.error().message();
    EXPECT_EQ(fetched->manufacturer_info, "");
    EXPECT_EQ(fetched->serial, "0123456789ABCDEF");
    std::vector<std::string> traces;
    for (auto& e : capture->snapshot())
        if (e.target == "korvalite::gige" && e.message.starts_with("string register")) traces.push_back(e.message);
    EXPECT_EQ(traces, std::vector<std::string>{
                          "string register 0x00a8 unreadable: device answered command 0x0084 with invalid address (0x8003)"});

    h.device.set_script(refuse(0x00D8, true));
    fetched = device::fetch_device_info(h.port(), h.port().wait_timeout());
    ASSERT_FALSE(fetched);
    EXPECT_EQ(fetched.error().message(), "timed out waiting for acknowledge");
}
