#pragma once
// Readiness waiting for the workers: an epoll instance and an eventfd waker that another
// thread can trigger to interrupt the wait.
#include <sys/epoll.h>

#include <cstdint>
#include <memory>
#include <span>

#include "korvalite/error.hpp"
#include "korvalite/net/unique_fd.hpp"

namespace korvalite::net {

// Tokens by convention: the worker's socket is 0, its waker 1.
inline constexpr std::uint64_t kSocketToken = 0;
inline constexpr std::uint64_t kWakerToken = 1;
inline constexpr int kMaxEvents = 16;

class Waker {
public:
    [[nodiscard]] static CameraResult<std::shared_ptr<Waker>> create();
    // Makes the poller's wait return; safe from any thread. Returns false if the write failed.
    bool wake() const noexcept;
    // Clears pending wake-ups (called by the worker after its wait reports the waker).
    void drain() const noexcept;
    int fd() const { return fd_.get(); }

private:
    explicit Waker(UniqueFd fd) : fd_(std::move(fd)) {}
    UniqueFd fd_;
};

class Poller {
public:
    [[nodiscard]] static CameraResult<Poller> create();
    // Registers `fd` for readability under `token` (level-triggered).
    [[nodiscard]] CameraResult<void> add_readable(int fd, std::uint64_t token);
    // Waits up to timeout_ms (-1: forever); returns the number of events filled in. EINTR
    // counts as zero events.
    [[nodiscard]] CameraResult<int> wait(std::span<epoll_event> events, int timeout_ms);

private:
    explicit Poller(UniqueFd fd) : fd_(std::move(fd)) {}
    UniqueFd fd_;
};

// What a worker thread waits on: a poller watching its socket (kSocketToken) and a new waker
// (kWakerToken).
struct WorkerWait {
    Poller poller;
    std::shared_ptr<Waker> waker;
};

[[nodiscard]] CameraResult<WorkerWait> watch_with_waker(int socket_fd);

}  // namespace korvalite::net
