#pragma once
// A UDP/IPv4 socket owned by one worker, with the few options the driver uses.
#include <cstddef>
#include <expected>
#include <optional>
#include <span>

#include "korvalite/error.hpp"
#include "korvalite/net/address.hpp"
#include "korvalite/net/unique_fd.hpp"

namespace korvalite::net {

// The largest receive buffer a socket may ask for without privilege (net.core.rmem_max), read
// from /proc; nullopt when it cannot be read.
std::optional<std::size_t> receive_buffer_limit();

struct Datagram {
    std::size_t size = 0;
    Endpoint from;
};

class UdpSocket {
public:
    // A socket bound to `local` (port 0 picks a free port). Errors carry the OS text.
    [[nodiscard]] static CameraResult<UdpSocket> bind(Endpoint local);
    // The same with SO_REUSEADDR set before binding, so several sockets can share a broadcast
    // address and port (each receives its own copy of every broadcast).
    [[nodiscard]] static CameraResult<UdpSocket> bind_shared(Endpoint local);

    int fd() const { return fd_.get(); }
    [[nodiscard]] CameraResult<Endpoint> local_endpoint() const;

    [[nodiscard]] CameraResult<void> set_nonblocking(bool on);
    [[nodiscard]] CameraResult<void> set_broadcast(bool on);
    // Requests a receive buffer of `bytes`; returns the size the kernel actually granted.
    [[nodiscard]] CameraResult<std::size_t> set_receive_buffer(std::size_t bytes);
    // The receive buffer the kernel grants this socket (SO_RCVBUF as read back).
    [[nodiscard]] CameraResult<std::size_t> receive_buffer() const;
    [[nodiscard]] CameraResult<void> set_receive_timeout(int milliseconds);
    // Requests a send buffer of `bytes` (SO_SNDBUF); returns the size the kernel granted.
    [[nodiscard]] CameraResult<std::size_t> set_send_buffer(std::size_t bytes);
    // Lets no datagram into the receive queue from now on (a socket filter that drops
    // everything); the socket keeps its port and can still send.
    [[nodiscard]] CameraResult<void> discard_incoming();
    // Connects (to learn the local address of the route to `remote`, or to filter senders).
    [[nodiscard]] CameraResult<void> connect(Endpoint remote);

    [[nodiscard]] CameraResult<std::size_t> send_to(std::span<const std::byte> data, Endpoint to) const;
    // One datagram, or the errno of the failure (EAGAIN when nothing is waiting).
    [[nodiscard]] std::expected<Datagram, int> receive_from(std::span<std::byte> buffer) const;

private:
    explicit UdpSocket(UniqueFd fd) : fd_(std::move(fd)) {}
    [[nodiscard]] static CameraResult<UdpSocket> bind_with(Endpoint local, bool reuse_address);
    UniqueFd fd_;
};

}  // namespace korvalite::net
