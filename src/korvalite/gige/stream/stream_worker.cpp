#include "korvalite/gige/stream/stream_worker.hpp"

#include <sys/epoll.h>
#include <sys/prctl.h>
#include <time.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <string>

#include "korvalite/gige/stream/detail/receive_pacer.hpp"
#include "korvalite/gige/stream/detail/ring_receive.hpp"
#include "korvalite/log.hpp"
#include "korvalite/net/datagram_batch.hpp"

namespace korvalite::gige::stream {

namespace {

constexpr auto& kLog = log::targets::gige_stream_runner;

// Datagrams taken per system call, each into its own buffer large enough for any UDP datagram.
constexpr std::size_t kBatchSize = 64;
constexpr std::size_t kMaxDatagram = 65535;
// Batches per drain: under a flood the worker still gets back to its loop regularly to take
// messages, close frames and notice the stop flag.
constexpr int kMaxBatchesPerDrain = 64;
constexpr int kMaxRingRunsPerDrain = 4;
constexpr int kIdleWaitMs = 100;

int wait_ms(std::chrono::nanoseconds d) {
    if (d.count() <= 0) return 0;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(d).count();
    return ms > 1'000'000 ? 1'000'000 : static_cast<int>(ms);
}

class SocketResendLink final : public ResendLink {
public:
    SocketResendLink(const net::UdpSocket& socket, net::Endpoint device) : socket_(socket), device_(device) {}
    CameraResult<void> send(proto::ByteView request) override {
        auto sent = socket_.send_to(request, device_);
        if (!sent) return std::unexpected(sent.error());
        return {};
    }

private:
    const net::UdpSocket& socket_;
    net::Endpoint device_;
};

// Everything the worker thread owns, in the order it is released after the loop.
struct WorkerLoop {
    WorkerLoop(net::UdpSocket sock, std::optional<net::PacketRing> packet_ring, net::Poller poll,
               std::shared_ptr<net::Waker> wake, const StreamOptions& options, const StreamWorkerParams& params,
               FramePool pool, Receiver<ToStreamWorker> control,
               std::shared_ptr<StreamShared> shared, std::shared_ptr<std::atomic<bool>> alive_flag,
               std::shared_ptr<std::atomic<bool>> stop_flag)
        : socket(std::move(sock)),
          ring(std::move(packet_ring)),
          poller(std::move(poll)),
          waker(std::move(wake)),
          link(socket, params.device),
          runner(options, params, std::move(pool), std::move(control), std::move(shared), link),
          alive(std::move(alive_flag)),
          stop(std::move(stop_flag)),
          batch(kBatchSize, kMaxDatagram),
          pacer(options.receive_coalesce, ring ? ring_bytes_for(options, params.packet_size) : socket.receive_buffer().value_or(0)) {}

    struct Drained {
        std::size_t bytes = 0;
        bool emptied = false;  // the socket (or ring) was empty at the end
    };

    void run();
    // Takes what the ring or the socket holds.
    Drained drain();
    Drained drain_socket();
    // Aims the batch's first slots at the places of the packets expected next; how many.
    std::size_t aim_at_frame();
    // Hands the received datagrams to the runner; their bytes.
    std::size_t hand_over(std::size_t received, std::size_t placed);
    void pause(std::chrono::nanoseconds how_long) const;

