#pragma once
// The control worker's own state and steps. Lives on the worker thread only; nothing here is
// locked. Internal to runner*.cpp.
#include <sys/epoll.h>

#include <array>
#include <atomic>
#include <chrono>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

#include "korvalite/gige/control/detail/inbound.hpp"
#include "korvalite/gige/control/detail/operations.hpp"
#include "korvalite/gige/control/worker.hpp"
#include "korvalite/net/poller.hpp"
#include "korvalite/net/udp_socket.hpp"

namespace korvalite::gige {

class Runner {
public:
    // Everything spawn prepares before the thread starts.
    struct Parts {
        WorkerSettings settings;
        net::UdpSocket socket;
        net::Poller poller;
        std::shared_ptr<net::Waker> waker;
        Receiver<ToWorker> receiver;
        std::shared_ptr<Shared> shared;
        std::shared_ptr<std::atomic<bool>> alive;
        std::shared_ptr<std::atomic<bool>> stop;
    };

    explicit Runner(Parts parts);
    // Applies the thread settings, runs the main loop, then shuts down.
    void run();

private:
    using Clock = std::chrono::steady_clock;

    // Main loop steps (runner.cpp). Each returns false when the loop must end or, for the
    // heartbeat timer, when the iteration ends early.
    bool iterate();
    void drain_socket();
    bool from_device(proto::ByteView datagram, const net::Endpoint& from) const;
    bool take_messages();
    void take_device_rules(const to_worker::DeviceRules& rules);
    void check_deadline(std::optional<Inflight>& slot);
    void expire(std::optional<Inflight>& slot);
    void send_next();
    bool heartbeat_timer();
    void send_op(op::Op op, std::optional<Inflight>& slot);
    std::uint16_t next_request_id();
    void shutdown();

    // Datagrams from the device (inbound.cpp): take_inbound, then what it leaves to do.
    void handle_datagram(proto::ByteView datagram, const net::Endpoint& from);
    // An acknowledge of the heartbeat out beside the transaction in flight.
    bool answers_beside(proto::ByteView datagram) const;
    void continue_op(op::Op op);
    void offer_event(const proto::GvcpEvent& event);

    void count(std::uint64_t LinkStats::*counter) { shared_->add(counter); }

    WorkerSettings settings_;
    net::UdpSocket socket_;
    net::Poller poller_;
    std::shared_ptr<net::Waker> waker_;
    Receiver<ToWorker> receiver_;
    std::shared_ptr<Shared> shared_;
    std::shared_ptr<std::atomic<bool>> alive_;
    std::shared_ptr<std::atomic<bool>> stop_;

    std::deque<op::Op> queue_;
    std::vector<Sender<proto::GvcpEvent>> subscribers_;
    std::optional<Inflight> inflight_;
    // A heartbeat sent while the transaction in flight waits out a PENDING_ACK: the device is
    // busy with it, and control must outlast it. Nothing else is sent while this is out.
    std::optional<Inflight> beside_;
    op::TransferRules rules_;
    PendingAckRule pending_ack_;
    std::chrono::milliseconds heartbeat_interval_;
    Clock::time_point next_heartbeat_;
    std::uint16_t last_request_id_ = 0;
    EventRepeats event_repeats_;
    bool control_lost_ = false;

    std::vector<std::byte> receive_buffer_;
    std::array<epoll_event, net::kMaxEvents> events_{};
};

}  // namespace korvalite::gige
