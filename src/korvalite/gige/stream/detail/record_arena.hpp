#pragma once
// Recycled storage for frame records. A completed frame is one allocation (its shared reference
// count and the Frame together); the arena hands the same few blocks out again, so closing a
// frame allocates nothing while the stream runs. When every block is taken, or a request does
// not fit a block, the allocator falls back to the heap.
//
// Every allocator copy (including the one inside each record) keeps the arena alive, so a frame
// that outlives its stream still gives its block back safely.
#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

namespace korvalite::gige::stream {

class RecordArena {
public:
    RecordArena(std::size_t blocks, std::size_t block_size);

    // A free block of at least `bytes` at `alignment`, or nullptr.
    void* take(std::size_t bytes, std::size_t alignment) noexcept;
    // Returns a block; false if `p` does not come from this arena.
    bool give_back(void* p) noexcept;
    std::size_t free_blocks() const;

private:
    static constexpr std::size_t kAlignment = alignof(std::max_align_t);
    const std::size_t block_size_;
    const std::size_t blocks_;
    std::unique_ptr<std::byte[]> storage_;
    mutable std::mutex mutex_;
    std::vector<std::byte*> free_;
};

template <class T>
class ArenaAllocator {
public:
    using value_type = T;

    explicit ArenaAllocator(std::shared_ptr<RecordArena> arena) noexcept : arena_(std::move(arena)) {}
    template <class U>
    ArenaAllocator(const ArenaAllocator<U>& other) noexcept : arena_(other.arena_) {}

    T* allocate(std::size_t n) {
        if (void* p = arena_->take(n * sizeof(T), alignof(T))) return static_cast<T*>(p);
        return std::allocator<T>{}.allocate(n);
    }
    void deallocate(T* p, std::size_t n) noexcept {
        if (!arena_->give_back(p)) std::allocator<T>{}.deallocate(p, n);
    }

    template <class U>
    bool operator==(const ArenaAllocator<U>& other) const noexcept {
        return arena_ == other.arena_;
    }

private:
    template <class U>
    friend class ArenaAllocator;
    std::shared_ptr<RecordArena> arena_;
};

}  // namespace korvalite::gige::stream
