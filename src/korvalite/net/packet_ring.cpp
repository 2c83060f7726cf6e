#include "korvalite/net/packet_ring.hpp"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/capability.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace korvalite::net {

namespace {

constexpr std::size_t kIpv4MinHeader = 20;
constexpr std::size_t kUdpHeader = 8;
constexpr std::uint8_t kProtocolUdp = 17;
constexpr std::uint16_t kFragmentBits = 0x3FFF;  // more-fragments flag and fragment offset

// The ring's memory comes in blocks of 128 KiB to 1 MiB, each cut into equal slots of one packet
// each; smaller rings use smaller blocks so that there are always a few.
constexpr std::size_t kMaxBlockSize = 1u << 20;
constexpr std::size_t kMinBlockSize = 128u << 10;
constexpr std::size_t kMinBlocks = 4;
// A slot holds its header, the link-layer address and the packet from its IP header on; the
// kernel puts the IP header within the first 128 bytes.
constexpr std::size_t kSlotHeadroom = 128;
constexpr std::size_t kSlotAlignment = TPACKET_ALIGNMENT;
// A run hands out at most this share of the ring before its slots go back to the kernel.
constexpr std::size_t kRunShare = 4;

std::uint16_t load_u16(const std::byte* p) {
    return static_cast<std::uint16_t>((std::to_integer<unsigned>(p[0]) << 8) | std::to_integer<unsigned>(p[1]));
}

std::uint32_t load_u32(const std::byte* p) {
    return (std::uint32_t{load_u16(p)} << 16) | load_u16(p + 2);
}

// Ones' complement sum of `bytes` in 32-bit native-order words (zero-padded at the end). Its
// 16-bit fold equals the byte-swapped fold of the big-endian 16-bit sum, and the all-ones
// result that marks a valid checksum reads the same either way.
std::uint64_t ones_sum(const std::byte* bytes, std::size_t size) {
    std::uint64_t sum = 0;
    std::size_t i = 0;
    for (; i + 4 <= size; i += 4) {
        std::uint32_t word;
        std::memcpy(&word, bytes + i, 4);
        sum += word;
    }
    if (i < size) {
        std::uint32_t word = 0;
        std::memcpy(&word, bytes + i, size - i);
        sum += word;
    }
    return sum;
}

std::uint16_t fold(std::uint64_t sum) {
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint16_t>(sum);
}

bool ip_header_checksum_valid(const std::byte* ip_header, std::size_t size) {
    return fold(ones_sum(ip_header, size)) == 0xFFFF;
}

bool udp_checksum_valid(const std::byte* ip_header, const std::byte* udp, std::size_t udp_length) {
    std::byte pseudo[12]{};
    std::memcpy(pseudo, ip_header + 12, 8);  // source and destination addresses
    pseudo[9] = std::byte{kProtocolUdp};
    pseudo[10] = std::byte(udp_length >> 8);
    pseudo[11] = std::byte(udp_length & 0xFF);
    return fold(ones_sum(pseudo, sizeof pseudo) + ones_sum(udp, udp_length)) == 0xFFFF;
}

// --- The socket filter --------------------------------------------------------------------------

// Classic BPF over the packet from its IP header on: accept unfragmented IPv4 UDP to `local`.
std::vector<sock_filter> endpoint_filter(Endpoint local) {
    std::vector<sock_filter> code;
    std::vector<std::size_t> to_drop;  // conditional jumps whose false branch drops
    const auto op = [&](std::uint16_t c, std::uint32_t k) { code.push_back(BPF_STMT(c, k)); };
    const auto require_equal = [&](std::uint32_t k) {
        to_drop.push_back(code.size());
        code.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, k, 0, 0));
    };
    op(BPF_LD | BPF_B | BPF_ABS, 0);
    op(BPF_ALU | BPF_AND | BPF_K, 0xF0);
    require_equal(0x40);  // version 4
    op(BPF_LD | BPF_B | BPF_ABS, 9);
    require_equal(kProtocolUdp);
    op(BPF_LD | BPF_H | BPF_ABS, 6);
    const std::size_t fragment_test = code.size();
    code.push_back(BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, kFragmentBits, 0, 0));  // true: drop
    if (local.address != Ipv4Address::any()) {
        op(BPF_LD | BPF_W | BPF_ABS, 16);
        require_equal(local.address.value);
    }
    op(BPF_LDX | BPF_B | BPF_MSH, 0);  // X = IP header length
    op(BPF_LD | BPF_H | BPF_IND, 2);   // UDP destination port
    require_equal(local.port);
    op(BPF_RET | BPF_K, 0xFFFFFFFF);  // the whole packet
    const std::size_t drop = code.size();
    op(BPF_RET | BPF_K, 0);
    for (const std::size_t i : to_drop) code[i].jf = static_cast<std::uint8_t>(drop - i - 1);
    code[fragment_test].jt = static_cast<std::uint8_t>(drop - fragment_test - 1);
    return code;
}

