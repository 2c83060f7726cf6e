#include "korvalite/sim/resend_queue.hpp"

#include "korvalite/gige/proto/gvcp.hpp"

namespace korvalite::sim {

namespace {
// A burst of requests beyond this is more than any receiver could mean; older ones give way.
constexpr std::size_t kMaxQueued = 4096;
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
