#include "korvalite/net/datagram_batch.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace korvalite::net {

DatagramBatch::DatagramBatch(std::size_t count, std::size_t capacity)
    // Buffers a little more than a power of two apart, so that the headers of a batch do not
    // all compete for the same cache sets.
    : stride_((capacity + 63) / 64 * 64 + 64),
      capacity_(capacity),
      storage_(new std::byte[count * stride_]),
      iovecs_(count),
      targets_(count),
      sources_(count),
      headers_(count) {
    for (std::size_t i = 0; i < count; ++i) {
        headers_[i] = {};
        headers_[i].msg_hdr.msg_iov = iovecs_[i].data();
        headers_[i].msg_hdr.msg_name = &sources_[i];
    }
    clear_targets();
}

bool DatagramBatch::set_target(std::size_t i, std::size_t head, std::span<std::byte> target) {
    if (head + target.size() > capacity_ || target.empty()) return false;
    targets_[i] = {target.data(), target.size(), head};
    iovecs_[i][0] = {slot(i), head};
    iovecs_[i][1] = {target.data(), target.size()};
    iovecs_[i][2] = {slot(i) + head + target.size(), capacity_ - head - target.size()};
    headers_[i].msg_hdr.msg_iovlen = 3;
    return true;
}

void DatagramBatch::clear_targets() {
    for (std::size_t i = 0; i < headers_.size(); ++i) {
        targets_[i] = {};
        iovecs_[i][0] = {slot(i), capacity_};
        headers_[i].msg_hdr.msg_iovlen = 1;
    }
}

std::span<const std::byte> DatagramBatch::head(std::size_t i) const {
    return {slot(i), std::min<std::size_t>(headers_[i].msg_len, targets_[i].head)};
}

std::size_t DatagramBatch::target_bytes(std::size_t i) const {
    const Target& t = targets_[i];
    const std::size_t len = headers_[i].msg_len;
    return len <= t.head ? 0 : std::min(len - t.head, t.size);
}

std::size_t DatagramBatch::overflow_bytes(std::size_t i) const {
    const Target& t = targets_[i];
    const std::size_t len = headers_[i].msg_len;
    return len <= t.head + t.size ? 0 : len - t.head - t.size;
}

void DatagramBatch::gather(std::size_t i) {
    const Target& t = targets_[i];
    if (t.data == nullptr) return;
    std::memcpy(slot(i) + t.head, t.data, target_bytes(i));
}

std::expected<std::size_t, int> DatagramBatch::receive(int fd) {
    for (auto& h : headers_) h.msg_hdr.msg_namelen = sizeof(sockaddr_in);
    const int n = ::recvmmsg(fd, headers_.data(), static_cast<unsigned>(headers_.size()), MSG_DONTWAIT, nullptr);
    if (n < 0) return std::unexpected(errno);
    return static_cast<std::size_t>(n);
}

}  // namespace korvalite::net
