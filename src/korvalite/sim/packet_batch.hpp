#pragma once
// Stream datagrams gathered for one sendmmsg call: each is a copied head (header, leader or
// trailer data) and a body that points into a frame held elsewhere until the flush.
#include <sys/socket.h>

#include <array>
#include <cstdint>

#include "korvalite/net/address.hpp"
#include "korvalite/sim/stream_packets.hpp"

namespace korvalite::sim {

class PacketBatch {
public:
    static constexpr std::size_t kCapacity = 64;

    struct Flushed {
        std::size_t sent = 0;
        std::size_t failed = 0;
        std::uint64_t bytes = 0;
        int first_error = 0;  // errno of the first failure
    };

    void set_destination(const net::Endpoint& to) { destination_ = to.to_sockaddr(); }
    bool empty() const { return count_ == 0; }
    bool full() const { return count_ == kCapacity; }
    // Adds a packet; the batch must not be full.
    void add(const PacketParts& packet);
    // Sends everything gathered on `fd` and empties the batch.
    Flushed flush(int fd);

private:
    std::array<PacketParts, kCapacity> packets_{};
    std::array<iovec, 2 * kCapacity> iov_{};
    std::array<mmsghdr, kCapacity> messages_{};
    sockaddr_in destination_{};
    std::size_t count_ = 0;
};

}  // namespace korvalite::sim
