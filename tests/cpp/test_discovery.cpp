// Discovery: adapter enumeration, destinations, answer acceptance, and whole runs against a
// scripted device on loopback (configured adapters whose "broadcast" is the device's own
// address, so nothing is broadcast). Runs over the host's adapters are in the Python tests,
// inside network namespaces.
#include <net/if.h>

#include <gtest/gtest.h>

#include <cstring>
#include <deque>

#include "bytes_util.hpp"
#include "capture_sink.hpp"
#include "korvalite/gige/discovery.hpp"
#include "scripted_device.hpp"

using namespace korvalite;
using namespace korvalite::gige;
using namespace korvalite::test_support;
using namespace std::chrono_literals;
using proto::ByteVec;

namespace {

net::Ipv4Address ip(const char* text) { return *net::Ipv4Address::parse(text); }

// An identity block with the given MAC (last byte), serial and current IP address.
ByteVec identity(std::uint8_t mac_last, const std::string& serial, const char* address = "10.77.1.2") {
    ByteVec block(proto::DISCOVERY_DATA_SIZE);
    proto::put_u32(block, proto::reg::kVersion, 0x00020001);
    proto::put_u32(block, proto::reg::kMacHigh, 0x0000021A);
    proto::put_u32(block, proto::reg::kMacLow, 0x2B3C4D00u | mac_last);
    proto::put_u32(block, proto::reg::kCurrentIp, ip(address).value);
    std::memcpy(block.data() + proto::reg::kManufacturerName, "Korva", 5);
    std::memcpy(block.data() + proto::reg::kSerialNumber, serial.data(), serial.size());
    return block;
}

ByteVec discovery_ack(ByteVec payload, std::uint16_t status = 0, std::uint16_t code = proto::code::kDiscoveryAck) {
    return proto::encode_ack(status, code, 0xFFFF, payload);
}

// Loopback adapters: the "broadcast" is the scripted device's unicast address.
NetworkAdapter adapter(const char* name, const char* address, const ScriptedDevice& device) {
    return {name, ip(address), ip("255.0.0.0"), device.endpoint().address};
}

DiscoveryConfig loopback_config(std::vector<NetworkAdapter> adapters, const ScriptedDevice& device,
                                std::chrono::milliseconds timeout = 150ms) {
    DiscoveryConfig config;
    config.adapters = std::move(adapters);
    config.timeout = timeout;
    config.device_port = device.endpoint().port;
    config.limited_broadcast = false;
    return config;
}

std::vector<Received> discovery_commands(const ScriptedDevice& device) {
    std::vector<Received> out;
    for (const auto& r : device.received())
        if (r.is_command(proto::code::kDiscoveryCmd)) out.push_back(r);
    return out;
}

// A hand-built interface address list.
class InterfaceList {
public:
    void add(const char* name, int family, const char* address, const char* netmask, const char* broadcast,
             unsigned flags = IFF_UP | IFF_BROADCAST) {
        Entry& e = entries_.emplace_back();
        e.name = name;
        e.node.ifa_name = e.name.data();
        e.node.ifa_flags = flags;
        e.node.ifa_addr = fill(e.address, family, address);
        e.node.ifa_netmask = fill(e.netmask, family, netmask);
        e.node.ifa_broadaddr = fill(e.broadcast, family, broadcast);
        if (entries_.size() > 1) entries_[entries_.size() - 2].node.ifa_next = &e.node;
    }
    const ifaddrs* head() const { return entries_.empty() ? nullptr : &entries_.front().node; }

private:
    struct Entry {
        std::string name;
        sockaddr_storage address{}, netmask{}, broadcast{};
        ifaddrs node{};
    };
    static sockaddr* fill(sockaddr_storage& storage, int family, const char* text) {
        if (text == nullptr) return nullptr;
        storage.ss_family = static_cast<sa_family_t>(family);
        if (family == AF_INET)
            reinterpret_cast<sockaddr_in&>(storage) = net::Endpoint{ip(text), 0}.to_sockaddr();
        return reinterpret_cast<sockaddr*>(&storage);
    }
    std::deque<Entry> entries_;
};

}  // namespace

