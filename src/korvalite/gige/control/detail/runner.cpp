#include "korvalite/gige/control/worker.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "korvalite/gige/control/detail/runner.hpp"
#include "korvalite/gige/proto/bootstrap.hpp"
#include "korvalite/log.hpp"
#include "korvalite/saturating_time.hpp"

namespace korvalite::gige {

namespace {

constexpr int kReadinessWaitMs = 10;
constexpr std::size_t kReceiveBufferSize = 65535;

const log::Target& target() { return log::targets::gige_runner; }

CameraError spawn_error(const CameraError& cause) { return CameraError::thread_spawn(cause.text()); }

}  // namespace

std::chrono::milliseconds heartbeat_interval(std::uint32_t heartbeat_timeout_ms) {
    const std::uint32_t third = heartbeat_timeout_ms / 3;
    return std::chrono::milliseconds(std::clamp<std::uint32_t>(third, 10, 1000));
}

std::chrono::milliseconds pending_ack_cap(std::uint32_t heartbeat_timeout_ms) {
    const auto short_of_timeout =
        std::chrono::milliseconds(heartbeat_timeout_ms) - heartbeat_interval(heartbeat_timeout_ms);
    return std::clamp<std::chrono::milliseconds>(short_of_timeout, std::chrono::milliseconds(1),
                                                 PendingAckRule::kMaxLimit);
}

CameraResult<SpawnedWorker> spawn(Receiver<ToWorker> receiver, std::shared_ptr<Shared> shared,
                                  const WorkerSettings& settings) {
    const net::Endpoint bind_to = settings.local.value_or(net::Endpoint{net::Ipv4Address::any(), 0});
    auto socket = net::UdpSocket::bind(bind_to);
    if (!socket)
        return std::unexpected(
            CameraError::thread_spawn("bind control socket " + bind_to.to_string() + ": " + socket.error().text()));
    if (auto r = socket->set_nonblocking(true); !r) return std::unexpected(spawn_error(r.error()));
    auto local = socket->local_endpoint();
    if (!local) return std::unexpected(spawn_error(local.error()));
    auto wait = net::watch_with_waker(socket->fd());
    if (!wait) return std::unexpected(spawn_error(wait.error()));

    auto handle = ThreadHandle::create();
    handle.set_waker(wait->waker);
    Runner::Parts parts{.settings = settings,
                        .socket = std::move(*socket),
                        .poller = std::move(wait->poller),
                        .waker = wait->waker,
                        .receiver = std::move(receiver),
                        .shared = std::move(shared),
                        .alive = handle.alive_flag(),
                        .stop = handle.stop_flag()};
    auto thread = spawn_named("korvalite-gvcp", [parts = std::move(parts)]() mutable {
        Runner runner(std::move(parts));
        runner.run();
    });
    if (!thread) return std::unexpected(thread.error());
    handle.set_handle(std::move(*thread));
    return SpawnedWorker{std::move(handle), *local};
}

Runner::Runner(Parts parts)
    : settings_(std::move(parts.settings)),
      socket_(std::move(parts.socket)),
      poller_(std::move(parts.poller)),
      waker_(std::move(parts.waker)),
      receiver_(std::move(parts.receiver)),
      shared_(std::move(parts.shared)),
      alive_(std::move(parts.alive)),
      stop_(std::move(parts.stop)),
      heartbeat_interval_(heartbeat_interval(settings_.heartbeat_timeout_ms)),
      next_heartbeat_(Clock::now() + heartbeat_interval_),
      receive_buffer_(kReceiveBufferSize) {
    pending_ack_.limit = pending_ack_cap(settings_.heartbeat_timeout_ms);
}

void Runner::run() {
    settings_.thread.apply_logged();
    while (!stop_->load() && !control_lost_) {
        if (!iterate()) break;
    }
    shutdown();
}

bool Runner::iterate() {
    auto ready = poller_.wait(events_, kReadinessWaitMs);
    if (!ready) {
        KORVALITE_LOG(target(), log::Level::Error, "gvcp worker poll error: " + ready.error().text());
        return false;
    }
    for (int i = 0; i < *ready; ++i) {
        if (events_[i].data.u64 == net::kSocketToken) drain_socket();
        else if (events_[i].data.u64 == net::kWakerToken) waker_->drain();
    }
    if (!take_messages()) return false;
    check_deadline(inflight_);
    check_deadline(beside_);
    if (!heartbeat_timer()) return true;
    send_next();
    return true;
}

void Runner::drain_socket() {
    for (;;) {
        auto datagram = socket_.receive_from(receive_buffer_);
        if (!datagram) {
            const int err = datagram.error();
            if (err == EINTR) continue;
            if (err != EAGAIN && err != EWOULDBLOCK)
                KORVALITE_LOG(target(), log::Level::Warn, std::string("gvcp recv error: ") + std::strerror(err));
            return;
        }
        if (!from_device(proto::ByteView(receive_buffer_).first(datagram->size), datagram->from)) continue;
        handle_datagram(proto::ByteView(receive_buffer_).first(datagram->size), datagram->from);
    }
}

// Acknowledges count only from the device's GVCP endpoint, so no other sender can answer for
// it; device commands (events) may come from any port of its address.
bool Runner::from_device(proto::ByteView datagram, const net::Endpoint& from) const {
    if (from.address != settings_.device.address) return false;
    if (from.port == settings_.device.port) return true;
    if (!datagram.empty() && proto::u8_at(datagram, 0) == proto::kCommandKey) return true;
    KORVALITE_LOG(target(), log::Level::Trace, "datagram from another port of the device ignored",
                  {{"from", from.to_string()}});
    return false;
}

bool Runner::take_messages() {
    for (;;) {
        auto message = receiver_.try_recv();
        if (!message) return true;
        if (std::holds_alternative<to_worker::Shutdown>(*message)) return false;
        if (auto* subscribe = std::get_if<to_worker::Subscribe>(&*message)) {
            subscribers_.push_back(std::move(subscribe->events));
            subscribe->added.fulfill({});
            continue;
        }
        if (auto* rules = std::get_if<to_worker::DeviceRules>(&*message)) {
            take_device_rules(*rules);
            continue;
        }
        if (auto op = op::from_message(std::move(*message), rules_)) queue_.push_back(std::move(*op));
    }
}

void Runner::take_device_rules(const to_worker::DeviceRules& rules) {
    rules_ = op::TransferRules::of(rules.capability);
    pending_ack_.accepted = rules.capability.pending_ack();
    pending_ack_.limit = pending_ack_cap(settings_.heartbeat_timeout_ms);
    if (rules.pending_ack_limit.count() > 0) pending_ack_.limit = std::min(rules.pending_ack_limit, pending_ack_.limit);
    KORVALITE_LOG(target(), log::Level::Debug, "device capability applied",
                  {{"concatenation", rules_.concatenation},
                   {"write_memory", rules_.write_memory},
                   {"pending_ack", pending_ack_.accepted},
                   {"pending_ack_limit_ms", static_cast<std::uint64_t>(pending_ack_.limit.count())}});
}

void Runner::check_deadline(std::optional<Inflight>& slot) {
    if (!slot) return;
    const auto now = Clock::now();
    if (now >= op::expires(slot->op)) {
        // Its caller has stopped waiting: the transaction gives way to the next one.
        expire(slot);
        return;
    }
    if (now < slot->deadline) return;
    if (slot->tries_left > 0) {
        --slot->tries_left;
        slot->deadline = saturating_deadline(now, settings_.gvcp_timeout);
        count(&LinkStats::retries);
        KORVALITE_LOG(target(), log::Level::Trace, "ack overdue, retrying transaction",
                      {{"id", slot->request_id}, {"tries_left", slot->tries_left}});
        if (auto sent = socket_.send_to(slot->packet, settings_.device); !sent)
            KORVALITE_LOG(target(), log::Level::Warn, "retry send failed: " + sent.error().text());
        return;
    }
    count(&LinkStats::timeouts);
    Inflight expired = std::move(*slot);
    slot.reset();
    if (op::is_heartbeat(expired.op)) {
        KORVALITE_LOG(target(), log::Level::Warn, "heartbeat timed out, considering control lost");
        control_lost_ = true;
    } else {
        op::fail(expired.op, CameraError::ack_timeout());
    }
}

void Runner::expire(std::optional<Inflight>& slot) {
    count(&LinkStats::timeouts);
    KORVALITE_LOG(target(), log::Level::Debug, "transaction outlived its caller's wait, given up",
                  {{"id", slot->request_id}});
    op::fail(slot->op, CameraError::ack_timeout());
    slot.reset();
}

bool Runner::heartbeat_timer() {
    const auto now = Clock::now();
    if (now < next_heartbeat_) return true;
    next_heartbeat_ = now + heartbeat_interval_;
    if (inflight_ && op::is_heartbeat(inflight_->op)) return false;
    if (beside_) return false;
    if (inflight_ && inflight_->pending) {
        // The device is busy with the transaction in flight, however long it says that takes:
        // the heartbeat goes out beside it rather than behind it.
        send_op(op::Heartbeat{}, beside_);
        return true;
    }
    for (const auto& queued : queue_)
        if (op::is_heartbeat(queued)) return true;
    queue_.push_front(op::Heartbeat{});
    return true;
}

// Sends the first queued op whose caller still waits; those that expired in the queue fail.
void Runner::send_next() {
    const auto now = Clock::now();
    while (!inflight_ && !beside_ && !queue_.empty()) {
        op::Op next = std::move(queue_.front());
        queue_.pop_front();
        if (now >= op::expires(next)) {
            count(&LinkStats::timeouts);
            op::fail(next, CameraError::ack_timeout());
            continue;
        }
        send_op(std::move(next), inflight_);
    }
}

std::uint16_t Runner::next_request_id() {
    // 0 and 0xFFFF are never used on the control channel.
    last_request_id_ = last_request_id_ >= 0xFFFE ? 1 : static_cast<std::uint16_t>(last_request_id_ + 1);
    return last_request_id_;
}

void Runner::send_op(op::Op op, std::optional<Inflight>& slot) {
    const std::uint16_t id = next_request_id();
    proto::ByteVec packet = op::build_packet(op, id);
    if (auto sent = socket_.send_to(packet, settings_.device); !sent) {
        op::fail(op, sent.error());
        return;
    }
    count(&LinkStats::commands);
    slot = Inflight{std::move(packet), std::move(op), saturating_deadline(Clock::now(), settings_.gvcp_timeout), id,
                    settings_.retries};
}

void Runner::shutdown() {
    KORVALITE_LOG(target(), log::Level::Debug, "gvcp worker shutting down", {{"control_lost", control_lost_}});
    if (control_lost_) shared_->control_lost.store(true);
    const auto failure = [&] { return control_lost_ ? CameraError::control_lost() : CameraError::not_connected(); };

    if (inflight_) op::fail(inflight_->op, failure());
    inflight_.reset();
    beside_.reset();  // a heartbeat: nobody waits for it
    for (const auto& queued : queue_) op::fail(queued, failure());
    queue_.clear();

    if (!control_lost_) {
        const std::pair<std::uint32_t, std::uint32_t> release[] = {{proto::reg::kControlChannelPrivilege, 0}};
        (void)socket_.send_to(proto::encode_write_reg(release, next_request_id()), settings_.device);
    }
    subscribers_.clear();
    alive_->store(false);
    // Submitters that raced the flag: their messages are still in the channel.
    for (auto& message : receiver_.drain()) op::fail_message(message, failure());
}

}  // namespace korvalite::gige
