#pragma once
// The control side of the simulated camera, run on its own thread: receives GVCP on the device
// port (and, for DISCOVERY, on the broadcast addresses), answers through the responder, sends
// fire-test packets, releases the privilege when its heartbeat runs out, and counts the
// acknowledges that come back for events.
#include <atomic>
#include <vector>

#include "korvalite/net/poller.hpp"
#include "korvalite/net/udp_socket.hpp"
#include "korvalite/sim/gvcp_responder.hpp"

namespace korvalite::sim {

class ControlServer {
public:
    // Poller tokens: the device port, the waker, the message channel, then broadcast sockets.
    static constexpr std::uint64_t kDeviceToken = net::kSocketToken;
    static constexpr std::uint64_t kMessageToken = 2;
    static constexpr std::uint64_t kFirstBroadcastToken = 3;

    // The sockets are borrowed: their owner outlives the thread running this server.
    ControlServer(Device& device, ResendQueue& resends, const net::UdpSocket& device_port,
                  std::vector<const net::UdpSocket*> broadcast, const net::UdpSocket& message_channel,
                  std::vector<int> channel_fds);

    void run(const std::atomic<bool>& stop, const std::atomic<bool>& gone, net::Poller& poller, net::Waker& waker);

private:
    void drain(const net::UdpSocket& socket, bool gone, ResponderOutput& out);
    void drain_event_acks();
    void deliver(ResponderOutput& out);
    void fire(const FireTest& test);

    Device& device_;
    GvcpResponder responder_;
    const net::UdpSocket& device_port_;
    std::vector<const net::UdpSocket*> broadcast_;
    const net::UdpSocket& message_channel_;
    std::vector<int> channel_fds_;
    // A camera on a loopback address talks to this host only: broadcasts from elsewhere that
    // reach its broadcast sockets go unanswered.
    bool loopback_only_;
    gige::proto::ByteVec buffer_ = gige::proto::ByteVec(65535);
};

}  // namespace korvalite::sim