TEST(NetworkAdapters, KeepsUsableIpv4AddressesAndFillsMissingBroadcasts) {
    InterfaceList list;
    list.add("lo", AF_INET, "127.0.0.1", "255.0.0.0", "127.0.0.1", IFF_UP | IFF_LOOPBACK);
    list.add("eth0", AF_PACKET, nullptr, nullptr, nullptr);
    list.add("eth0", AF_INET, "192.168.1.10", "255.255.255.0", "192.168.1.255");
    list.add("eth0", AF_INET6, "::1", nullptr, nullptr);
    // Configured without a broadcast: the C library reports the address itself.
    list.add("eth1", AF_INET, "192.168.2.10", "255.255.255.0", "192.168.2.10");
    list.add("eth2", AF_INET, "10.1.2.3", "255.255.0.0", nullptr);
    list.add("eth3", AF_INET, "10.9.0.1", "255.255.255.0", "0.0.0.0");
    list.add("unset", AF_INET, "0.0.0.0", "0.0.0.0", nullptr);
    list.add("loop2", AF_INET, "127.5.0.1", "255.0.0.0", nullptr);
    // A point-to-point link names its peer where a broadcast would be.
    list.add("tun0", AF_INET, "10.8.0.2", "255.255.255.0", "10.8.0.1", IFF_UP | IFF_POINTOPOINT);
    list.add("down0", AF_INET, "172.16.0.5", "255.240.0.0", "172.31.255.255", IFF_BROADCAST);
    list.add("nomask", AF_INET, "10.3.3.3", nullptr, nullptr);

    const std::vector<NetworkAdapter> expected = {
        {"eth0", ip("192.168.1.10"), ip("255.255.255.0"), ip("192.168.1.255")},
        {"eth1", ip("192.168.2.10"), ip("255.255.255.0"), ip("192.168.2.255")},
        {"eth2", ip("10.1.2.3"), ip("255.255.0.0"), ip("10.1.255.255")},
        {"eth3", ip("10.9.0.1"), ip("255.255.255.0"), ip("10.9.0.255")},
        {"tun0", ip("10.8.0.2"), ip("255.255.255.0"), ip("10.8.0.255")},
        {"down0", ip("172.16.0.5"), ip("255.240.0.0"), ip("172.31.255.255")},
        {"nomask", ip("10.3.3.3"), ip("0.0.0.0"), ip("255.255.255.255")},
    };
    EXPECT_EQ(adapters_from(list.head()), expected);
    EXPECT_TRUE(adapters_from(nullptr).empty());
}

TEST(Discovery, DestinationsAreTheAdapterBroadcastAndTheLimitedBroadcast) {
    struct Case {
        const char* broadcast;
        bool limited;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"192.168.1.255", true, {"192.168.1.255:3956", "255.255.255.255:3956"}},
        {"192.168.1.255", false, {"192.168.1.255:3956"}},
        {"255.255.255.255", true, {"255.255.255.255:3956"}},
    };
    for (const Case& c : cases) {
        DiscoveryConfig config;
        config.limited_broadcast = c.limited;
        const NetworkAdapter a{"eth0", ip("192.168.1.10"), ip("255.255.255.0"), ip(c.broadcast)};
        std::vector<std::string> got;
        for (const auto& d : discovery_destinations(a, config)) got.push_back(d.to_string());
        EXPECT_EQ(got, c.expected) << c.broadcast << " limited=" << c.limited;
    }
}

TEST(Discovery, AcceptsOnlyWellFormedSuccessfulAcknowledges) {
    const ByteVec block = identity(0x5E, "SN1");
    auto with_length = [](ByteVec datagram, std::uint16_t length) {
        proto::put_u16(datagram, 4, length);
        return datagram;
    };
    ByteVec long_payload = block;
    long_payload.resize(300, std::byte{0x77});
    struct Case {
        const char* what;
        ByteVec datagram;
        bool accepted;
    };
    const Case cases[] = {
        {"good", discovery_ack(block), true},
        {"success status with bit 8", discovery_ack(block, 0x0100), true},
        {"refused", discovery_ack(block, 0x8001), false},
        {"wrong acknowledge code", discovery_ack(block, 0, 0x0004), false},
        {"247-byte identity", discovery_ack(ByteVec(block.begin(), block.end() - 1)), false},
        {"300-byte identity", discovery_ack(long_payload), true},
        {"length beyond the datagram", with_length(discovery_ack(block), 249), false},
        {"length 0, identity follows anyway", with_length(discovery_ack(block), 0), true},
        {"header only", discovery_ack({}), false},
        {"under 8 bytes", hex_bytes("00 00 00 03 00 00 FF"), false},
        {"the command itself", to_vec(proto::encode_discovery()), false},
    };
    for (const Case& c : cases) {
        const auto info = parse_discovery_answer(c.datagram);
        EXPECT_EQ(info.has_value(), c.accepted) << c.what;
        if (info) {
            EXPECT_EQ(info->mac_text(), "02:1a:2b:3c:4d:5e") << c.what;
        }
    }
}

