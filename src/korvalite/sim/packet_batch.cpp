#include "korvalite/sim/packet_batch.hpp"

#include <cerrno>

namespace korvalite::sim {

void PacketBatch::add(const PacketParts& packet) {
    PacketParts& p = packets_[count_];
    p.head = packet.head;
    p.head_size = packet.head_size;
    p.body = packet.body;
    iovec* iov = &iov_[2 * count_];
    iov[0] = {p.head.data(), p.head_size};
    iov[1] = {const_cast<std::byte*>(p.body.data()), p.body.size()};
    msghdr& h = messages_[count_].msg_hdr;
    h = {};
    h.msg_name = &destination_;
    h.msg_namelen = sizeof destination_;
    h.msg_iov = iov;
    h.msg_iovlen = p.body.empty() ? 1 : 2;
    ++count_;
}

PacketBatch::Flushed PacketBatch::flush(int fd) {
    Flushed result;
    std::size_t at = 0;
    while (at < count_) {
        const int n = ::sendmmsg(fd, &messages_[at], static_cast<unsigned>(count_ - at), 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            // Skip the datagram that failed and go on with the rest.
            if (result.first_error == 0) result.first_error = errno;
            ++result.failed;
            ++at;
            continue;
        }
        for (int i = 0; i < n; ++i) result.bytes += packets_[at + i].size();
        result.sent += static_cast<std::size_t>(n);
        at += static_cast<std::size_t>(n);
    }
    count_ = 0;
    return result;
}

}  // namespace korvalite::sim
