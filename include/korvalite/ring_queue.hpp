#pragma once
// A FIFO queue in one ring of slots that grows by doubling and never shrinks, so that a queue
// running at a steady depth allocates nothing (a deque allocates and frees a block every few
// dozen elements as it moves along).
#include <cstddef>
#include <optional>
#include <utility>
#include <vector>

namespace korvalite {

template <class T>
class RingQueue {
public:
    bool empty() const { return count_ == 0; }
    std::size_t size() const { return count_; }

    void push_back(T value) {
        if (count_ == slots_.size()) grow();
        slots_[(head_ + count_) % slots_.size()].emplace(std::move(value));
        ++count_;
    }

    // Precondition: not empty.
    T pop_front() {
        std::optional<T>& slot = slots_[head_];
        T value = std::move(*slot);
        slot.reset();
        head_ = (head_ + 1) % slots_.size();
        --count_;
        return value;
    }

    // Room for `n` elements without growing.
    void reserve(std::size_t n) {
        if (n > slots_.size()) resize_to(n);
    }

    void clear() {
        while (!empty()) (void)pop_front();
    }

    void swap(RingQueue& other) noexcept {
        slots_.swap(other.slots_);
        std::swap(head_, other.head_);
        std::swap(count_, other.count_);
    }

private:
    void grow() { resize_to(slots_.empty() ? 4 : slots_.size() * 2); }
    void resize_to(std::size_t n) {
        std::vector<std::optional<T>> bigger(n);
        for (std::size_t i = 0; i < count_; ++i) bigger[i].emplace(pop_at(i));
        slots_.swap(bigger);
        head_ = 0;
    }
    T pop_at(std::size_t i) { return std::move(*slots_[(head_ + i) % slots_.size()]); }

    std::vector<std::optional<T>> slots_;
    std::size_t head_ = 0;
    std::size_t count_ = 0;
};

}  // namespace korvalite
