#include "korvalite/gige/stream/detail/record_arena.hpp"

#include <functional>

namespace korvalite::gige::stream {

RecordArena::RecordArena(std::size_t blocks, std::size_t block_size)
    : block_size_((block_size + kAlignment - 1) / kAlignment * kAlignment),
      blocks_(blocks),
      storage_(new std::byte[blocks_ * block_size_]) {
    free_.reserve(blocks_);
    for (std::size_t i = blocks_; i-- > 0;) free_.push_back(storage_.get() + i * block_size_);
}

void* RecordArena::take(std::size_t bytes, std::size_t alignment) noexcept {
    if (bytes > block_size_ || alignment > kAlignment) return nullptr;
    std::lock_guard lock(mutex_);
    if (free_.empty()) return nullptr;
    std::byte* p = free_.back();
    free_.pop_back();
    return p;
}

bool RecordArena::give_back(void* p) noexcept {
    auto* b = static_cast<std::byte*>(p);
    const std::less<const std::byte*> before;
    if (before(b, storage_.get()) || !before(b, storage_.get() + blocks_ * block_size_)) return false;
    std::lock_guard lock(mutex_);
    free_.push_back(b);  // never grows past the reserved capacity
    return true;
}

std::size_t RecordArena::free_blocks() const {
    std::lock_guard lock(mutex_);
    return free_.size();
}

}  // namespace korvalite::gige::stream
