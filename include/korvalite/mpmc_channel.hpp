#pragma once
// A multi-producer multi-consumer channel, bounded (fixed capacity) or unbounded.
//
// Ends are copyable; each copy counts as one more sender or receiver. Once every Sender is gone
// the channel is disconnected for receivers, who still drain what was queued first; once every
// Receiver is gone, sends fail as disconnected and hand the value back.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <expected>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "korvalite/ring_queue.hpp"

namespace korvalite {

enum class TrySendErrorKind { Full, Disconnected };
enum class TryRecvError { Empty, Disconnected };
enum class RecvTimeoutError { Timeout, Disconnected };

template <class T>
struct TrySendError {
    TrySendErrorKind kind;
    T value;  // the value that was not sent
};

namespace detail {

template <class T>
struct ChannelState {
    // A bounded queue gets its room up front (up to a limit), so a queue that fills for the
    // first time long after it was made does not allocate then.
    static constexpr std::size_t kReservedSlotsLimit = 4096;
    explicit ChannelState(std::optional<std::size_t> cap) : capacity(cap) {
        if (cap) queue.reserve(*cap < kReservedSlotsLimit ? *cap : kReservedSlotsLimit);
    }

    std::mutex mutex;
    std::condition_variable readable;
    RingQueue<T> queue;  // steady traffic allocates nothing
    const std::optional<std::size_t> capacity;
    std::size_t senders = 0;
    std::size_t receivers = 0;
};

}  // namespace detail

template <class T>
class Receiver;

template <class T>
class Sender {
public:
    Sender(const Sender& other) : state_(other.state_) { attach(); }
    Sender(Sender&& other) noexcept : state_(std::move(other.state_)) {}
    Sender& operator=(Sender other) noexcept {
        std::swap(state_, other.state_);
        return *this;
    }
    ~Sender() { detach(); }

    // Never blocks: fails with Full at capacity, or Disconnected when no receiver remains.
    [[nodiscard]] std::expected<void, TrySendError<T>> try_send(T value) {
        {
            std::lock_guard lock(state_->mutex);
            if (state_->receivers == 0)
                return std::unexpected(TrySendError<T>{TrySendErrorKind::Disconnected, std::move(value)});
            if (state_->capacity && state_->queue.size() >= *state_->capacity)
                return std::unexpected(TrySendError<T>{TrySendErrorKind::Full, std::move(value)});
            state_->queue.push_back(std::move(value));
        }
        state_->readable.notify_all();  // a receiver that only watches must not take a taker's wake-up
        return {};
    }

    bool is_disconnected() const {
        std::lock_guard lock(state_->mutex);
        return state_->receivers == 0;
    }

private:
    template <class U>
    friend std::pair<Sender<U>, Receiver<U>> make_channel(std::optional<std::size_t>);

    explicit Sender(std::shared_ptr<detail::ChannelState<T>> state) : state_(std::move(state)) { attach(); }

    void attach() {
        std::lock_guard lock(state_->mutex);
        ++state_->senders;
    }
    void detach() {
        if (!state_) return;
        bool last = false;
        {
            std::lock_guard lock(state_->mutex);
            last = --state_->senders == 0;
        }
        if (last) state_->readable.notify_all();
    }

    std::shared_ptr<detail::ChannelState<T>> state_;
};

template <class T>
class Receiver {
public:
    Receiver(const Receiver& other) : state_(other.state_) { attach(); }
    Receiver(Receiver&& other) noexcept : state_(std::move(other.state_)) {}
    Receiver& operator=(Receiver other) noexcept {
        std::swap(state_, other.state_);
        return *this;
    }
    ~Receiver() { detach(); }

    [[nodiscard]] std::expected<T, TryRecvError> try_recv() {
        std::lock_guard lock(state_->mutex);
        if (!state_->queue.empty()) return pop_locked();
        if (state_->senders == 0) return std::unexpected(TryRecvError::Disconnected);
        return std::unexpected(TryRecvError::Empty);
    }

    // Blocks until a value arrives, every sender is gone, or `deadline` passes (none: forever).
    [[nodiscard]] std::expected<T, RecvTimeoutError> recv_deadline(
        std::optional<std::chrono::steady_clock::time_point> deadline = std::nullopt) {
        std::unique_lock lock(state_->mutex);
        for (;;) {
            if (!state_->queue.empty()) return pop_locked();
            if (state_->senders == 0) return std::unexpected(RecvTimeoutError::Disconnected);
            if (!deadline) {
                state_->readable.wait(lock);
            } else if (state_->readable.wait_until(lock, *deadline) == std::cv_status::timeout) {
                if (!state_->queue.empty()) return pop_locked();
                if (state_->senders == 0) return std::unexpected(RecvTimeoutError::Disconnected);
                return std::unexpected(RecvTimeoutError::Timeout);
            }
        }
    }

    // Blocks until a value is queued, every sender is gone, or `deadline` passes (none: forever),
    // without taking anything; whether a value is queued or the senders are gone.
    bool wait_readable(std::optional<std::chrono::steady_clock::time_point> deadline = std::nullopt) const {
        std::unique_lock lock(state_->mutex);
        const auto readable = [&] { return !state_->queue.empty() || state_->senders == 0; };
        if (!deadline) {
            state_->readable.wait(lock, readable);
            return true;
        }
        return state_->readable.wait_until(lock, *deadline, readable);
    }

    [[nodiscard]] std::expected<T, RecvTimeoutError> recv_timeout(std::chrono::steady_clock::duration timeout) {
        return recv_deadline(std::chrono::steady_clock::now() + timeout);
    }

    // Takes everything queued now, without waiting.
    std::vector<T> drain() {
        std::lock_guard lock(state_->mutex);
        std::vector<T> out;
        out.reserve(state_->queue.size());
        while (!state_->queue.empty()) out.push_back(state_->queue.pop_front());
        return out;
    }

    std::size_t size() const {
        std::lock_guard lock(state_->mutex);
        return state_->queue.size();
    }

    std::optional<std::size_t> capacity() const { return state_->capacity; }

    bool is_disconnected() const {
        std::lock_guard lock(state_->mutex);
        return state_->senders == 0;
    }

private:
    template <class U>
    friend std::pair<Sender<U>, Receiver<U>> make_channel(std::optional<std::size_t>);

    explicit Receiver(std::shared_ptr<detail::ChannelState<T>> state) : state_(std::move(state)) { attach(); }

    T pop_locked() {
        return state_->queue.pop_front();
    }

    void attach() {
        std::lock_guard lock(state_->mutex);
        ++state_->receivers;
    }
    void detach() {
        if (!state_) return;
        RingQueue<T> orphaned;
        {
            std::lock_guard lock(state_->mutex);
            if (--state_->receivers == 0) orphaned.swap(state_->queue);
        }
        // Values nobody can receive any more are destroyed outside the lock: a frame's
        // destructor may send its buffer back through another channel.
    }

    std::shared_ptr<detail::ChannelState<T>> state_;
};

// capacity: fixed bound (bounded channel), or nullopt for an unbounded one.
template <class T>
std::pair<Sender<T>, Receiver<T>> make_channel(std::optional<std::size_t> capacity = std::nullopt) {
    auto state = std::make_shared<detail::ChannelState<T>>(capacity);
    return {Sender<T>(state), Receiver<T>(state)};
}

template <class T>
std::pair<Sender<T>, Receiver<T>> bounded(std::size_t capacity) {
    return make_channel<T>(capacity);
}

template <class T>
std::pair<Sender<T>, Receiver<T>> unbounded() {
    return make_channel<T>(std::nullopt);
}

}  // namespace korvalite
