#pragma once
// Receiving many datagrams with one system call (recvmmsg): a fixed set of receive buffers,
// made once and reused for every batch. A datagram slot may be given a target: the kernel then
// writes the datagram's first bytes (a header) into the batch's own buffer and the rest straight
// into the target, which saves copying it there afterwards.
#include <sys/socket.h>

#include <array>
#include <cstddef>
#include <expected>
#include <memory>
#include <span>
#include <vector>

#include "korvalite/net/address.hpp"

namespace korvalite::net {

class DatagramBatch {
public:
    // Room for `count` datagrams of up to `capacity` bytes each (longer ones are truncated).
    DatagramBatch(std::size_t count, std::size_t capacity);
    DatagramBatch(const DatagramBatch&) = delete;
    DatagramBatch& operator=(const DatagramBatch&) = delete;

    // Takes up to count() datagrams from `fd` without waiting. The number received, or the errno
    // of the failure (EAGAIN when nothing is waiting).
    [[nodiscard]] std::expected<std::size_t, int> receive(int fd);

    std::size_t count() const { return headers_.size(); }

    // From the next receive on, slot i's datagram goes: `head` bytes into the batch's buffer, the
    // next target.size() bytes into `target`, anything beyond into the batch's buffer again.
    // False (and no target) when head and target together exceed the slot's capacity.
    bool set_target(std::size_t i, std::size_t head, std::span<std::byte> target);
    void clear_targets();
    bool has_target(std::size_t i) const { return targets_[i].data != nullptr; }
    // Slot i after a receive with a target: its head as received (shorter for a short datagram),
    // and the bytes that went into the target and beyond it.
    std::span<const std::byte> head(std::size_t i) const;
    std::size_t target_bytes(std::size_t i) const;
    std::size_t overflow_bytes(std::size_t i) const;
    // Copies the target's share back behind the head, so that datagram(i) is whole again.
    void gather(std::size_t i);

    // Datagram i: whole for a slot without a target or after gather(i).
    std::span<const std::byte> datagram(std::size_t i) const {
        return {storage_.get() + i * stride_, headers_[i].msg_len};
    }
    Ipv4Address source_ip(std::size_t i) const { return Endpoint::from_sockaddr(sources_[i]).address; }
    Endpoint source(std::size_t i) const { return Endpoint::from_sockaddr(sources_[i]); }

private:
    struct Target {
        std::byte* data = nullptr;
        std::size_t size = 0;
        std::size_t head = 0;
    };
    std::byte* slot(std::size_t i) const { return storage_.get() + i * stride_; }

    std::size_t stride_;
    std::size_t capacity_;
    std::unique_ptr<std::byte[]> storage_;
    std::vector<std::array<iovec, 3>> iovecs_;
    std::vector<Target> targets_;
    std::vector<sockaddr_in> sources_;
    std::vector<mmsghdr> headers_;
};

}  // namespace korvalite::net
