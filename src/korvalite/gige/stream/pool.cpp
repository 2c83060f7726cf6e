#include "korvalite/gige/stream/pool.hpp"

#include <unistd.h>

#include <cstdint>
#include <limits>

namespace korvalite::gige::stream {

namespace {

std::uint64_t physical_memory_bytes() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page_size <= 0) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size);
}

}  // namespace

std::optional<PayloadBuffer> PayloadBuffer::allocate(std::size_t size) {
    if (size == 0) return PayloadBuffer(nullptr, 0);
    auto* data = static_cast<std::byte*>(std::calloc(size, 1));
    if (!data) return std::nullopt;
    return PayloadBuffer(data, size);
}

std::optional<FramePool> FramePool::create(std::size_t n_buffers, std::uint64_t payload_size,
                                           std::size_t packet_table_reserve) {
    if (payload_size > std::numeric_limits<std::size_t>::max()) return std::nullopt;
    // Refuse at once what could never fit in memory, rather than touching page after page
    // until the allocator (or the system's out-of-memory killer) gives up.
    if (n_buffers != 0 && payload_size > physical_memory_bytes() / n_buffers) return std::nullopt;
    auto [tx, rx] = bounded<BufSlot>(n_buffers);
    for (std::size_t i = 0; i < n_buffers; ++i) {
        auto buffer = PayloadBuffer::allocate(static_cast<std::size_t>(payload_size));
        if (!buffer) return std::nullopt;
        BufSlot slot{{}, std::move(*buffer)};
        slot.packets.reserve(packet_table_reserve);
        (void)tx.try_send(std::move(slot));
    }
    return FramePool(std::move(tx), std::move(rx));
}

std::optional<BufSlot> FramePool::try_take() {
    auto slot = rx_.try_recv();
    if (!slot) return std::nullopt;
    return std::move(*slot);
}

PooledBuf::~PooledBuf() {
    if (slot_) (void)pool_.try_send(std::move(*slot_));
}

}  // namespace korvalite::gige::stream
