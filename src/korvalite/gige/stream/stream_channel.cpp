#include "korvalite/gige/stream/stream_channel.hpp"

#include <utility>

#include "korvalite/gige/proto/bootstrap.hpp"

namespace korvalite::gige::stream {

StreamChannel::StreamChannel(net::Endpoint local, std::unique_ptr<StreamWorker> worker, ControlPort port,
                             std::uint32_t register_base, std::uint16_t channel, std::uint16_t packet_size)
    : local_(local),
      worker_(std::move(worker)),
      port_(std::move(port)),
      register_base_(register_base),
      channel_(channel),
      packet_size_(packet_size) {}

StreamChannel& StreamChannel::operator=(StreamChannel&& other) noexcept {
    if (this != &other) {
        close();
        local_ = other.local_;
        worker_ = std::move(other.worker_);
        port_ = std::move(other.port_);
        register_base_ = other.register_base_;
        channel_ = other.channel_;
        packet_size_ = other.packet_size_;
        closed_ = std::exchange(other.closed_, true);
    }
    return *this;
}

StreamChannel::~StreamChannel() { close(); }

FrameChannel StreamChannel::subscribe(std::size_t capacity) {
    if (!worker_) return FrameChannel(bounded<FramePtr>(capacity).second);  // moved-from: ended at once
    return FrameChannel(worker_->subscribe(capacity));
}

StreamStats StreamChannel::stats() const { return worker_ ? worker_->stats() : StreamStats{}; }

void StreamChannel::close() {
    if (closed_ || !worker_) return;
    closed_ = true;
    (void)wait_plain(port_.write_register(register_base_ + proto::reg::kScpOffset, 0), port_.wait_timeout());
    worker_->shutdown();
}

}  // namespace korvalite::gige::stream