TEST(Discovery, FindsADeviceOnAConfiguredAdapter) {
    ScopedCapture capture;
    ScriptedDevice device("127.0.0.61");
    device.set_memory(0, identity(0x01, "SN-ONE"));
    const NetworkAdapter lo60 = adapter("kvl60", "127.0.0.60", device);

    const auto found = discover(loopback_config({lo60}, device));

    ASSERT_TRUE(found) << found.error().message();
    ASSERT_EQ(found->size(), 1u);
    EXPECT_EQ((*found)[0].info, *proto::DeviceInfo::parse(identity(0x01, "SN-ONE")));
    EXPECT_EQ((*found)[0].adapter, lo60);
    EXPECT_EQ((*found)[0].source, device.endpoint());
    const auto commands = discovery_commands(device);
    ASSERT_EQ(commands.size(), 1u);
    EXPECT_EQ(commands[0].raw, hex_bytes("42 11 00 02 00 00 FF FF"));
    EXPECT_EQ(commands[0].from.address, ip("127.0.0.60"));

    const auto events = capture->snapshot();
    ASSERT_FALSE(events.empty());
    const log::Event& last = events.back();
    EXPECT_EQ(last.target, "korvalite::gige::discovery");
    EXPECT_EQ(last.level, log::Level::Debug);
    EXPECT_EQ(last.message, "discovery finished");
    ASSERT_EQ(last.fields.size(), 1u);
    EXPECT_EQ(last.fields[0].name, "devices");
    EXPECT_EQ(last.fields[0].value, log::FieldValue(std::uint64_t{1}));
}

TEST(Discovery, ADeviceAnsweringOnTwoAdaptersIsListedOnceWithTheFirstAdapter) {
    ScriptedDevice device("127.0.0.63");
    device.set_memory(0, identity(0x02, "SN-TWO"));
    // The answer to the second adapter comes 100 ms later, so the order of arrival is certain.
    device.set_script([&device](const Received& command) -> std::optional<std::vector<Reply>> {
        const auto delay = command.from.address == ip("127.0.0.64") ? 100ms : 0ms;
        return std::vector<Reply>{{device.answer(command), Via::Device, delay}};
    });
    const auto found = discover(loopback_config(
        {adapter("kvl62", "127.0.0.62", device), adapter("kvl64", "127.0.0.64", device)}, device, 400ms));

    ASSERT_TRUE(found) << found.error().message();
    ASSERT_EQ(found->size(), 1u);
    EXPECT_EQ((*found)[0].adapter.name, "kvl62");
    EXPECT_EQ((*found)[0].info.serial, "SN-TWO");
    EXPECT_EQ(discovery_commands(device).size(), 2u);  // both adapters asked, both were answered
}

TEST(Discovery, IgnoresRefusedMalformedAndRepeatedAnswers) {
    ScriptedDevice device("127.0.0.65");
    device.set_script([](const Received& command) -> std::optional<std::vector<Reply>> {
        if (!command.is_command(proto::code::kDiscoveryCmd)) return std::nullopt;
        ByteVec overlong = discovery_ack(identity(0x0C, "OVERLONG"));
        proto::put_u16(overlong, 4, 300);
        return std::vector<Reply>{
            {discovery_ack(identity(0x0A, "REFUSED"), 0x8001)},
            {discovery_ack(identity(0x0B, "WRONG-CODE"), 0, 0x0004)},
            {overlong},
            {discovery_ack(ByteVec(247))},
            {discovery_ack(identity(0x0D, "FIRST"))},
            {discovery_ack(identity(0x0D, "SAME-MAC"))},
            {discovery_ack(identity(0x0E, "SECOND"))},
        };
    });
    const auto found = discover(loopback_config({adapter("kvl66", "127.0.0.66", device)}, device));

    ASSERT_TRUE(found) << found.error().message();
    std::vector<std::string> serials;
    for (const auto& d : *found) serials.push_back(d.info.serial);
    EXPECT_EQ(serials, (std::vector<std::string>{"FIRST", "SECOND"}));
}

