#pragma once
// Frame buffers made once per stream and recycled: the pool hands out slots to the receive
// worker and takes them back, from whichever thread lets go of the last frame holding one.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "korvalite/mpmc_channel.hpp"

namespace korvalite::gige::stream {

using Instant = std::chrono::steady_clock::time_point;

// Reception state of one packet id of a frame being assembled.
struct PacketEntry {
    Instant deadline{};  // meaningful only with has_deadline
    bool has_deadline = false;
    bool received = false;
    bool requested = false;
};

// A payload buffer, zero-filled once when made (fresh pages from the allocator, touched only
// when written) and never cleared afterwards.
class PayloadBuffer {
public:
    PayloadBuffer() = default;  // empty
    // nullopt when the memory cannot be had.
    static std::optional<PayloadBuffer> allocate(std::size_t size);

    std::span<std::byte> bytes() { return {data_.get(), size_}; }
    std::span<const std::byte> bytes() const { return {data_.get(), size_}; }
    std::size_t size() const { return size_; }

private:
    struct Free {
        void operator()(std::byte* p) const { std::free(p); }
    };
    PayloadBuffer(std::byte* data, std::size_t size) : data_(data), size_(size) {}
    std::unique_ptr<std::byte, Free> data_;
    std::size_t size_ = 0;
};

// The unit that circulates: a packet table the worker refills for every frame (reusing its
// storage) and the payload buffer.
struct BufSlot {
    std::vector<PacketEntry> packets;
    PayloadBuffer buffer;
};

class FramePool {
public:
    // n_buffers slots, each with its own zero-filled buffer of payload_size bytes and room for
    // packet_table_reserve packet entries; nullopt when the memory cannot be had.
    static std::optional<FramePool> create(std::size_t n_buffers, std::uint64_t payload_size,
                                           std::size_t packet_table_reserve = 0);

    // A free slot, without waiting; none free is a normal outcome.
    std::optional<BufSlot> try_take();
    // The sending side every PooledBuf returns its slot through.
    const Sender<BufSlot>& returns() const { return tx_; }
    std::size_t free_slots() const { return rx_.size(); }

private:
    FramePool(Sender<BufSlot> tx, Receiver<BufSlot> rx) : tx_(std::move(tx)), rx_(std::move(rx)) {}
    Sender<BufSlot> tx_;
    Receiver<BufSlot> rx_;
};

// The buffer a Frame owns. Dropping it offers the slot back to the pool without waiting; when
// the pool is full or gone (the stream closed) the slot's memory is released instead.
class PooledBuf {
public:
    PooledBuf(BufSlot slot, Sender<BufSlot> pool) : slot_(std::move(slot)), pool_(std::move(pool)) {}
    PooledBuf(PooledBuf&& other) noexcept
        : slot_(std::exchange(other.slot_, std::nullopt)), pool_(std::move(other.pool_)) {}
    PooledBuf& operator=(PooledBuf&&) = delete;
    ~PooledBuf();

    std::span<const std::byte> bytes() const {
        return slot_ ? slot_->buffer.bytes() : std::span<const std::byte>{};
    }

private:
    std::optional<BufSlot> slot_;
    Sender<BufSlot> pool_;
};

}  // namespace korvalite::gige::stream
