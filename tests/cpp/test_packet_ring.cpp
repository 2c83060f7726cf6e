// The packet ring: parsing of captured IPv4/UDP packets, and a live ring on loopback (this suite
// takes 127.0.0.160-165). Live tests skip where AF_PACKET sockets are not permitted.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <vector>

#include "bytes_util.hpp"
#include "korvalite/gige/proto/bytes.hpp"
#include "korvalite/net/packet_ring.hpp"
#include "korvalite/net/udp_socket.hpp"

using namespace korvalite;
using namespace korvalite::test_support;
using namespace std::chrono_literals;
using net::PacketFault;
using ByteVec = std::vector<std::byte>;

namespace {

// --- Building packets ---------------------------------------------------------------------------

std::uint16_t ones_complement_checksum(const ByteVec& bytes, std::size_t from, std::size_t size) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < size; i += 2) {
        const unsigned high = std::to_integer<unsigned>(bytes[from + i]);
        const unsigned low = i + 1 < size ? std::to_integer<unsigned>(bytes[from + i + 1]) : 0;
        sum += (high << 8) | low;
    }
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum);
}

// An IPv4 UDP packet 10.1.2.3:4000 -> 10.4.5.6:5000 with a correct IP header checksum; the
// fields below change one thing at a time.
struct PacketSpec {
    std::string payload = "hello";
    std::uint8_t version_ihl = 0x45;
    std::uint16_t flags_fragment = 0x4000;  // don't fragment
    std::uint8_t protocol = 17;
    int total_length_delta = 0;  // added to the IP total length
    int udp_length_delta = 0;    // added to the UDP length
    std::uint16_t udp_checksum = 0;
    bool spoil_ip_checksum = false;
    std::size_t padding = 0;  // bytes after the packet (as link layers pad short frames)
};

ByteVec build(const PacketSpec& s) {
    namespace gp = gige::proto;
    const std::size_t ihl = std::max<std::size_t>((s.version_ihl & 0x0F) * 4u, 20);
    const std::size_t total = ihl + 8 + s.payload.size();
    ByteVec p(total + s.padding);
    p[0] = std::byte{s.version_ihl};
    gp::put_u16(p, 2, static_cast<std::uint16_t>(static_cast<int>(total) + s.total_length_delta));
    gp::put_u16(p, 4, 0x1234);
    gp::put_u16(p, 6, s.flags_fragment);
    p[8] = std::byte{64};
    p[9] = std::byte{s.protocol};
    gp::put_u32(p, 12, 0x0A010203);
    gp::put_u32(p, 16, 0x0A040506);
    for (std::size_t i = 20; i < ihl; ++i) p[i] = std::byte{1};  // no-operation options
    gp::put_u16(p, 10, static_cast<std::uint16_t>(ones_complement_checksum(p, 0, ihl) ^ (s.spoil_ip_checksum ? 1 : 0)));
    gp::put_u16(p, ihl, 4000);
    gp::put_u16(p, ihl + 2, 5000);
    gp::put_u16(p, ihl + 4, static_cast<std::uint16_t>(static_cast<int>(8 + s.payload.size()) + s.udp_length_delta));
    gp::put_u16(p, ihl + 6, s.udp_checksum);
    std::memcpy(p.data() + ihl + 8, s.payload.data(), s.payload.size());
    return p;
}

std::string outcome(const ByteVec& packet, bool verify_checksum) {
    auto d = net::parse_ipv4_udp(packet, verify_checksum);
    if (!d) return "fault " + std::to_string(static_cast<int>(d.error()));
    return d->source.to_string() + " '" +
           std::string(reinterpret_cast<const char*>(d->payload.data()), d->payload.size()) + "'";
}

std::string fault(PacketFault f) { return "fault " + std::to_string(static_cast<int>(f)); }

}  // namespace

TEST(PacketParse, BuiltPacketsMatchGoldenBytes) {
    // Headers with checksums worked out independently of this code.
    const ByteVec plain = build({}), with_options = build({.version_ihl = 0x46});
    EXPECT_EQ(ByteVec(plain.begin(), plain.begin() + 20),
              hex_bytes("45 00 00 21 12 34 40 00 40 11 0d 8b 0a 01 02 03 0a 04 05 06"));
    EXPECT_EQ(ByteVec(with_options.begin(), with_options.begin() + 24),
              hex_bytes("46 00 00 25 12 34 40 00 40 11 0a 85 0a 01 02 03 0a 04 05 06 01 01 01 01"));
}

