#include "korvalite/sim/control_server.hpp"

#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "korvalite/gige/proto/gvcp.hpp"
#include "korvalite/log.hpp"
#include "korvalite/sim/stream_packets.hpp"

namespace korvalite::sim {

namespace {
constexpr auto kLoopWait = std::chrono::milliseconds(10);
}

ControlServer::ControlServer(Device& device, ResendQueue& resends, const net::UdpSocket& device_port,
                             std::vector<const net::UdpSocket*> broadcast, const net::UdpSocket& message_channel,
                             std::vector<int> channel_fds)
    : device_(device),
      responder_(device, resends),
      device_port_(device_port),
      broadcast_(std::move(broadcast)),
      message_channel_(message_channel),
      channel_fds_(std::move(channel_fds)),
      loopback_only_(device_port.local_endpoint().value_or(net::Endpoint{}).address.is_loopback()) {}

void ControlServer::run(const std::atomic<bool>& stop, const std::atomic<bool>& gone, net::Poller& poller,
                        net::Waker& waker) {
    std::array<epoll_event, net::kMaxEvents> events{};
    while (!stop.load(std::memory_order_acquire)) {
        auto wait = kLoopWait;
        if (auto due = responder_.next_due()) {
            const auto until = std::chrono::ceil<std::chrono::milliseconds>(*due - Clock::now());
            wait = std::clamp(until, std::chrono::milliseconds(0), kLoopWait);
        }
        auto n = poller.wait(events, static_cast<int>(wait.count()));
        if (!n) {
            KORVALITE_LOG(log::targets::sim, log::Level::Error, "simulated camera poll failed: " + n.error().message());
            return;
        }
        const bool is_gone = gone.load(std::memory_order_acquire);
        ResponderOutput out;
        for (int i = 0; i < *n; ++i) {
            const std::uint64_t token = events[i].data.u64;
            if (token == net::kWakerToken) waker.drain();
            else if (token == kDeviceToken) drain(device_port_, is_gone, out);
            else if (token == kMessageToken) drain_event_acks();
            else if (token - kFirstBroadcastToken < broadcast_.size())
                drain(*broadcast_[token - kFirstBroadcastToken], is_gone, out);
        }
        const auto now = Clock::now();
        if (is_gone) {
            // A vanished device also stops finishing what it had held back.
            ResponderOutput discard;
            responder_.run_due(now, discard);
        } else {
            responder_.run_due(now, out);
        }
        device_.expire_privilege(now);
        deliver(out);
    }
}

void ControlServer::drain(const net::UdpSocket& socket, bool gone, ResponderOutput& out) {
    for (;;) {
        auto d = socket.receive_from(buffer_);
        if (!d) {
            if (d.error() == EINTR) continue;
            if (d.error() != EAGAIN && d.error() != EWOULDBLOCK)
                KORVALITE_LOG(log::targets::sim, log::Level::Warn,
                              std::string("simulated camera receive failed: ") + std::strerror(d.error()));
            return;
        }
        if (gone || (loopback_only_ && !d->from.address.is_loopback())) continue;
        responder_.handle(gige::proto::ByteView(buffer_).first(d->size), d->from, Clock::now(), out);
    }
}

void ControlServer::drain_event_acks() {
    for (;;) {
        auto d = message_channel_.receive_from(buffer_);
        if (!d) {
            if (d.error() == EINTR) continue;
            return;
        }
        auto ack = gige::proto::parse_datagram(gige::proto::ByteView(buffer_).first(d->size));
        if (ack && !ack->is_command &&
            (ack->code == gige::proto::code::kEventAck || ack->code == gige::proto::code::kEventDataAck))
            device_.counters().add(Counter::EventAcksReceived);
    }
}

void ControlServer::deliver(ResponderOutput& out) {
    for (const auto& reply : out.replies) {
        if (!device_port_.send_to(reply.bytes, reply.to)) device_.counters().add(Counter::SendErrors);
    }
    for (const auto& test : out.fire_tests) fire(test);
}

void ControlServer::fire(const FireTest& test) {
    if (!test.destination || test.channel >= channel_fds_.size()) return;
    if (test.size > device_.path_mtu()) {
        // The path drops what it cannot carry unfragmented.
        device_.counters().add(Counter::TestPacketsBlocked);
        return;
    }
    const auto packet = test_packet(test.size);
    const sockaddr_in to = test.destination->to_sockaddr();
    if (::sendto(channel_fds_[test.channel], packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                 sizeof to) < 0) {
        device_.counters().add(Counter::SendErrors);
        return;
    }
    device_.counters().add(Counter::TestPacketsSent);
}

}  // namespace korvalite::sim
