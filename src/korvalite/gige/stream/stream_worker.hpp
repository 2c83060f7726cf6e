#pragma once
// The stream receive worker thread `korvalite-gvsp<channel>`: owns the stream socket, waits for
// readiness, drains datagrams in batches into the StreamRunner, and serves time-outs and
// resends even without traffic. StreamWorker is the owner's side of it.
#include <cstddef>
#include <memory>

#include "korvalite/error.hpp"
#include "korvalite/gige/stream/detail/stream_runner.hpp"
#include "korvalite/gige/stream/frame.hpp"
#include "korvalite/gige/stream/options.hpp"
#include "korvalite/gige/stream/stats.hpp"
#include "korvalite/mpmc_channel.hpp"
#include "korvalite/net/poller.hpp"
#include "korvalite/net/udp_socket.hpp"
#include "korvalite/thread_util.hpp"

namespace korvalite::gige::stream {

class StreamWorker {
public:
    // Starts the worker on `socket` (bound; the worker takes it over and makes it non-blocking).
    // options.payload_size must be set and non-zero (Malformed "payload_size must be set");
    // every other failure, the frame pool's memory included, is ThreadSpawn.
    [[nodiscard]] static CameraResult<std::unique_ptr<StreamWorker>> spawn(net::UdpSocket socket, const StreamOptions& options,
                                                             const StreamWorkerParams& params);

    StreamWorker(const StreamWorker&) = delete;
    StreamWorker& operator=(const StreamWorker&) = delete;
    // shutdown().
    ~StreamWorker();

    // A new subscription holding up to `capacity` frames. It receives exactly the frames closed
    // after the worker took it; a full subscription loses frames (counted in frames_dropped).
    Receiver<FramePtr> subscribe(std::size_t capacity);
    // Hands an existing sending end to the worker (dropped silently if the worker is gone).
    void add_subscriber(Sender<FramePtr> frames);

    // A copy of the counters last published.
    StreamStats stats() const { return shared_->snapshot(); }
    const std::shared_ptr<StreamShared>& shared() const { return shared_; }
    bool is_alive() const { return handle_.is_alive(); }

    // Tells the worker to shut down, wakes it and joins it: frames still open are delivered as
    // Aborted and every subscription ends once its queue is empty. Idempotent.
    void shutdown();

private:
    StreamWorker(ThreadHandle handle, Sender<ToStreamWorker> control, std::shared_ptr<net::Waker> waker,
                 std::shared_ptr<StreamShared> shared)
        : handle_(std::move(handle)),
          control_(std::move(control)),
          waker_(std::move(waker)),
          shared_(std::move(shared)) {}

    ThreadHandle handle_;
    Sender<ToStreamWorker> control_;
    std::shared_ptr<net::Waker> waker_;
    std::shared_ptr<StreamShared> shared_;
};

}  // namespace korvalite::gige::stream