    net::UdpSocket socket;
    std::optional<net::PacketRing> ring;  // when set, the stream arrives here, not in the socket
    net::Poller poller;
    std::shared_ptr<net::Waker> waker;
    SocketResendLink link;
    StreamRunner runner;
    std::shared_ptr<std::atomic<bool>> alive;
    std::shared_ptr<std::atomic<bool>> stop;
    net::DatagramBatch batch;
    ReceivePacer pacer;
    std::array<PacketPlace, kBatchSize> places{};
    std::array<bool, kBatchSize> in_place{};
};

void WorkerLoop::run() {
    runner.options().thread_config.apply_logged();
    // Pauses between receive calls are tens of microseconds: the default 50 µs timer slack
    // would stretch them several-fold.
    ::prctl(PR_SET_TIMERSLACK, 1000UL, 0UL, 0UL, 0UL);
    std::array<epoll_event, net::kMaxEvents> events{};
    // Mid-frame with data just taken, more datagrams are on their way: the worker pauses and
    // then takes them in one batch rather than waking for each arrival.
    bool flowing = false;
    while (!stop->load()) {
        if (flowing && runner.has_frames_in_flight()) {
            pause(pacer.pause());
            if (runner.drain_control()) break;
            const auto drained = drain();
            pacer.gathered(drained.bytes);
            flowing = drained.emptied && drained.bytes > 0;
        } else {
            const int timeout =
                runner.has_frames_in_flight() ? wait_ms(runner.options().resend_interval) : kIdleWaitMs;
            const auto ready = poller.wait(events, timeout);
            if (!ready) {
                KORVALITE_LOG(kLog, log::Level::Error, "gvsp worker poll error: " + ready.error().text());
                break;
            }
            if (runner.drain_control()) break;
            flowing = false;
            for (int i = 0; i < *ready; ++i) {
                if (events[static_cast<std::size_t>(i)].data.u64 == net::kSocketToken) {
                    const auto drained = drain();
                    flowing = pacer.pause().count() > 0 && drained.emptied && drained.bytes > 0;
                } else {
                    waker->drain();
                }
            }
        }
        runner.check_frame_completion(std::chrono::steady_clock::now());
        runner.publish();
    }
    runner.shutdown();
    if (ring) log_ring_totals(*ring);
    KORVALITE_LOG(kLog, log::Level::Debug, "gvsp worker shutting down");
    alive->store(false);
}

WorkerLoop::Drained WorkerLoop::drain() {
    if (!ring) return drain_socket();
    const std::size_t bytes = drain_ring(*ring, runner, kMaxRingRunsPerDrain);
    return {bytes, !ring->has_filled_slot()};
}

WorkerLoop::Drained WorkerLoop::drain_socket() {
    Drained drained;
    for (int round = 0; round < kMaxBatchesPerDrain; ++round) {
        const std::size_t placed = aim_at_frame();
        const auto received = batch.receive(socket.fd());
        if (!received) {
            const int err = received.error();
            if (err == EINTR) continue;
            if (err != EAGAIN && err != EWOULDBLOCK)
                KORVALITE_LOG(kLog, log::Level::Warn, std::string("gvsp recv error: ") + std::strerror(err));
            drained.emptied = err == EAGAIN || err == EWOULDBLOCK;
            return drained;
        }
        drained.bytes += hand_over(*received, placed);
        if (*received < batch.count()) {  // the queue was empty a moment ago
            drained.emptied = true;
            return drained;
        }
    }
    return drained;  // still more waiting
}

std::size_t WorkerLoop::aim_at_frame() {
    batch.clear_targets();
    const std::size_t n = runner.expected_places(places);
    for (std::size_t i = 0; i < n; ++i)
        if (!batch.set_target(i, places[i].header_size(), places[i].data)) return i;
    return n;
}

std::size_t WorkerLoop::hand_over(std::size_t received, std::size_t placed) {
    // First every datagram that did not land where it was aimed is made whole in the batch's
    // buffer, before any packet is handled: handling writes frame buffers, and could otherwise
    // overwrite the share of a datagram still lying in a place it did not belong.
    placed = std::min(placed, received);
    for (std::size_t i = 0; i < placed; ++i) {
        in_place[i] = landed_in_place(batch.head(i), batch.target_bytes(i), batch.overflow_bytes(i), places[i]);
        if (!in_place[i]) batch.gather(i);
    }
    std::size_t bytes = 0;
    const Instant now = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < received; ++i) {
        if (i < placed && in_place[i]) {
            const auto head = batch.head(i);
            const std::size_t data_size = batch.target_bytes(i);
            bytes += head.size() + data_size;
            runner.handle_placed_datagram(head, places[i], data_size, batch.source(i), now);
        } else {
            const auto datagram = batch.datagram(i);
            bytes += datagram.size();
            runner.handle_datagram(datagram, batch.source(i), now);
        }
    }
    return bytes;
}

void WorkerLoop::pause(std::chrono::nanoseconds how_long) const {
    if (how_long.count() <= 0) return;
    const timespec ts{static_cast<time_t>(how_long.count() / 1'000'000'000),
                      static_cast<long>(how_long.count() % 1'000'000'000)};
    ::clock_nanosleep(CLOCK_MONOTONIC, 0, &ts, nullptr);
}

CameraError spawn_error(const CameraError& e) {
    return CameraError::thread_spawn(e.text().empty() ? e.message() : e.text());
}

}  // namespace

CameraResult<std::unique_ptr<StreamWorker>> StreamWorker::spawn(net::UdpSocket socket, const StreamOptions& options,
                                                                const StreamWorkerParams& params) {
    if (!options.payload_size || *options.payload_size == 0)
        return std::unexpected(CameraError::malformed("payload_size must be set"));
    if (auto r = socket.set_nonblocking(true); !r) return std::unexpected(spawn_error(r.error()));
    auto ring = options.packet_ring ? open_stream_ring(socket, options, params.packet_size) : std::nullopt;
    auto wait = net::watch_with_waker(ring ? ring->fd() : socket.fd());
    if (!wait) return std::unexpected(spawn_error(wait.error()));

    auto handle = ThreadHandle::create();
    handle.set_waker(wait->waker);
    const std::uint32_t per_packet = proto::payload_bytes_per_packet(params.packet_size, false);
    const std::size_t table_reserve =
        per_packet == 0 ? 0 : static_cast<std::size_t>(proto::frame_packet_count(*options.payload_size, per_packet));
    auto pool = FramePool::create(options.n_buffers, *options.payload_size, table_reserve);
    if (!pool) return std::unexpected(CameraError::thread_spawn(std::strerror(ENOMEM)));

    auto [control_tx, control_rx] = unbounded<ToStreamWorker>();
    auto shared = std::make_shared<StreamShared>();
    auto loop = std::make_unique<WorkerLoop>(std::move(socket), std::move(ring), std::move(wait->poller), wait->waker,
                                             options, params, std::move(*pool), std::move(control_rx), shared,
                                             handle.alive_flag(), handle.stop_flag());
    auto thread = spawn_named("korvalite-gvsp" + std::to_string(options.channel),
                              [loop = std::move(loop)]() mutable {
                                  loop->run();
                                  loop.reset();  // poller, socket and pool ends go with the thread
                              });
    if (!thread) return std::unexpected(thread.error());
    handle.set_handle(std::move(*thread));
    return std::unique_ptr<StreamWorker>(
        new StreamWorker(std::move(handle), std::move(control_tx), std::move(wait->waker), std::move(shared)));
}

StreamWorker::~StreamWorker() { shutdown(); }

Receiver<FramePtr> StreamWorker::subscribe(std::size_t capacity) {
    auto [tx, rx] = bounded<FramePtr>(capacity);
    add_subscriber(std::move(tx));
    return std::move(rx);
}

void StreamWorker::add_subscriber(Sender<FramePtr> frames) {
    (void)control_.try_send(Subscribe{std::move(frames)});
    (void)waker_->wake();
}

void StreamWorker::shutdown() {
    (void)control_.try_send(Shutdown{});
    (void)waker_->wake();
    handle_.stop_and_join();
}

}  // namespace korvalite::gige::stream

