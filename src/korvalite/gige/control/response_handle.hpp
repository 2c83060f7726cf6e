#pragma once
// A one-shot completion slot shared by the thread that submits a control operation and the
// control worker that completes it. The first result stored wins; later ones are discarded.
// Any number of threads may wait on it and read it, any number of times.
#include <chrono>
#include <condition_variable>
#include <expected>
#include <memory>
#include <mutex>
#include <optional>

#include "korvalite/error.hpp"
#include "korvalite/saturating_time.hpp"

namespace korvalite::gige {

template <class T>
class ResponseHandle {
public:
    using Result = std::expected<T, SharedCameraError>;

    // A fresh, empty slot. Copies refer to the same slot.
    ResponseHandle() : state_(std::make_shared<State>()) {}

    // Stores `result` if the slot is still empty; wakes every waiter either way.
    void fulfill(Result result) const {
        {
            std::lock_guard lock(state_->mutex);
            if (!state_->result) state_->result.emplace(std::move(result));
        }
        state_->filled.notify_all();
    }

    void fail(CameraError error) const { fulfill(std::unexpected(share(std::move(error)))); }

    bool is_complete() const {
        std::lock_guard lock(state_->mutex);
        return state_->result.has_value();
    }

    // The stored result, or AckTimeout while the slot is empty.
    Result get() const {
        std::lock_guard lock(state_->mutex);
        return current_locked();
    }

    // Waits until the slot is filled or `timeout` passes; then as get(). A time-out that
    // reaches past the clock's range waits without limit.
    Result wait_timeout(std::chrono::steady_clock::duration timeout) const {
        std::unique_lock lock(state_->mutex);
        const auto filled = [&] { return state_->result.has_value(); };
        if (auto deadline = deadline_after(SteadyClock::now(), timeout)) state_->filled.wait_until(lock, *deadline, filled);
        else state_->filled.wait(lock, filled);
        return current_locked();
    }

private:
    struct State {
        std::mutex mutex;
        std::condition_variable filled;
        std::optional<Result> result;
    };

    Result current_locked() const {
        if (state_->result) return *state_->result;
        return std::unexpected(share(CameraError::ack_timeout()));
    }

    std::shared_ptr<State> state_;
};

// Waits on `handle` and hands a worker error back as a plain CameraError.
template <class T>
[[nodiscard]] CameraResult<T> wait_plain(const ResponseHandle<T>& handle, std::chrono::steady_clock::duration timeout) {
    auto result = handle.wait_timeout(timeout);
    if (!result) return std::unexpected(unshare(result.error()));
    if constexpr (std::is_void_v<T>) return {};
    else return std::move(*result);
}

}  // namespace korvalite::gige
