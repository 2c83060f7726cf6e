#pragma once
// Receiving the datagrams of one UDP endpoint through a memory-mapped packet ring (AF_PACKET,
// TPACKET_V3). The kernel writes each packet into a block of memory shared with this process
// and hands the block over once it is full or a few milliseconds old: one wake-up then walks a
// whole block of datagrams with no system call and no copy per datagram. A socket filter lets
// only unfragmented IPv4 UDP packets addressed to the endpoint into the ring.
//
// The ring sees packets beside the ordinary socket stack, not instead of it: a UDP socket must
// stay bound to the endpoint (else the host answers with "port unreachable"). Opening needs
// CAP_NET_RAW; without it open() fails with errno EPERM or EACCES, and the caller keeps to its
// ordinary socket.
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>

#include "korvalite/error.hpp"
#include "korvalite/net/address.hpp"
#include "korvalite/net/unique_fd.hpp"

namespace korvalite::net {

// Whether this process holds CAP_NET_RAW in its effective set, which opening a ring needs.
bool may_open_packet_ring();

struct RingDatagram {
    std::span<const std::byte> payload;  // the UDP payload
    Endpoint source;
};

// Why a packet is not a usable datagram.
enum class PacketFault : std::uint8_t {
    Truncated,     // shorter than its headers say, or cut short by the ring
    BadIpHeader,   // not IPv4, or a header length below 20 bytes or beyond the packet
    Fragment,      // a fragment (more-fragments bit or a fragment offset)
    NotUdp,        // another protocol
    BadUdpLength,  // UDP length below 8 or beyond the IP payload
    BadChecksum,   // UDP checksum present and wrong
};

// The UDP payload and source of an IPv4 packet that starts at its IP header. Bytes past the IP
// total length (link-layer padding) are ignored. `verify_checksum`: check the UDP checksum
// (when the sender set one); off when the kernel has already checked it or will never have to.
std::expected<RingDatagram, PacketFault> parse_ipv4_udp(std::span<const std::byte> packet, bool verify_checksum);

class PacketRing {
public:
    struct Counters {
        std::uint64_t blocks = 0;     // blocks taken and given back
        std::uint64_t datagrams = 0;  // datagrams handed out
        std::uint64_t skipped = 0;    // packets in the ring that were not usable datagrams
    };

    // A block the kernel has handed over: its datagrams in arrival order. The views it hands
    // out stay valid until the block is given back.
    class Block {
    public:
        // The next usable datagram; unusable packets are skipped and counted.
        std::optional<RingDatagram> next();

    private:
        friend class PacketRing;
        Block(const std::byte* base, std::size_t size, std::uint32_t packets, std::size_t first, Counters& counters)
            : base_(base), size_(size), remaining_(packets), offset_(first), counters_(&counters) {}
        const std::byte* base_;
        std::size_t size_;
        std::uint32_t remaining_;
        std::size_t offset_;
        Counters* counters_;
    };

    // A ring of about `ring_bytes` (at least a few blocks) receiving what is sent to `local`
    // over the interface that carries local.address (every interface for the any address).
    static CameraResult<PacketRing> open(Endpoint local, std::size_t ring_bytes);

    PacketRing(PacketRing&&) noexcept = default;
    PacketRing& operator=(PacketRing&&) noexcept = default;
    ~PacketRing() = default;

    // Readable while a block is waiting to be taken.
    int fd() const { return fd_.get(); }
    std::size_t block_size() const { return block_size_; }
    std::size_t block_count() const { return block_count_; }

    // The oldest block the kernel has handed over, or nothing. Blocks are taken one at a time:
    // give the block back before taking the next.
    std::optional<Block> take_block();
    // Returns the block taken last to the kernel.
    void give_back();

    const Counters& counters() const { return counters_; }
    // Packets the kernel dropped since the ring opened because every block was still taken.
    std::uint64_t kernel_drops();

private:
    struct Unmap {
        std::size_t size;
        void operator()(std::byte* p) const;
    };

    PacketRing(UniqueFd fd, std::unique_ptr<std::byte, Unmap> map, std::size_t block_size, std::size_t block_count)
        : fd_(std::move(fd)), map_(std::move(map)), block_size_(block_size), block_count_(block_count) {}
    std::byte* block_at(std::size_t index) const { return map_.get() + index * block_size_; }

    UniqueFd fd_;
    std::unique_ptr<std::byte, Unmap> map_;
    std::size_t block_size_;
    std::size_t block_count_;
    std::size_t current_ = 0;  // the block to take next
    Counters counters_;
    std::uint64_t kernel_drops_ = 0;
};

}  // namespace korvalite::net
