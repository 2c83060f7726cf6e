#include "korvalite/gige/stream/detail/receive_pacer.hpp"

#include <algorithm>

namespace korvalite::gige::stream {

namespace {

// The kernel charges a queued datagram for its buffers too: up to about twice its length
// (a 9000-byte datagram on loopback costs 16.7 KB of the receive buffer).
constexpr std::size_t kChargePerByte = 2;
// Below this a pause costs more in timer work than it saves.
constexpr std::chrono::nanoseconds kShortestPause = std::chrono::microseconds(5);

}  // namespace

ReceivePacer::ReceivePacer(std::chrono::nanoseconds max_pause, std::size_t socket_buffer)
    : max_pause_(std::max(max_pause, std::chrono::nanoseconds::zero())),
      budget_(socket_buffer / 4),
      pause_(max_pause_) {}

void ReceivePacer::gathered(std::size_t bytes) {
    if (max_pause_.count() == 0) return;
    const std::size_t charge = bytes * kChargePerByte;
    if (charge > budget_) {
        pause_ /= 2;
        if (pause_ < kShortestPause) pause_ = std::chrono::nanoseconds::zero();
    } else if (charge < budget_ / 2) {
        pause_ = std::min(max_pause_, std::max(kShortestPause, pause_ + pause_ / 4));
    }
}

}  // namespace korvalite::gige::stream
