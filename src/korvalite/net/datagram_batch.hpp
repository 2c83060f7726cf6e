#pragma once
// Receiving many datagrams with one system call (recvmmsg): a fixed set of receive buffers,
// made once and reused for every batch.
#include <sys/socket.h>

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
    std::expected<std::size_t, int> receive(int fd);

    std::size_t count() const { return headers_.size(); }
    std::span<const std::byte> datagram(std::size_t i) const {
        return {storage_.get() + i * stride_, headers_[i].msg_len};
    }
    Ipv4Address source_ip(std::size_t i) const { return Endpoint::from_sockaddr(sources_[i]).address; }
    Endpoint source(std::size_t i) const { return Endpoint::from_sockaddr(sources_[i]); }

private:
    std::size_t stride_;
    std::unique_ptr<std::byte[]> storage_;
    std::vector<iovec> iovecs_;
    std::vector<sockaddr_in> sources_;
    std::vector<mmsghdr> headers_;
};

}  // namespace korvalite::net