// --- Opening ------------------------------------------------------------------------------------

CameraError os_error(const char* what, int err) {
    return CameraError::io(err, std::string(what) + ": " + std::strerror(err));
}

// The index of the interface that carries `address` (0 for the any address: every interface).
// Every 127.x address lives on the loopback interface, which lists only 127.0.0.1.
CameraResult<int> interface_of(Ipv4Address address) {
    if (address == Ipv4Address::any()) return 0;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return std::unexpected(os_error("getifaddrs", errno));
    unsigned index = 0;
    for (const ifaddrs* a = list; a && index == 0; a = a->ifa_next) {
        if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET) continue;
        sockaddr_in sa;
        std::memcpy(&sa, a->ifa_addr, sizeof sa);
        const bool loopback_route = address.is_loopback() && (a->ifa_flags & IFF_LOOPBACK);
        if (loopback_route || Endpoint::from_sockaddr(sa).address == address) index = ::if_nametoindex(a->ifa_name);
    }
    ::freeifaddrs(list);
    if (index == 0)
        return std::unexpected(CameraError::io(EADDRNOTAVAIL, "no interface carries " + address.to_string()));
    return static_cast<int>(index);
}

template <class T>
CameraResult<void> set_option(int fd, int level, int name, const T& value, const char* what) {
    if (::setsockopt(fd, level, name, &value, sizeof value) != 0) return std::unexpected(os_error(what, errno));
    return {};
}

std::size_t block_size_for(std::size_t ring_bytes) {
    const std::size_t quarter = std::bit_floor(std::max<std::size_t>(ring_bytes / kMinBlocks, 1));
    return std::clamp(quarter, kMinBlockSize, kMaxBlockSize);
}


}  // namespace

std::size_t PacketRing::slot_size_for(std::size_t max_packet) {
    const std::size_t bytes = std::clamp<std::size_t>(max_packet, kIpv4MinHeader + kUdpHeader, kLargestPacket) + kSlotHeadroom;
    return (bytes + kSlotAlignment - 1) / kSlotAlignment * kSlotAlignment;
}

bool may_open_packet_ring() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    if (syscall(SYS_capget, &header, data) != 0) return false;
    return (data[CAP_TO_INDEX(CAP_NET_RAW)].effective & CAP_TO_MASK(CAP_NET_RAW)) != 0;
}

std::expected<RingDatagram, PacketFault> parse_ipv4_udp(std::span<const std::byte> packet, bool verify_checksum) {
    if (packet.size() < kIpv4MinHeader) return std::unexpected(PacketFault::Truncated);
    const std::byte* ip = packet.data();
    const unsigned first = std::to_integer<unsigned>(ip[0]);
    const std::size_t header = (first & 0x0F) * 4u;
    if ((first >> 4) != 4 || header < kIpv4MinHeader) return std::unexpected(PacketFault::BadIpHeader);
    const std::size_t total = load_u16(ip + 2);
    if (total > packet.size()) return std::unexpected(PacketFault::Truncated);
    // The stack checks this header only after the ring has its copy: check it here.
    if (header > total || !ip_header_checksum_valid(ip, header)) return std::unexpected(PacketFault::BadIpHeader);
    if (load_u16(ip + 6) & kFragmentBits) return std::unexpected(PacketFault::Fragment);
    if (std::to_integer<std::uint8_t>(ip[9]) != kProtocolUdp) return std::unexpected(PacketFault::NotUdp);
    if (total - header < kUdpHeader) return std::unexpected(PacketFault::Truncated);
    const std::byte* udp = ip + header;
    const std::size_t udp_length = load_u16(udp + 4);
    if (udp_length < kUdpHeader || udp_length > total - header) return std::unexpected(PacketFault::BadUdpLength);
    if (verify_checksum && load_u16(udp + 6) != 0 && !udp_checksum_valid(ip, udp, udp_length))
        return std::unexpected(PacketFault::BadChecksum);
    return RingDatagram{{udp + kUdpHeader, udp_length - kUdpHeader}, Endpoint{Ipv4Address{load_u32(ip + 12)}, load_u16(udp)}};
}

void PacketRing::Unmap::operator()(std::byte* p) const { ::munmap(p, size); }

