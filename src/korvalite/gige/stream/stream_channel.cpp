#include "korvalite/gige/stream/stream_channel.hpp"

#include <utility>

#include "korvalite/gige/control/control_port.hpp"
#include "korvalite/gige/proto/bootstrap.hpp"
#include "korvalite/gige/stream/stream_worker.hpp"

namespace korvalite::gige::stream {

struct StreamChannel::Link {
    std::unique_ptr<StreamWorker> worker;
    ControlPort port;
};

StreamChannel::StreamChannel(net::Endpoint local, std::unique_ptr<StreamWorker> worker, ControlPort port,
                             std::uint32_t register_base, std::uint16_t channel, std::uint16_t packet_size)
    : local_(local),
      link_(std::make_unique<Link>(std::move(worker), std::move(port))),
      register_base_(register_base),
      channel_(channel),
      packet_size_(packet_size) {}

StreamChannel& StreamChannel::operator=(StreamChannel&& other) noexcept {
    if (this != &other) {
        close();
        local_ = other.local_;
        link_ = std::move(other.link_);
        register_base_ = other.register_base_;
        channel_ = other.channel_;
        packet_size_ = other.packet_size_;
        closed_ = std::exchange(other.closed_, true);
    }
    return *this;
}

StreamChannel::StreamChannel(StreamChannel&&) noexcept = default;

StreamChannel::~StreamChannel() { close(); }

FrameChannel StreamChannel::subscribe(std::size_t capacity) {
    if (!link_) return FrameChannel(bounded<FramePtr>(capacity).second);  // moved-from: ended at once
    return FrameChannel(link_->worker->subscribe(capacity));
}

bool StreamChannel::is_control_alive() const { return link_ && link_->port.is_worker_alive(); }

StreamStats StreamChannel::stats() const { return link_ ? link_->worker->stats() : StreamStats{}; }

void StreamChannel::close() {
    if (closed_ || !link_) return;
    closed_ = true;
    ControlPort& port = link_->port;
    (void)wait_plain(port.write_register(register_base_ + proto::reg::kScpOffset, 0), port.wait_timeout());
    link_->worker->shutdown();
}

}  // namespace korvalite::gige::stream
