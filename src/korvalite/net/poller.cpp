#include "korvalite/net/poller.hpp"

#include <sys/eventfd.h>

#include <cerrno>

#include "korvalite/try.hpp"

namespace korvalite::net {

CameraResult<std::shared_ptr<Waker>> Waker::create() {
    int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0) return std::unexpected(CameraError::io_errno(errno));
    return std::shared_ptr<Waker>(new Waker(UniqueFd(fd)));
}

bool Waker::wake() const noexcept {
    const std::uint64_t one = 1;
    return ::write(fd_.get(), &one, sizeof one) == sizeof one;
}

void Waker::drain() const noexcept {
    std::uint64_t value = 0;
    while (::read(fd_.get(), &value, sizeof value) == sizeof value) {
    }
}

CameraResult<Poller> Poller::create() {
    int fd = ::epoll_create1(EPOLL_CLOEXEC);
    if (fd < 0) return std::unexpected(CameraError::io_errno(errno));
    return Poller(UniqueFd(fd));
}

CameraResult<void> Poller::add_readable(int fd, std::uint64_t token) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = token;
    if (::epoll_ctl(fd_.get(), EPOLL_CTL_ADD, fd, &ev) != 0) return std::unexpected(CameraError::io_errno(errno));
    return {};
}

CameraResult<WorkerWait> watch_with_waker(int socket_fd) {
    auto poller = Poller::create();
    if (!poller) return std::unexpected(poller.error());
    KORVALITE_TRY(poller->add_readable(socket_fd, kSocketToken));
    auto waker = Waker::create();
    if (!waker) return std::unexpected(waker.error());
    KORVALITE_TRY(poller->add_readable((*waker)->fd(), kWakerToken));
    return WorkerWait{std::move(*poller), std::move(*waker)};
}

CameraResult<int> Poller::wait(std::span<epoll_event> events, int timeout_ms) {
    int n = ::epoll_wait(fd_.get(), events.data(), static_cast<int>(events.size()), timeout_ms);
    if (n < 0) {
        if (errno == EINTR) return 0;
        return std::unexpected(CameraError::io_errno(errno));
    }
    return n;
}

}  // namespace korvalite::net
