#pragma once
// Worker threads: the scheduling settings a worker applies to itself, and the owner's handle
// that stops, wakes and joins the worker when it goes.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

#include "korvalite/error.hpp"
#include "korvalite/net/poller.hpp"

namespace korvalite {

struct ThreadConfig {
    std::optional<std::size_t> cpu;  // pin to this CPU; absent: no pinning
    std::int32_t priority = 0;       // SCHED_FIFO priority; 0 or less: default scheduling

    // Applies the settings to the calling thread; the failure text, if any.
    [[nodiscard]] std::expected<void, std::string> apply() const;
    // Applies the settings and logs a failure as a WARN; never fails.
    void apply_logged() const;
};

// Sets the calling thread's name, keeping the longest prefix that fits the 15-byte limit.
void set_current_thread_name(const std::string& name);

class ThreadHandle {
public:
    // An unarmed handle: dropping it does nothing.
    ThreadHandle() = default;
    // An armed handle with fresh flags (alive true, stop false), no thread and no waker yet.
    static ThreadHandle create();

    ThreadHandle(ThreadHandle&&) noexcept = default;
    ThreadHandle& operator=(ThreadHandle&& other) noexcept;
    ThreadHandle(const ThreadHandle&) = delete;
    ThreadHandle& operator=(const ThreadHandle&) = delete;
    // Armed: sets the stop flag, wakes the worker and joins it.
    ~ThreadHandle();

    // The flags the worker shares: it clears `alive` as its last act and watches `stop`.
    const std::shared_ptr<std::atomic<bool>>& alive_flag() const { return alive_; }
    const std::shared_ptr<std::atomic<bool>>& stop_flag() const { return stop_; }
    bool is_alive() const { return alive_ && alive_->load(); }
    bool is_armed() const { return armed_; }

    void set_waker(std::shared_ptr<net::Waker> waker) { waker_ = std::move(waker); }
    const std::shared_ptr<net::Waker>& waker() const { return waker_; }
    // Stores the thread just started; an earlier one is detached, not joined.
    void set_handle(std::thread thread);
    bool has_thread() const { return thread_.joinable(); }

    // What dropping does, available earlier: stop, wake, join. Idempotent.
    void stop_and_join();

private:
    std::shared_ptr<std::atomic<bool>> alive_;
    std::shared_ptr<std::atomic<bool>> stop_;
    std::thread thread_;
    std::shared_ptr<net::Waker> waker_;
    bool armed_ = false;
};

// Starts `body` (any callable, move-only ones included) on a new thread named `name`; a
// failure to start becomes ThreadSpawn.
template <class F>
[[nodiscard]] CameraResult<std::thread> spawn_named(std::string name, F&& body) {
    try {
        return std::thread([name = std::move(name), body = std::forward<F>(body)]() mutable {
            set_current_thread_name(name);
            body();
        });
    } catch (const std::system_error& e) {
        return std::unexpected(CameraError::thread_spawn(e.what()));
    }
}

}  // namespace korvalite
