#include "korvalite/gige/stream/pool.hpp"

#include <limits>

namespace korvalite::gige::stream {

std::optional<PayloadBuffer> PayloadBuffer::allocate(std::size_t size) {
    if (size == 0) return PayloadBuffer(nullptr, 0);
    auto* data = static_cast<std::byte*>(std::calloc(size, 1));
    if (!data) return std::nullopt;
    return PayloadBuffer(data, size);
}

std::optional<FramePool> FramePool::create(std::size_t n_buffers, std::uint64_t payload_size,
                                           std::size_t packet_table_reserve) {
    if (payload_size > std::numeric_limits<std::size_t>::max()) return std::nullopt;
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
