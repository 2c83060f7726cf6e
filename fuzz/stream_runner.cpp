// The stream worker's state machine fed a run of datagrams (each framed by a 2-byte length) on a
// clock the input drives. Numbers from the back choose the stream's shape (payload size, packet
// size, buffers, resend settings) and, per datagram, how far the clock moves, whether the worker
// checks its frames, whether the subscriber takes its frames and whether it keeps them.
//
// Checked: the counters add up, every closed frame reaches the subscriber or is counted as
// dropped, no more frames close than opened, no frame claims more than its buffer, resend
// requests are well formed and counted, and every buffer is back in the pool at the end.
#include <array>
#include <chrono>
#include <deque>
#include <vector>

#include "fuzz_support.hpp"
#include "korvalite/gige/stream/detail/stream_runner.hpp"

using namespace korvalite;
using namespace korvalite::gige;
using namespace korvalite::gige::stream;
using namespace std::chrono_literals;

namespace {

constexpr net::Ipv4Address kDevice{0x7F00003D};  // 127.0.0.61
constexpr net::Ipv4Address kStranger{0x7F00003E};  // 127.0.0.62
constexpr std::uint16_t kStreamSourcePort = 20202;

// Resend requests as a device receives them: each must decode, and their packets add up.
struct CheckingLink : ResendLink {
    std::uint64_t packets_requested = 0;
    std::uint16_t last_request_id = 0xFF14;

    CameraResult<void> send(proto::ByteView request) override {
        KORVALITE_FUZZ_CHECK(request.size() == proto::kPacketResendSize ||
                             request.size() == proto::kPacketResendExtendedSize);
        const auto parsed = proto::parse_datagram(request);
        KORVALITE_FUZZ_CHECK(parsed && parsed->is_command && parsed->code == proto::code::kPacketResendCmd);
        KORVALITE_FUZZ_CHECK(parsed->id == next_resend_request_id(last_request_id));
        last_request_id = parsed->id;
        const std::uint32_t first = proto::u32_at(request, 12);
        const std::uint32_t last = proto::u32_at(request, 16);
        KORVALITE_FUZZ_CHECK(first <= last);
        packets_requested += std::uint64_t{last} - first + 1;
        return {};
    }
};

struct Shape {
    StreamOptions options;
    StreamWorkerParams params;
    std::size_t capacity = 1;
};

Shape shape_from(fuzz::FuzzInput& input) {
    static constexpr std::array<double, 4> kRatios = {0.25, 0.0, 1.0, 10.0};
    static constexpr std::array<std::chrono::nanoseconds, 4> kTimeouts = {100ms, 5ms, 1ms, 0ns};
    Shape s;
    s.params.device = {kDevice, proto::kGvcpPort};
    s.params.packet_size = 37 + static_cast<std::uint32_t>(input.take_u64(1) % 200);
    s.options.payload_size = 1 + input.take_u64(2) % 4096;
    s.options.n_buffers = 1 + input.take_u64(1) % 6;
    const auto flags = input.take_u64(1);
    s.params.resend_enabled = (flags & 1) == 0;
    s.params.tick_frequency = (flags & 2) != 0 ? 1'000'000'000 : 0;
    s.capacity = 1 + ((flags >> 2) & 3);
    s.options.max_resend_ratio = kRatios[(flags >> 4) & 3];
    const auto timing = input.take_u64(1);
    s.options.resend_initial_delay = (timing & 1) != 0 ? 0ns : std::chrono::nanoseconds(1ms);
    s.options.resend_interval = (timing & 2) != 0 ? std::chrono::nanoseconds(1ms) : std::chrono::nanoseconds(20ms);
    s.options.frame_timeout = kTimeouts[(timing >> 2) & 3];
    return s;
}

std::chrono::nanoseconds advance_from(std::uint64_t step) {
    static constexpr std::array<std::chrono::nanoseconds, 16> kAdvances = {
        0ns, 0ns, 0ns, 100us, 500us, 1ms, 1ms, 2ms, 5ms, 10ms, 20ms, 25ms, 60ms, 101ms, 150ms, 1s};
    return kAdvances[step & 0xF];
}

class Run {
public:
    explicit Run(const Shape& shape)
        : shape_(shape),
          pool_(*FramePool::create(shape.options.n_buffers, *shape.options.payload_size)),
          control_(unbounded<ToStreamWorker>()),
          runner_(shape.options, shape.params, pool_, std::move(control_.second), shared_, link_) {
        auto [tx, rx] = bounded<FramePtr>(shape.capacity);
        (void)control_.first.try_send(Subscribe{std::move(tx)});
        frames_.emplace(std::move(rx));
        runner_.drain_control();
    }

