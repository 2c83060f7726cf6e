#include "korvalite/net/udp_socket.hpp"

#include <fcntl.h>
#include <linux/filter.h>
#include <sys/socket.h>

#include <cerrno>
#include <fstream>

namespace korvalite::net {

std::optional<std::size_t> receive_buffer_limit() {
    std::ifstream file("/proc/sys/net/core/rmem_max");
    std::size_t bytes = 0;
    if (!(file >> bytes)) return std::nullopt;
    return bytes;
}

CameraResult<UdpSocket> UdpSocket::bind(Endpoint local) { return bind_with(local, false); }

CameraResult<UdpSocket> UdpSocket::bind_shared(Endpoint local) { return bind_with(local, true); }

CameraResult<UdpSocket> UdpSocket::bind_with(Endpoint local, bool reuse_address) {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return std::unexpected(CameraError::io_errno(errno));
    UdpSocket sock{UniqueFd(fd)};
    int one = 1;
    if (reuse_address && ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0)
        return std::unexpected(CameraError::io_errno(errno));
    sockaddr_in sa = local.to_sockaddr();
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0)
        return std::unexpected(CameraError::io_errno(errno));
    return sock;
}

CameraResult<Endpoint> UdpSocket::local_endpoint() const {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (::getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&sa), &len) != 0)
        return std::unexpected(CameraError::io_errno(errno));
    return Endpoint::from_sockaddr(sa);
}

CameraResult<void> UdpSocket::set_nonblocking(bool on) {
    int flags = ::fcntl(fd_.get(), F_GETFL, 0);
    if (flags < 0) return std::unexpected(CameraError::io_errno(errno));
    flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    if (::fcntl(fd_.get(), F_SETFL, flags) != 0) return std::unexpected(CameraError::io_errno(errno));
    return {};
}

CameraResult<void> UdpSocket::set_broadcast(bool on) {
    int v = on ? 1 : 0;
    if (::setsockopt(fd_.get(), SOL_SOCKET, SO_BROADCAST, &v, sizeof v) != 0)
        return std::unexpected(CameraError::io_errno(errno));
    return {};
}

CameraResult<std::size_t> UdpSocket::set_receive_buffer(std::size_t bytes) {
    int v = bytes > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(bytes);
    if (::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVBUF, &v, sizeof v) != 0)
        return std::unexpected(CameraError::io_errno(errno));
    return receive_buffer();
}

CameraResult<std::size_t> UdpSocket::receive_buffer() const {
    int granted = 0;
    socklen_t len = sizeof granted;
    if (::getsockopt(fd_.get(), SOL_SOCKET, SO_RCVBUF, &granted, &len) != 0)
        return std::unexpected(CameraError::io_errno(errno));
    return static_cast<std::size_t>(granted);
}

CameraResult<std::size_t> UdpSocket::set_send_buffer(std::size_t bytes) {
    int v = bytes > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(bytes);
    if (::setsockopt(fd_.get(), SOL_SOCKET, SO_SNDBUF, &v, sizeof v) != 0)
        return std::unexpected(CameraError::io_errno(errno));
    int granted = 0;
    socklen_t len = sizeof granted;
    if (::getsockopt(fd_.get(), SOL_SOCKET, SO_SNDBUF, &granted, &len) != 0)
        return std::unexpected(CameraError::io_errno(errno));
    return static_cast<std::size_t>(granted);
}

CameraResult<void> UdpSocket::set_receive_timeout(int milliseconds) {
    timeval tv{milliseconds / 1000, (milliseconds % 1000) * 1000};
    if (::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0)
        return std::unexpected(CameraError::io_errno(errno));
    return {};
}

CameraResult<void> UdpSocket::discard_incoming() {
    sock_filter drop_all = BPF_STMT(BPF_RET | BPF_K, 0);
    const sock_fprog program{1, &drop_all};
    if (::setsockopt(fd_.get(), SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) != 0)
        return std::unexpected(CameraError::io_errno(errno));
    return {};
}

CameraResult<void> UdpSocket::connect(Endpoint remote) {
    sockaddr_in sa = remote.to_sockaddr();
    if (::connect(fd_.get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0)
        return std::unexpected(CameraError::io_errno(errno));
    return {};
}

CameraResult<std::size_t> UdpSocket::send_to(std::span<const std::byte> data, Endpoint to) const {
    sockaddr_in sa = to.to_sockaddr();
    ssize_t n = ::sendto(fd_.get(), data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    if (n < 0) return std::unexpected(CameraError::io_errno(errno));
    return static_cast<std::size_t>(n);
}

std::expected<Datagram, int> UdpSocket::receive_from(std::span<std::byte> buffer) const {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    ssize_t n = ::recvfrom(fd_.get(), buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&sa), &len);
    if (n < 0) return std::unexpected(errno);
    return Datagram{static_cast<std::size_t>(n), Endpoint::from_sockaddr(sa)};
}

}  // namespace korvalite::net