TEST(PacketParse, UsableAndUnusablePackets) {
    constexpr std::uint16_t kGoodUdpChecksum = 0x7DCC;  // of "hello" between the two endpoints
    const std::string ok = "10.1.2.3:4000 'hello'";
    struct Case {
        const char* name;
        ByteVec packet;
        bool verify;
        std::string expected;
    };
    ByteVec spoiled_payload = build({.udp_checksum = kGoodUdpChecksum});
    spoiled_payload.back() ^= std::byte{0x20};
    const Case cases[] = {
        {"plain", build({}), true, ok},
        {"header options", build({.version_ihl = 0x46}), true, ok},
        {"link-layer padding ignored", build({.padding = 13}), true, ok},
        {"empty payload", build({.payload = ""}), true, "10.1.2.3:4000 ''"},
        {"shorter than an IP header", ByteVec(19), true, fault(PacketFault::Truncated)},
        {"IPv6", build({.version_ihl = 0x65}), true, fault(PacketFault::BadIpHeader)},
        {"header length 16", build({.version_ihl = 0x44}), true, fault(PacketFault::BadIpHeader)},
        {"header length 60 in 33 bytes", build({.version_ihl = 0x4F, .total_length_delta = -40}), true,
         fault(PacketFault::BadIpHeader)},
        {"total length past the end", build({.total_length_delta = 1}), true, fault(PacketFault::Truncated)},
        {"IP header checksum wrong", build({.spoil_ip_checksum = true}), true, fault(PacketFault::BadIpHeader)},
        {"more fragments", build({.flags_fragment = 0x2000}), true, fault(PacketFault::Fragment)},
        {"fragment offset", build({.flags_fragment = 0x0001}), true, fault(PacketFault::Fragment)},
        {"TCP", build({.protocol = 6}), true, fault(PacketFault::NotUdp)},
        {"no room for the UDP header", build({.payload = "", .total_length_delta = -4}), true,
         fault(PacketFault::Truncated)},
        {"UDP length 7", build({.payload = "", .udp_length_delta = -1}), true, fault(PacketFault::BadUdpLength)},
        {"UDP length past the IP payload", build({.udp_length_delta = 1}), true, fault(PacketFault::BadUdpLength)},
        {"UDP checksum right", build({.udp_checksum = kGoodUdpChecksum}), true, ok},
        {"UDP checksum wrong", spoiled_payload, true, fault(PacketFault::BadChecksum)},
        {"UDP checksum wrong, already checked", spoiled_payload, false, "10.1.2.3:4000 'hellO'"},
        {"UDP checksum absent", build({.udp_checksum = 0}), true, ok},
    };
    for (const auto& c : cases) EXPECT_EQ(outcome(c.packet, c.verify), c.expected) << c.name;
}

// --- A live ring on loopback --------------------------------------------------------------------

namespace {

net::Endpoint endpoint(const char* ip, std::uint16_t port = 0) { return {*net::Ipv4Address::parse(ip), port}; }

bool not_permitted(const CameraError& e) { return e.os_errno() == EPERM || e.os_errno() == EACCES; }

struct Caught {
    ByteVec payload;
    net::Endpoint source;
    bool operator<(const Caught& o) const {
        if (payload.size() != o.payload.size()) return payload.size() < o.payload.size();
        return !payload.empty() && std::memcmp(payload.data(), o.payload.data(), payload.size()) < 0;
    }
    bool operator==(const Caught&) const = default;
};

// Everything the ring hands out within `limit`, or until `enough` datagrams came.
std::vector<Caught> collect(net::PacketRing& ring, std::size_t enough, std::chrono::milliseconds limit) {
    std::vector<Caught> out;
    const auto until = std::chrono::steady_clock::now() + limit;
    while (out.size() < enough && std::chrono::steady_clock::now() < until) {
        pollfd p{ring.fd(), POLLIN, 0};
        ::poll(&p, 1, 10);
        while (auto block = ring.take_block()) {
            while (auto d = block->next()) out.push_back({ByteVec(d->payload.begin(), d->payload.end()), d->source});
            ring.give_back();
        }
    }
    return out;
}

ByteVec numbered_payload(std::size_t number, std::size_t size) {
    ByteVec p(size);
    for (std::size_t j = 0; j < size; ++j) p[j] = std::byte(number * 7 + j);
    if (size >= 2) gige::proto::put_u16(p, 0, static_cast<std::uint16_t>(number));
    return p;
}

// Sends a hand-made IPv4 packet (header given in full; the kernel fills in total length and
// header checksum) to 127.0.0.160.
void send_raw(const ByteVec& packet) {
    net::UniqueFd raw(::socket(AF_INET, SOCK_RAW, IPPROTO_RAW));
    ASSERT_TRUE(raw.valid()) << std::strerror(errno);
    const sockaddr_in to = endpoint("127.0.0.160").to_sockaddr();
    ASSERT_EQ(::sendto(raw.get(), packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to),
              static_cast<ssize_t>(packet.size()))
        << std::strerror(errno);
}

// A UDP packet 127.0.0.161:4000 -> 127.0.0.160:`port` with the given UDP length field.
ByteVec raw_udp(std::uint16_t port, const std::string& payload, std::uint16_t udp_length,
                std::uint16_t flags_fragment = 0x4000) {
    ByteVec p = build({.payload = payload, .flags_fragment = flags_fragment});
    gige::proto::put_u32(p, 12, 0x7F0000A1);
    gige::proto::put_u32(p, 16, 0x7F0000A0);
    gige::proto::put_u16(p, 22, port);
    gige::proto::put_u16(p, 24, udp_length);
    return p;
}

}  // namespace

