#include "korvalite/net/datagram_batch.hpp"

#include <cerrno>

namespace korvalite::net {

DatagramBatch::DatagramBatch(std::size_t count, std::size_t capacity)
    // Buffers a little more than a power of two apart, so that the headers of a batch do not
    // all compete for the same cache sets.
    : stride_((capacity + 63) / 64 * 64 + 64),
      storage_(new std::byte[count * stride_]),
      iovecs_(count),
      sources_(count),
      headers_(count) {
    for (std::size_t i = 0; i < count; ++i) {
        iovecs_[i] = {storage_.get() + i * stride_, capacity};
        headers_[i] = {};
        headers_[i].msg_hdr.msg_iov = &iovecs_[i];
        headers_[i].msg_hdr.msg_iovlen = 1;
        headers_[i].msg_hdr.msg_name = &sources_[i];
    }
}

std::expected<std::size_t, int> DatagramBatch::receive(int fd) {
    for (auto& h : headers_) h.msg_hdr.msg_namelen = sizeof(sockaddr_in);
    const int n = ::recvmmsg(fd, headers_.data(), static_cast<unsigned>(headers_.size()), MSG_DONTWAIT, nullptr);
    if (n < 0) return std::unexpected(errno);
    return static_cast<std::size_t>(n);
}

}  // namespace korvalite::net