CameraResult<PacketRing> PacketRing::open(Endpoint local, std::size_t ring_bytes, std::size_t max_packet) {
    auto ifindex = interface_of(local.address);
    if (!ifindex) return std::unexpected(ifindex.error());
    // Protocol 0: the socket receives nothing until bind(), which comes after the filter.
    const int raw = ::socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (raw < 0) return std::unexpected(os_error("AF_PACKET socket", errno));
    UniqueFd fd(raw);

    if (auto r = set_option(raw, SOL_PACKET, PACKET_VERSION, int{TPACKET_V2}, "PACKET_VERSION"); !r)
        return std::unexpected(r.error());
    // Packets this host sends stay out of the ring. A socket bound to IPv4 alone is not shown
    // them today (only taps of every protocol are); this keeps it so.
    if (auto r = set_option(raw, SOL_PACKET, PACKET_IGNORE_OUTGOING, int{1}, "PACKET_IGNORE_OUTGOING"); !r)
        return std::unexpected(r.error());
    auto code = endpoint_filter(local);
    const sock_fprog program{static_cast<unsigned short>(code.size()), code.data()};
    if (auto r = set_option(raw, SOL_SOCKET, SO_ATTACH_FILTER, program, "SO_ATTACH_FILTER"); !r)
        return std::unexpected(r.error());

    const std::size_t block_size = block_size_for(ring_bytes);
    const std::size_t block_count = std::max(kMinBlocks, (ring_bytes + block_size - 1) / block_size);
    const std::size_t slot_size = slot_size_for(max_packet);
    const std::size_t slots_per_block = block_size / slot_size;
    tpacket_req request{};
    request.tp_block_size = static_cast<unsigned>(block_size);
    request.tp_block_nr = static_cast<unsigned>(block_count);
    request.tp_frame_size = static_cast<unsigned>(slot_size);
    request.tp_frame_nr = static_cast<unsigned>(slots_per_block * block_count);
    if (auto r = set_option(raw, SOL_PACKET, PACKET_RX_RING, request, "PACKET_RX_RING"); !r)
        return std::unexpected(r.error());
    const std::size_t map_size = block_size * block_count;
    void* map = ::mmap(nullptr, map_size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, raw, 0);
    if (map == MAP_FAILED) return std::unexpected(os_error("mmap of the packet ring", errno));
    std::unique_ptr<std::byte, Unmap> mapping(static_cast<std::byte*>(map), Unmap{map_size});

    sockaddr_ll where{};
    where.sll_family = AF_PACKET;
    where.sll_protocol = htons(ETH_P_IP);
    where.sll_ifindex = *ifindex;
    if (::bind(raw, reinterpret_cast<const sockaddr*>(&where), sizeof where) != 0)
        return std::unexpected(os_error("bind of the packet ring", errno));
    return PacketRing(std::move(fd), std::move(mapping), Geometry{block_size, block_count, slot_size, slots_per_block});
}

std::byte* PacketRing::slot_at(std::size_t index) const {
    const std::size_t i = index % slot_count();
    return map_.get() + i / geometry_.slots_per_block * geometry_.block_size + i % geometry_.slots_per_block * geometry_.slot_size;
}

bool PacketRing::slot_ready(std::size_t index) const {
    auto* header = reinterpret_cast<tpacket2_hdr*>(slot_at(index));
    return std::atomic_ref(header->tp_status).load(std::memory_order_acquire) & TP_STATUS_USER;
}

std::optional<PacketRing::Block> PacketRing::take_block() {
    if (!slot_ready(current_)) return std::nullopt;
    taken_ = 0;
    return Block(*this, std::max<std::size_t>(1, slot_count() / kRunShare));
}

void PacketRing::give_back() {
    for (std::size_t i = 0; i < taken_; ++i) {
        auto* header = reinterpret_cast<tpacket2_hdr*>(slot_at(current_ + i));
        std::atomic_ref(header->tp_status).store(TP_STATUS_KERNEL, std::memory_order_release);
    }
    current_ = (current_ + taken_) % slot_count();
    taken_ = 0;
    ++counters_.runs;
}

std::optional<RingDatagram> PacketRing::Block::next() {
    while (remaining_ > 0 && ring_->slot_ready(ring_->current_ + ring_->taken_)) {
        --remaining_;
        const std::byte* slot = ring_->slot_at(ring_->current_ + ring_->taken_);
        ++ring_->taken_;
        const auto* header = reinterpret_cast<const tpacket2_hdr*>(slot);
        // Captured bytes start at the link-layer header (where the ring has one), the IP header
        // at tp_net; a packet cut short by the slot (snaplen below len) is of no use.
        const std::size_t size = ring_->geometry_.slot_size;
        const std::size_t captured = header->tp_mac;
        const std::size_t ip = header->tp_net;
        const std::size_t end = captured + header->tp_snaplen;
        if (header->tp_snaplen < header->tp_len || ip < captured || ip > end || end > size) {
            ++ring_->counters_.skipped;
            continue;
        }
        const bool checked = header->tp_status & (TP_STATUS_CSUM_VALID | TP_STATUS_CSUMNOTREADY);
        auto datagram = parse_ipv4_udp({slot + ip, end - ip}, !checked);
        if (!datagram) {
            ++ring_->counters_.skipped;
            continue;
        }
        ++ring_->counters_.datagrams;
        return *datagram;
    }
    return std::nullopt;
}

std::uint64_t PacketRing::kernel_drops() {
    tpacket_stats stats{};
    socklen_t len = sizeof stats;
    if (::getsockopt(fd_.get(), SOL_PACKET, PACKET_STATISTICS, &stats, &len) == 0) kernel_drops_ += stats.tp_drops;
    return kernel_drops_;
}

}  // namespace korvalite::net