TEST(Discovery, CollectsUntilTheTimeoutAndNoLonger) {
    ScriptedDevice device("127.0.0.67");
    device.set_script([](const Received&) -> std::optional<std::vector<Reply>> {
        return std::vector<Reply>{{discovery_ack(identity(0x0F, "LATE")), Via::Device, 80ms}};
    });
    const NetworkAdapter lo68 = adapter("kvl68", "127.0.0.68", device);

    // Timeout 0: the command goes out but no pass runs.
    auto start = std::chrono::steady_clock::now();
    const auto none = discover(loopback_config({lo68}, device, 0ms));
    ASSERT_TRUE(none) << none.error().message();
    EXPECT_TRUE(none->empty());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_TRUE(device.wait_until([](const auto& r) { return r.size() == 1; }));

    // An answer 80 ms late is collected within 400 ms, and the run lasts the whole time-out.
    start = std::chrono::steady_clock::now();
    const auto late = discover(loopback_config({lo68}, device, 400ms));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    ASSERT_TRUE(late) << late.error().message();
    ASSERT_EQ(late->size(), 1u);
    EXPECT_EQ((*late)[0].info.serial, "LATE");
    EXPECT_GE(elapsed, 400ms);
    EXPECT_LT(elapsed, 3s);
}

TEST(Discovery, AdaptersThatCannotSendAreSkipped) {
    ScriptedDevice device("127.0.0.69");
    device.set_memory(0, identity(0x10, "SN-OK"));
    // 10.77.250.1 is no local address: binding fails, nothing is sent.
    const NetworkAdapter foreign{"foreign0", ip("10.77.250.1"), ip("255.255.255.0"), ip("10.77.250.255")};
    const NetworkAdapter good = adapter("kvl70", "127.0.0.70", device);

    {
        ScopedCapture capture;
        const auto found = discover(loopback_config({foreign, good}, device));
        ASSERT_TRUE(found) << found.error().message();
        ASSERT_EQ(found->size(), 1u);
        EXPECT_EQ((*found)[0].adapter, good);
        EXPECT_EQ(capture->messages(log::Level::Warn),
                  std::vector<std::string>{"discovery: skipping foreign0 (10.77.250.1): Cannot assign requested address"});
    }

    struct Case {
        const char* what;
        std::vector<NetworkAdapter> adapters;
        std::uint16_t device_port;
        std::vector<std::string> warn;
        std::vector<std::string> trace;
    };
    const Case cases[] = {
        {"no adapters", {}, device.endpoint().port, {}, {}},
        {"bind fails", {foreign}, device.endpoint().port,
         {"discovery: skipping foreign0 (10.77.250.1): Cannot assign requested address"}, {}},
        // Port 0 is refused by the kernel before anything reaches the wire.
        {"every send fails", {good}, 0, {}, {"discovery: send to 127.0.0.69:0 failed: Invalid argument"}},
    };
    for (const Case& c : cases) {
        ScopedCapture capture;
        DiscoveryConfig config = loopback_config(c.adapters, device);
        config.device_port = c.device_port;
        const auto result = discover(config);
        ASSERT_FALSE(result) << c.what;
        EXPECT_EQ(result.error().message(), "io error: no usable network adapter for discovery") << c.what;
        EXPECT_EQ(result.error().os_errno(), EADDRNOTAVAIL) << c.what;
        EXPECT_EQ(capture->messages(log::Level::Warn), c.warn) << c.what;
        EXPECT_EQ(capture->messages(log::Level::Trace), c.trace) << c.what;
    }
}
