#pragma once
// PACKETRESEND requests on their way from the control thread to the stream sender.
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "korvalite/gige/proto/gvcp.hpp"
#include "korvalite/net/poller.hpp"

namespace korvalite::sim {

using gige::proto::ResendRequest;

class ResendQueue {
public:
    void set_waker(std::shared_ptr<net::Waker> waker);
    void push(const ResendRequest& request);
    // Takes every queued request, oldest first.
    std::vector<ResendRequest> drain();

private:
    std::mutex mutex_;
    std::vector<ResendRequest> queue_;
    std::shared_ptr<net::Waker> waker_;
};

}  // namespace korvalite::sim
