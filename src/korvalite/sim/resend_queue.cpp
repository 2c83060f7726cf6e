#include "korvalite/sim/resend_queue.hpp"

#include "korvalite/gige/proto/gvcp.hpp"

namespace korvalite::sim {

namespace {
// A burst of requests beyond this is more than any receiver could mean; older ones give way.
constexpr std::size_t kMaxQueued = 4096;
}

std::optional<ResendRequest> parse_resend(std::uint8_t flags, gige::proto::ByteView payload) {
    using gige::proto::u16_at;
    using gige::proto::u32_at;
    ResendRequest r;
    r.extended = (flags & gige::proto::kFlagBroadcastOrExtended) != 0;
    if (r.extended) {
        if (payload.size() < 20) return std::nullopt;
        r.channel = u16_at(payload, 0);
        r.first_packet = u32_at(payload, 4);
        r.last_packet = u32_at(payload, 8);
        r.block_id = gige::proto::u64_at(payload, 12);
        return r;
    }
    if (payload.size() < 12) return std::nullopt;
    r.channel = u16_at(payload, 0);
    r.block_id = u16_at(payload, 2);
    r.first_packet = u32_at(payload, 4) & 0x00FFFFFF;
    r.last_packet = u32_at(payload, 8) & 0x00FFFFFF;
    return r;
}

void ResendQueue::set_waker(std::shared_ptr<net::Waker> waker) {
    std::lock_guard lock(mutex_);
    waker_ = std::move(waker);
}

void ResendQueue::push(const ResendRequest& request) {
    std::lock_guard lock(mutex_);
    if (queue_.size() >= kMaxQueued) queue_.erase(queue_.begin());
    queue_.push_back(request);
    if (waker_) (void)waker_->wake();
}

std::vector<ResendRequest> ResendQueue::drain() {
    std::lock_guard lock(mutex_);
    return std::exchange(queue_, {});
}

}  // namespace korvalite::sim