TEST(PacketRing, DeliversEachDatagramToItsEndpointOnceAndNothingElse) {
    auto owner = net::UdpSocket::bind(endpoint("127.0.0.160"));
    ASSERT_TRUE(owner);
    ASSERT_TRUE(owner->discard_incoming());
    const net::Endpoint local = *owner->local_endpoint();
    auto ring = net::PacketRing::open(local, 4u << 20);
    if (!ring && not_permitted(ring.error())) GTEST_SKIP() << ring.error().message();
    ASSERT_TRUE(ring) << ring.error().message();
    EXPECT_EQ(ring->block_size(), 1u << 20);
    EXPECT_EQ(ring->block_count(), 4u);

    auto sender = *net::UdpSocket::bind(endpoint("127.0.0.161"));
    auto other_port = *net::UdpSocket::bind(endpoint("127.0.0.160"));
    const std::size_t sizes[] = {0, 1, 2, 1472, 8972, 60000};
    constexpr std::size_t kCount = 60;
    // Read while sending: the ring holds only a few dozen slots of the largest datagram, which a
    // late reader would find full.
    auto reading = std::async(std::launch::async, [&ring] { return collect(*ring, kCount, 5s); });
    std::vector<Caught> sent;
    for (std::size_t i = 0; i < kCount; ++i) {
        const ByteVec payload = numbered_payload(i, sizes[i % std::size(sizes)]);
        ASSERT_TRUE(sender.send_to(payload, local));
        ASSERT_TRUE(sender.send_to(payload, *other_port.local_endpoint()));
        ASSERT_TRUE(sender.send_to(payload, endpoint("127.0.0.162", local.port)));
        sent.push_back({payload, *sender.local_endpoint()});
    }
    auto caught = reading.get();
    const auto late = collect(*ring, 1, 50ms);  // anything more would show at once
    caught.insert(caught.end(), late.begin(), late.end());
    // Order across the kernel's per-processor queues is not promised: compare as sets.
    std::sort(caught.begin(), caught.end());
    std::sort(sent.begin(), sent.end());
    EXPECT_EQ(caught, sent);
    EXPECT_EQ(ring->counters().datagrams, sent.size());
    EXPECT_EQ(ring->counters().skipped, 0u);
    EXPECT_EQ(ring->kernel_drops(), 0u);
    // The owning socket took no copies.
    std::array<std::byte, 16> buf{};
    ASSERT_TRUE(owner->set_nonblocking(true));
    EXPECT_EQ(owner->receive_from(buf).error(), EAGAIN);
}

TEST(PacketRing, SkipsPacketsThatLieAboutTheirLengthAndFiltersFragments) {
    auto owner = net::UdpSocket::bind(endpoint("127.0.0.160"));
    ASSERT_TRUE(owner);
    ASSERT_TRUE(owner->discard_incoming());
    const std::uint16_t port = owner->local_endpoint()->port;
    auto ring = net::PacketRing::open(*owner->local_endpoint(), 1u << 20);
    if (!ring && not_permitted(ring.error())) GTEST_SKIP() << ring.error().message();
    ASSERT_TRUE(ring) << ring.error().message();
    EXPECT_EQ(ring->block_size(), 256u << 10);

    send_raw(raw_udp(port, "first", 13));
    send_raw(raw_udp(port, "longer than said", 30));  // UDP length beyond the packet
    send_raw(raw_udp(port, "short", 4));              // UDP length below its own header
    send_raw(raw_udp(port, "fragment", 16, 0x0001));  // a later fragment: filtered out
    send_raw(raw_udp(static_cast<std::uint16_t>(port + 1), "elsewhere", 17));
    send_raw(raw_udp(port, "last", 12));
    const auto caught = collect(*ring, 2, 5s);
    const auto late = collect(*ring, 1, 50ms);
    ASSERT_EQ(caught.size(), 2u);
    EXPECT_TRUE(late.empty());
    std::vector<std::string> texts;
    for (const auto& c : caught) texts.emplace_back(reinterpret_cast<const char*>(c.payload.data()), c.payload.size());
    std::sort(texts.begin(), texts.end());
    EXPECT_EQ(texts, (std::vector<std::string>{"first", "last"}));
    EXPECT_EQ(caught[0].source, endpoint("127.0.0.161", 4000));
    EXPECT_EQ(ring->counters().skipped, 2u);
}

TEST(PacketRing, RefusesAnAddressNoInterfaceCarries) {
    auto ring = net::PacketRing::open(endpoint("192.0.2.1", 5000), 1u << 20);
    ASSERT_FALSE(ring);
    EXPECT_EQ(ring.error().message(), "io error: no interface carries 192.0.2.1");
}
