#pragma once
// PACKETRESEND requests on their way from the control thread to the stream sender.
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "korvalite/gige/proto/bytes.hpp"
#include "korvalite/net/poller.hpp"

namespace korvalite::sim {

struct ResendRequest {
    std::uint32_t channel = 0;
    std::uint64_t block_id = 0;
    std::uint32_t first_packet = 0;
    std::uint32_t last_packet = 0;
    bool extended = false;  // asked in the extended form

    bool operator==(const ResendRequest&) const = default;
};

// Decodes the payload of a PACKETRESEND command (normal form, or extended when the header's
// flag 0x10 is set); nothing when the payload is too short.
std::optional<ResendRequest> parse_resend(std::uint8_t flags, gige::proto::ByteView payload);

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