    void datagram(proto::ByteView bytes, std::uint64_t step) {
        now_ += advance_from(step);
        const bool from_device = (step & 0x80) == 0;
        const Before before = snapshot();
        runner_.handle_datagram(bytes, net::Endpoint{from_device ? kDevice : kStranger, kStreamSourcePort}, now_);
        if (from_device) {
            ++device_datagrams_;
            device_bytes_ += bytes.size();
        }
        check(before, 1);
        if ((step & 0x10) != 0) {
            const Before again = snapshot();
            runner_.check_frame_completion(now_);
            check(again, 0);
        }
        if ((step & 0x20) != 0) take_frames((step & 0x40) != 0);
    }

    void finish() {
        now_ += 1s;
        Before before = snapshot();
        runner_.check_frame_completion(now_);
        check(before, 0);
        before = snapshot();
        runner_.shutdown();
        check(before, 0);
        KORVALITE_FUZZ_CHECK(!runner_.has_frames_in_flight());
        KORVALITE_FUZZ_CHECK(shared_->snapshot() == runner_.stats());
        take_frames(false);
        held_.clear();
        frames_.reset();
        KORVALITE_FUZZ_CHECK(pool_.free_slots() == shape_.options.n_buffers);
    }

private:
    struct Before {
        std::size_t in_flight;
        std::uint64_t closed;
    };

    std::uint64_t closed() const {
        const StreamStats& s = runner_.stats();
        return s.completed_frames + s.failed_frames + s.aborted_frames;
    }
    Before snapshot() const { return {runner_.frames_in_flight(), closed()}; }

    // One step opens at most `may_open` frames; everything closed was offered to the subscriber.
    void check(const Before& before, std::size_t may_open) {
        const StreamStats& s = runner_.stats();
        const std::uint64_t closed_now = closed() - before.closed;
        KORVALITE_FUZZ_CHECK(runner_.frames_in_flight() + closed_now <= before.in_flight + may_open);
        KORVALITE_FUZZ_CHECK(runner_.frames_in_flight() <= shape_.options.n_buffers);
        KORVALITE_FUZZ_CHECK(s.packets == device_datagrams_ && s.bytes == device_bytes_);
        KORVALITE_FUZZ_CHECK(s.timed_out_frames + s.size_mismatch_frames + s.oversized_packet_frames +
                                 s.early_trailer_frames + s.unsupported_payload_frames <=
                             s.failed_frames);
        KORVALITE_FUZZ_CHECK(s.resend_requests == link_.packets_requested);
        KORVALITE_FUZZ_CHECK(s.resent_packets <= s.resend_requests);
        KORVALITE_FUZZ_CHECK(frames_taken_ + frames_->size() + s.frames_dropped == closed());
    }

    void take_frames(bool keep) {
        for (FramePtr& frame : frames_->drain()) {
            ++frames_taken_;
            const std::uint64_t payload = *shape_.options.payload_size;
            KORVALITE_FUZZ_CHECK(frame->buffer().size() == payload);
            KORVALITE_FUZZ_CHECK(frame->data_end() <= payload && frame->data().size() == frame->data_end());
            if (keep && held_.size() < shape_.options.n_buffers) held_.push_back(std::move(frame));
        }
        if (!keep && !held_.empty()) held_.pop_front();
    }

    Shape shape_;
    FramePool pool_;  // a second handle on the pool the runner takes from, to count free slots
    std::shared_ptr<StreamShared> shared_ = std::make_shared<StreamShared>();
    CheckingLink link_;
    std::pair<Sender<ToStreamWorker>, Receiver<ToStreamWorker>> control_;
    StreamRunner runner_;
    std::optional<Receiver<FramePtr>> frames_;
    std::deque<FramePtr> held_;
    Instant now_ = Instant{} + 1h;
    std::uint64_t device_datagrams_ = 0;
    std::uint64_t device_bytes_ = 0;
    std::uint64_t frames_taken_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::FuzzInput input(data, size);
    Run run(shape_from(input));
    while (const auto datagram = input.take_datagram()) run.datagram(*datagram, input.take_u64(1));
    run.finish();
    return 0;
}
