#pragma once
// Receiving the datagrams of one UDP endpoint through a memory-mapped packet ring (AF_PACKET,
// TPACKET_V2). The kernel writes each packet into a slot of memory shared with this process and
// hands the slot over at once: one wake-up then walks every slot filled meanwhile with no system
// call and no copy per datagram, and no packet waits for others to fill a block. A socket filter
// lets only unfragmented IPv4 UDP packets addressed to the endpoint into the ring.
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
[[nodiscard]] std::expected<RingDatagram, PacketFault> parse_ipv4_udp(std::span<const std::byte> packet, bool verify_checksum);

class PacketRing {
public:
    struct Counters {
        std::uint64_t runs = 0;       // runs of slots taken and given back
        std::uint64_t datagrams = 0;  // datagrams handed out
        std::uint64_t skipped = 0;    // packets in the ring that were not usable datagrams
    };

    // A run of slots the kernel has handed over: their datagrams in arrival order, including
    // slots filled while the run is walked (up to a share of the ring). The views it hands out
    // stay valid until the run is given back.
    class Block {
    public:
        // The next usable datagram; unusable packets are skipped and counted.
        std::optional<RingDatagram> next();

    private:
        friend class PacketRing;
        Block(PacketRing& ring, std::size_t limit) : ring_(&ring), remaining_(limit) {}
        PacketRing* ring_;
        std::size_t remaining_;
    };

    // A ring of about `ring_bytes` (at least a few blocks) receiving what is sent to `local`
    // over the interface that carries local.address (every interface for the any address).
    // `max_packet`: the largest IP packet expected (by default any); longer ones are skipped as
    // truncated. Each slot takes this much of the ring.
    static constexpr std::size_t kLargestPacket = 65535;
    [[nodiscard]] static CameraResult<PacketRing> open(Endpoint local, std::size_t ring_bytes, std::size_t max_packet = kLargestPacket);
    // The bytes of ring one slot takes for packets of up to `max_packet` bytes.
    static std::size_t slot_size_for(std::size_t max_packet);

    PacketRing(PacketRing&&) noexcept = default;
    PacketRing& operator=(PacketRing&&) noexcept = default;
    ~PacketRing() = default;

    // Readable while a filled slot is waiting to be taken.
    int fd() const { return fd_.get(); }
    std::size_t block_size() const { return geometry_.block_size; }
    std::size_t block_count() const { return geometry_.block_count; }
    std::size_t slot_size() const { return geometry_.slot_size; }
    std::size_t slot_count() const { return geometry_.slots_per_block * geometry_.block_count; }

    // The run of filled slots from the oldest on, or nothing. Runs are taken one at a time:
    // give the run back before taking the next.
    std::optional<Block> take_block();
    // Returns the slots of the run taken last to the kernel.
    void give_back();
    // Whether the oldest slot not given back holds a packet.
    bool has_filled_slot() const { return slot_ready(current_ + taken_); }

    const Counters& counters() const { return counters_; }
    // Packets the kernel dropped since the ring opened because every block was still taken.
    std::uint64_t kernel_drops();

private:
    struct Unmap {
        std::size_t size;
        void operator()(std::byte* p) const;
    };

    struct Geometry {
        std::size_t block_size;
        std::size_t block_count;
        std::size_t slot_size;
        std::size_t slots_per_block;
    };

    PacketRing(UniqueFd fd, std::unique_ptr<std::byte, Unmap> map, Geometry geometry)
        : fd_(std::move(fd)), map_(std::move(map)), geometry_(geometry) {}
    // Slot `index` counted from the ring's start, wrapping around.
    std::byte* slot_at(std::size_t index) const;
    bool slot_ready(std::size_t index) const;

    UniqueFd fd_;
    std::unique_ptr<std::byte, Unmap> map_;
    Geometry geometry_;
    std::size_t current_ = 0;  // the oldest slot not given back
    std::size_t taken_ = 0;    // slots of the current run handed out
    Counters counters_;
    std::uint64_t kernel_drops_ = 0;
};

}  // namespace korvalite::net
