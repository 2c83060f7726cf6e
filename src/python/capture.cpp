// Image capture from Python: Camera.start_acquisition / snapshot_session / snap and the
// Acquisition and SnapshotSession objects. Lock order: the device record's snap lock, the device
// record, the object's state, its claim slot. A snap holds the device record only while it starts and
// stops the camera, never while it waits for the frame, so other threads can use the camera
// meanwhile. Objects dropped while running clean up without ever blocking on the GIL.
#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/unique_ptr.h>
#include <nanobind/stl/variant.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>

#include "camera.hpp"
#include "duration.hpp"
#include "errors.hpp"
#include "exit_registry.hpp"
#include "frame.hpp"
#include "frame_channel.hpp"
#include "frame_receiving.hpp"
#include "frames_async.hpp"
#include "gil.hpp"
#include "korvalite/device/acquisition.hpp"
#include "packet_ring_mode.hpp"
#include "stats.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace korvalite::py {

namespace {

using device::AcquisitionState;
using device::SnapshotState;
using gige::stream::StreamOptions;

constexpr auto kDropLockWait = std::chrono::milliseconds(200);
// A snap in flight at exit ends within its 100 ms wait slice, then lets go of the camera.
constexpr auto kExitLockWait = std::chrono::seconds(2);
// More buffers than any stream needs; also bounds the built-in subscription's queue.
constexpr std::size_t kMaxBuffers = 65536;

constexpr const char* kAcquisitionDoc =
    "A running continuous acquisition. The built-in subscription is created\n"
    "before the camera starts, so even the first frame is delivered. Use as a\n"
    "context manager or call `stop()`; buffered frames stay readable after.";
constexpr const char* kSessionDoc =
    "An open stream channel dedicated to on-demand single-frame capture; the\n"
    "camera transmits only while a `snap()` is in flight. Use as a context\n"
    "manager or call `close()` to restore the camera's acquisition mode.";
constexpr const char* kStopDoc =
    "Stop the camera, unlock transport parameters, and close the stream\n"
    "channel. Idempotent; frames already buffered stay readable.";
constexpr const char* kCloseDoc =
    "Restore `AcquisitionMode`, unlock transport parameters, and close the\n"
    "stream channel. Idempotent.";
constexpr const char* kSubscribeDoc =
    "An additional subscription with its own buffer; unlike the built-in\n"
    "one it only sees frames completed after this call.";

// Runs `fn` under `mutex`, taken with the interpreter lock released: a snap keeps a session's
// state locked while it starts the camera, so waiting for it with the lock held could stall
// every thread.
template <class F>
auto under_lock(std::mutex& mutex, F&& fn) {
    GilRelease release;
    std::lock_guard lock(mutex);
    return fn();
}

StreamOptions stream_options(std::uint16_t channel, std::size_t n_buffers, std::optional<std::uint16_t> packet_size,
                             std::optional<std::uint32_t> packet_delay, bool resend, bool packet_ring) {
    if (n_buffers == 0) throw nb::value_error("n_buffers must be at least 1");
    if (n_buffers > kMaxBuffers)
        throw nb::value_error(("n_buffers must be at most " + std::to_string(kMaxBuffers)).c_str());
    StreamOptions options;
    options.channel = channel;
    options.n_buffers = n_buffers;
    if (packet_size) options.packet_size = *packet_size;
    if (packet_delay) options.packet_delay = *packet_delay;
    options.no_resend = !resend;
    options.packet_ring = packet_ring;
    return options;
}

// What an acquisition and a snapshot session share: the device record, the state while running
// or open (behind its own mutex) and the busy claim.
template <class State>
struct CaptureSession : ClosedAtExit {
    std::shared_ptr<DeviceRecord> device;
    std::mutex state_mutex;
    std::optional<State> state;
    // The stream's counters as the state left: what stats() reports once stopped or closed.
    std::optional<gige::stream::StreamStats> final_stats;
    std::mutex token_mutex;
    ClaimToken token;

    CaptureSession(std::shared_ptr<DeviceRecord> d, State s, ClaimToken t)
        : device(std::move(d)), state(std::move(s)), token(std::move(t)) {}

    // The state, taken out of the session (none once stopped or closed).
    std::optional<State> take_state() {
        std::optional<State> taken;
        std::lock_guard lock(state_mutex);
        if (state) final_stats = state->stream.stats();
        taken.swap(state);
        return taken;
    }

    // The counters of a taken state once its stream has closed: they include its last frames.
    void keep_final_stats(const State& taken) {
        std::lock_guard lock(state_mutex);
        final_stats = taken.stream.stats();
    }

    // Drops the state without touching the camera's features: only the stream closes.
    void drop_state() {
        std::optional<State> taken = take_state();
        if (!taken) return;
        taken->stream.close();
        keep_final_stats(*taken);
    }

    // The live counters while running, else the final ones; ValueError(`gone`) when there are none.
    gige::stream::StreamStats stats(const char* gone) {
        std::optional<gige::stream::StreamStats> result = under_lock(state_mutex, [&] {
            return state ? std::optional(state->stream.stats()) : final_stats;
        });
        if (!result) throw nb::value_error(gone);
        return *result;
    }

    void release_claim() {
        std::lock_guard lock(token_mutex);
        token.release();
    }

    bool has_state() {
        std::lock_guard lock(state_mutex);
        return state.has_value();
    }

    // Runs `fn(state)` while the state is there, else raises ValueError(`gone`).
    template <class F>
    auto with_state(F&& fn, const char* gone) {
        using Result = decltype(fn(*state));
        std::optional<Result> result = under_lock(state_mutex, [&]() -> std::optional<Result> {
            if (!state) return std::nullopt;
            return fn(*state);
        });
        if (!result) throw nb::value_error(gone);
        return std::move(*result);
    }

protected:
    ~CaptureSession() = default;
};

struct Acquisition final : CaptureSession<AcquisitionState> {
    FrameReceiver frames;  // a copy of the built-in subscription: readable after stop
    LossCheck loss;        // the camera's control connection, for the waits
    nb::object callbacks;  // the FrameCallbacks delivering frames, if any; touched with the GIL held

    Acquisition(std::shared_ptr<DeviceRecord> d, AcquisitionState s, LossCheck l, ClaimToken t)
        : CaptureSession(std::move(d), std::move(s), std::move(t)), frames(state->frames), loss(std::move(l)) {}

    // Stop with the device record locked by the caller; the AcquisitionStop result.
    GenicamResult<void> stop_locked() {
        std::optional<AcquisitionState> taken = take_state();
        if (!taken) return {};
        GenicamResult<void> stopped = device::stop_acquisition(device->camera, *taken, log::targets::py);
        keep_final_stats(*taken);
        return stopped;
    }

    bool is_stopped() { return !has_state(); }

    // Interpreter exit: stop as a drop does, quietly.
    void close_at_exit() override {
        {
            std::unique_lock device_lock(device->mutex, kExitLockWait);
            if (device_lock.owns_lock()) (void)stop_locked();
            else drop_state();
        }
        release_claim();
    }

    // Garbage-collected without stop(): stop as stop() would when the camera is free within
    // 200 ms, else close the stream only. The claim goes in every case.
    ~Acquisition() {
        untrack();
        without_gil([&] {
            if (has_state()) {
                std::unique_lock device_lock(device->mutex, kDropLockWait);
                if (device_lock.owns_lock()) {
                    if (auto r = stop_locked(); !r)
                        KORVALITE_LOG(log::targets::py, log::Level::Warn,
                                      "AcquisitionStop on drop failed: " + r.error().message());
                } else {
                    KORVALITE_LOG(log::targets::py, log::Level::Warn,
                                  "acquisition dropped while camera busy; AcquisitionStop not sent");
                    drop_state();
                }
            }
            release_claim();
        });
    }

    // Runs `fn(state)` on a running acquisition, else raises "acquisition is stopped".
    template <class F>
    auto running(F&& fn) {
        return with_state(std::forward<F>(fn), "acquisition is stopped");
    }
};

struct SnapshotSession final : CaptureSession<SnapshotState> {
    using CaptureSession::CaptureSession;

    void close_locked() {
        std::optional<SnapshotState> taken = take_state();
        if (!taken) return;
        device::close_snapshot(device->camera, *taken, log::targets::py);
        keep_final_stats(*taken);
    }

    // close() and __exit__: never raises.
    void close() {
        GilRelease release;
        {
            std::lock_guard device_lock(device->mutex);
            close_locked();
        }
        release_claim();
    }

    bool is_closed() { return !has_state(); }

    // Interpreter exit: close as a drop does, once a snap in flight has stopped the camera.
    void close_at_exit() override {
        {
            std::unique_lock snap_lock(device->snap_mutex, kExitLockWait);
            std::unique_lock device_lock(device->mutex, kExitLockWait);
            if (device_lock.owns_lock()) close_locked();
            else drop_state();
        }
        release_claim();
    }

    // Garbage-collected without close(): close as close() would when the camera is free within
    // 200 ms, else close the stream only. The claim goes in every case.
    ~SnapshotSession() {
        untrack();
        without_gil([&] {
            if (has_state()) {
                std::unique_lock device_lock(device->mutex, kDropLockWait);
                if (device_lock.owns_lock()) {
                    close_locked();
                } else {
                    KORVALITE_LOG(log::targets::py, log::Level::Warn,
                                  "snapshot session dropped while camera busy; mode not restored");
                    drop_state();
                }
            }
            release_claim();
        });
    }

    // Runs `fn(state)` on an open session, else raises "snapshot session is closed".
    template <class F>
    auto open_state(F&& fn) {
        return with_state(std::forward<F>(fn), "snapshot session is closed");
    }
};

std::string endpoint_text(const net::Endpoint& e) { return e.to_string(); }

constexpr const char* kOnFrameDoc =
    "Call `fn(frame)` for every frame, in order, on one thread korvalite owns, until the\n"
    "acquisition stops. An exception from `fn` is logged (logger `korvalite.callbacks`, with\n"
    "its traceback); `on_error=\"stop\"` then stops the acquisition, `\"log\"` goes on. `fn`\n"
    "may call `stop()`; frames are let go as soon as `fn` returns unless it keeps them. While\n"
    "callbacks run, the other ways of taking frames share the frames with them. Returns the\n"
    "delivery: `join(timeout)` waits for it to end, `is_alive()` tells whether it goes on.";

// Starts delivering frames to `fn`; at most one delivery per acquisition.
nb::object start_callbacks(nb::handle acquisition, nb::object fn, const std::string& on_error) {
    auto& self = nb::cast<Acquisition&>(acquisition);
    if (self.callbacks.is_valid() && nb::cast<bool>(self.callbacks.attr("is_alive")()))
        throw nb::value_error("frames are already delivered to a callback");
    if (self.is_stopped()) throw nb::value_error("acquisition is stopped");
    self.callbacks = nb::module_::import_("korvalite._frame_callbacks").attr("FrameCallbacks")(acquisition, fn, on_error);
    return self.callbacks;
}

// After stop: waits until the callback in progress has returned, so that none runs after stop()
// (unless stop() was called from the callback itself).
void join_callbacks(Acquisition& self) {
    if (self.callbacks.is_valid()) self.callbacks.attr("join")();
}

// What a started snap waits on: a copy of the session's subscription, so the wait needs no lock,
// and the stream's packet count when it started.
struct SnapStart {
    FrameReceiver frames;
    bool single_frame;
    std::uint16_t channel;
    std::uint64_t packets_before;
};

// Called with the device record locked.
GenicamResult<SnapStart> start_snap(device::GenICamera& camera, SnapshotState& state) {
    const std::uint64_t packets = state.stream.stats().packets;
    if (auto started = device::begin_snap(camera, state); !started) return std::unexpected(started.error());
    return SnapStart{state.frames, state.single_frame, state.stream.channel(), packets};
}

// One snap: `begin` runs with the device record locked, the frame wait with no lock held, and
// the camera is stopped with the record locked again. `wait` counts from `counted_from`, so the
// start's feature writes come out of it (`begin` may move it on past opening a stream, which
// negotiates its packet size once per connection). `packets` (called with the record locked)
// gives the stream's packet count now, or nothing once its session has closed. Called with the
// interpreter lock released.
template <class Begin, class Packets>
GenicamResult<gige::stream::FramePtr> snap_with_free_wait(DeviceRecord& device, device::Duration wait,
                                                          const log::Target& target,
                                                          const std::function<bool()>& interrupted,
                                                          const std::chrono::steady_clock::time_point& counted_from,
                                                          Begin&& begin, Packets&& packets) {
    GenicamResult<SnapStart> started = [&] {
        std::lock_guard lock(device.mutex);
        return begin();
    }();
    if (!started) return std::unexpected(started.error());
    const device::Duration spent = std::chrono::steady_clock::now() - counted_from;
    gige::stream::FramePtr frame = device::wait_for_snap(
        std::move(started->frames), std::max(device::Duration::zero(), wait - spent), interrupted);
    std::lock_guard lock(device.mutex);
    const std::optional<std::uint64_t> now = packets();
    const bool packets_arrived = !now || *now != started->packets_before;
    return device::finish_snap(device.camera, started->single_frame, started->channel, std::move(frame), target,
                               packets_arrived);
}

// Asked from a snap's wait, which runs without the interpreter lock: takes the lock briefly and
// lets pending signal handlers run. An exception they raise (KeyboardInterrupt, say) ends the
// wait and is kept, to be raised once the snap has stopped the camera and let go of its locks.
class SignalCheck {
public:
    SignalCheck() = default;
    // Also ends the wait once `cancel` (a threading.Event) is set.
    explicit SignalCheck(nb::object cancel) : cancel_(std::move(cancel)) {}
    SignalCheck(const SignalCheck&) = delete;
    SignalCheck& operator=(const SignalCheck&) = delete;
    ~SignalCheck() {  // runs with the interpreter lock held, like the call that made it
        Py_XDECREF(type_);
        Py_XDECREF(value_);
        Py_XDECREF(traceback_);
    }

    std::function<bool()> callback() {
        return [this] {
            if (must_park_at_exit()) return true;  // the interpreter is going: end the snap
            nb::gil_scoped_acquire gil;
            if (cancel_.is_valid() && !cancel_.is_none() && nb::cast<bool>(cancel_.attr("is_set")())) return true;
            if (PyErr_CheckSignals() == 0) return false;
            PyErr_Fetch(&type_, &value_, &traceback_);
            return true;
        };
    }

    // With the interpreter lock held: raises the kept exception, if there is one.
    void raise_if_caught() {
        if (!type_) return;
        PyErr_Restore(type_, value_, traceback_);
        type_ = value_ = traceback_ = nullptr;
        throw nb::python_error();
    }

private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
    nb::object cancel_;
};

}  // namespace

void bind_capture(nb::module_& m) {
    nb::class_<SnapshotSession>(m, "SnapshotSession", kSessionDoc, nb::is_weak_referenceable())
        .def(
            "snap",
            [](SnapshotSession& self, double timeout) {
                const auto wait = seconds_to_duration(timeout, "timeout");
                GenicamResult<gige::stream::FramePtr> frame = std::unexpected(GenicamError::snap_timeout());
                bool closed = false;
                SignalCheck signals;
                {
                    const auto start = std::chrono::steady_clock::now();
                    GilRelease release;
                    std::lock_guard snap_lock(self.device->snap_mutex);
                    frame = snap_with_free_wait(
                        *self.device, wait, log::targets::py, signals.callback(), start,
                        [&]() -> GenicamResult<SnapStart> {
                            std::lock_guard lock(self.state_mutex);
                            if (self.state) return start_snap(self.device->camera, *self.state);
                            closed = true;
                            return std::unexpected(GenicamError::snap_timeout());
                        },
                        [&]() -> std::optional<std::uint64_t> {
                            std::lock_guard lock(self.state_mutex);
                            if (!self.state) return std::nullopt;
                            return self.state->stream.stats().packets;
                        });
                }
                if (closed) throw nb::value_error("snapshot session is closed");
                signals.raise_if_caught();
                return to_python(unwrap(std::move(frame)));
            },
            "timeout"_a = 5.0, nb::sig("def snap(self, timeout: float = 5.0) -> Frame"),
            "Capture one frame, waiting up to `timeout` seconds.")
        .def("packet_size", [](SnapshotSession& self) {
            return self.open_state([](SnapshotState& s) { return s.stream.packet_size(); });
        }, "The stream packet size in use, in bytes.")
        .def("stats", [](SnapshotSession& self) { return to_python(self.stats("snapshot session is closed")); },
             nb::sig("def stats(self) -> StreamStats"),
             "A snapshot of the stream counters; after `close()`, the final ones.")
        .def("is_closed", [](SnapshotSession& self) { return self.is_closed(); }, "Whether the session has been closed.")
        .def("close", [](SnapshotSession& self) { self.close(); }, kCloseDoc)
        .def("__enter__", [](nb::object self) { return self; }, nb::sig("def __enter__(self) -> SnapshotSession"),
             "The session itself.")
        .def(
            "__exit__",
            [](SnapshotSession& self, nb::args) {
                self.close();
                return false;
            },
            nb::sig("def __exit__(self, *args: object) -> typing.Literal[False]"),
            "Close the session; never suppresses the exception in flight.")
        .def("__repr__", [](SnapshotSession& self) {
            return std::string("SnapshotSession(closed=") + (self.is_closed() ? "True" : "False") + ")";
        }, "`SnapshotSession(closed=True|False)`.");

    auto stop = [](Acquisition& self) {
        GenicamResult<void> result;
        {
            GilRelease release;
            std::lock_guard device_lock(self.device->mutex);
            result = self.stop_locked();
        }
        self.release_claim();
        join_callbacks(self);
        unwrap(std::move(result));
    };

    nb::class_<Acquisition> acquisition(m, "Acquisition", kAcquisitionDoc, nb::is_weak_referenceable());
    def_frames_async(acquisition, [](Acquisition& self) -> FrameReceiver& { return self.frames; });
    acquisition.def("wait_for",
             [](Acquisition& self, double timeout) { return wait_for_frame(self.frames, timeout, self.loss); },
             "timeout"_a = 1.0, nb::sig("def wait_for(self, timeout: float = 1.0) -> Frame | None"),
             "Wait up to `timeout` seconds for the next frame; None on time-out or end. Raises\n"
             "CameraException once the camera's control is lost and no frame is left.")
        .def("try_recv", [](Acquisition& self) { return try_recv_frame(self.frames); },
             nb::sig("def try_recv(self) -> Frame | None"), "A buffered frame at once, or None.")
        .def("recv_all", [](Acquisition& self) { return recv_all_frames(self.frames); },
             nb::sig("def recv_all(self) -> list[Frame]"), "Every buffered frame, oldest first.")
        .def("clear", [](Acquisition& self) { clear_frames(self.frames); }, "Discard the buffered frames.")
        .def(
            "subscribe",
            [](Acquisition& self, std::size_t capacity) {
                if (capacity == 0) throw nb::value_error("capacity must be at least 1");
                FrameReceiver channel = self.running([&](AcquisitionState& s) { return s.stream.subscribe(capacity); });
                return make_frame_channel(std::move(channel), self.device, self.loss);
            },
            "capacity"_a = 16, nb::sig("def subscribe(self, capacity: int = 16) -> FrameChannel"), kSubscribeDoc)
        .def("local_addr", [](Acquisition& self) {
            return self.running([](AcquisitionState& s) { return endpoint_text(s.stream.local_address()); });
        }, "The stream socket's local address as `address:port`.")
        .def("packet_size", [](Acquisition& self) {
            return self.running([](AcquisitionState& s) { return s.stream.packet_size(); });
        }, "The stream packet size in use, in bytes.")
        .def("stats", [](Acquisition& self) { return to_python(self.stats("acquisition is stopped")); },
             nb::sig("def stats(self) -> StreamStats"),
             "A snapshot of the stream counters; after `stop()`, the final ones.")
        .def("is_stopped", [](Acquisition& self) { return self.is_stopped(); }, "Whether the acquisition has been stopped.")
        .def("on_frame", &start_callbacks, "fn"_a, nb::kw_only(), "on_error"_a = "log",
             nb::sig("def on_frame(self, fn: collections.abc.Callable[[Frame], object], *, on_error: str = 'log') "
                     "-> typing.Any"),
             kOnFrameDoc)
        .def("stop", stop, kStopDoc)
        .def("__enter__", [](nb::object self) { return self; }, nb::sig("def __enter__(self) -> Acquisition"),
             "The acquisition itself.")
        .def("__exit__", [stop](Acquisition& self, nb::args) {
            stop(self);
            return false;
        }, nb::sig("def __exit__(self, *args: object) -> typing.Literal[False]"),
           "Run `stop()`; never suppresses the exception in flight.")
        .def("__iter__", [](nb::object self) { return self; }, nb::sig("def __iter__(self) -> Acquisition"),
             "The acquisition itself: iteration yields arriving frames until the stream ends.")
        .def(
            "__next__",
            [](Acquisition& self) { return next_frame(self.frames, self.loss); },
            nb::sig("def __next__(self) -> Frame"),
            "The next arriving frame; Ctrl-C interrupts the wait. Raises CameraException once the\n"
            "camera's control is lost and no frame is left.")
        .def("__repr__", [](Acquisition& self) {
            return std::string("Acquisition(stopped=") + (self.is_stopped() ? "True" : "False") + ")";
        }, "`Acquisition(stopped=True|False)`.");
}

// Camera.snap: open a snapshot session, snap once, close it. `cancel` (a threading.Event, or
// None) ends the wait early, as a time-out does.
nb::object snap_frame(CameraShared& self, double timeout, StreamOptions options, nb::object cancel) {
    const auto wait = seconds_to_duration(timeout, "timeout");
    ClaimToken token = claim(self.busy, "a snap");
    GenicamResult<gige::stream::FramePtr> frame = std::unexpected(GenicamError::snap_timeout());
    SignalCheck signals(std::move(cancel));
    {
        GilRelease release;
        const log::Target& target = log::targets::genicam_snapshot;
        std::optional<SnapshotState> session;
        std::lock_guard snap_lock(self.device->snap_mutex);
        auto counted_from = std::chrono::steady_clock::now();
        frame = snap_with_free_wait(
            *self.device, wait, target, signals.callback(), counted_from, [&]() -> GenicamResult<SnapStart> {
                if (auto refused = refused_at_exit()) return std::unexpected(*refused);
                auto opened = device::open_snapshot(self.device->camera, options, target);
                if (!opened) return std::unexpected(opened.error());
                counted_from = std::chrono::steady_clock::now();
                session.emplace(std::move(*opened));
                return start_snap(self.device->camera, *session);
            },
            [&]() -> std::optional<std::uint64_t> {
                if (!session) return std::nullopt;
                return session->stream.stats().packets;
            });
        if (session) {
            std::lock_guard lock(self.device->mutex);
            device::close_snapshot(self.device->camera, *session, target);
        }
    }
    token.release();
    signals.raise_if_caught();
    return to_python(unwrap(std::move(frame)));
}

// The capture methods of Camera, added to the class bound by bind_camera.
void bind_camera_capture(nb::class_<CameraShared>& cls) {
    cls.def(
           "start_acquisition",
           [](CameraShared& self, std::uint16_t channel, std::size_t n_buffers,
              std::optional<std::uint16_t> packet_size, std::optional<std::uint32_t> packet_delay, bool resend,
              nb::object callback, const std::string& on_error, const std::optional<PacketRingArg>& packet_ring) {
               StreamOptions options = stream_options(channel, n_buffers, packet_size, packet_delay, resend,
                                                      stream_packet_ring(*self.device, packet_ring));
               ClaimToken token = claim(self.busy, "an acquisition");
               GenicamResult<AcquisitionState> state = std::unexpected(GenicamError::snap_timeout());
               LossCheck loss;
               {
                   GilRelease release;
                   std::lock_guard lock(self.device->mutex);
                   if (auto refused = refused_at_exit()) state = std::unexpected(*refused);
                   else state = device::start_acquisition(self.device->camera, options, log::targets::py);
                   if (state) loss = self.device->camera.loss_check();
               }
               if (!state) {
                   token.release();
                   raise(state.error());
               }
               nb::object acquisition = nb::cast(
                   std::make_unique<Acquisition>(self.device, std::move(*state), std::move(loss), std::move(token)));
               if (!callback.is_none()) start_callbacks(acquisition, callback, on_error);
               return acquisition;
           },
           nb::kw_only(), "channel"_a = 0, "n_buffers"_a = 8, "packet_size"_a = nb::none(),
           "packet_delay"_a = nb::none(), "resend"_a = true, "callback"_a = nb::none(), "on_error"_a = "log",
           "packet_ring"_a = nb::none(),
           nb::sig("def start_acquisition(self, *, channel: int = 0, n_buffers: int = 8, packet_size: int | None = None, "
                   "packet_delay: int | None = None, resend: bool = True, "
                   "callback: collections.abc.Callable[[Frame], object] | None = None, on_error: str = 'log', "
                   "packet_ring: bool | str | None = None) -> Acquisition"),
           "Open a stream and start the camera in continuous acquisition; with `callback`, frames\n"
           "go to it as with `Acquisition.on_frame`.\n"
           "`packet_ring`: True, False or \"auto\"; None takes `Camera.packet_ring`.")
        .def(
            "snapshot_session",
            [](CameraShared& self, std::uint16_t channel, std::size_t n_buffers,
               std::optional<std::uint16_t> packet_size, std::optional<std::uint32_t> packet_delay, bool resend,
              const std::optional<PacketRingArg>& packet_ring) {
                StreamOptions options = stream_options(channel, n_buffers, packet_size, packet_delay, resend,
                                                      stream_packet_ring(*self.device, packet_ring));
                ClaimToken token = claim(self.busy, "a snapshot session");
                GenicamResult<SnapshotState> state = std::unexpected(GenicamError::snap_timeout());
                {
                    GilRelease release;
                    std::lock_guard lock(self.device->mutex);
                    if (auto refused = refused_at_exit()) state = std::unexpected(*refused);
                    else state = device::open_snapshot(self.device->camera, options, log::targets::py);
                }
                if (!state) {
                    token.release();
                    raise(state.error());
                }
                return std::make_unique<SnapshotSession>(self.device, std::move(*state), std::move(token));
            },
            nb::kw_only(), "channel"_a = 0, "n_buffers"_a = 8, "packet_size"_a = nb::none(),
            "packet_delay"_a = nb::none(), "resend"_a = true, "packet_ring"_a = nb::none(),
            "Open a stream for on-demand single frames (SingleFrame mode while open).\n"
            "`packet_ring`: True, False or \"auto\"; None takes `Camera.packet_ring`.")
        .def(
            "snap",
            [](CameraShared& self, double timeout, std::uint16_t channel, std::size_t n_buffers,
               std::optional<std::uint16_t> packet_size, std::optional<std::uint32_t> packet_delay, bool resend,
               const std::optional<PacketRingArg>& packet_ring) {
                return snap_frame(self, timeout,
                                  stream_options(channel, n_buffers, packet_size, packet_delay, resend,
                                                 stream_packet_ring(*self.device, packet_ring)),
                                  nb::none());
            },
            "timeout"_a = 5.0, nb::kw_only(), "channel"_a = 0, "n_buffers"_a = 8, "packet_size"_a = nb::none(),
            "packet_delay"_a = nb::none(), "resend"_a = true, "packet_ring"_a = nb::none(),
            nb::sig("def snap(self, timeout: float = 5.0, *, channel: int = 0, n_buffers: int = 8, "
                    "packet_size: int | None = None, packet_delay: int | None = None, resend: bool = True, "
                    "packet_ring: bool | str | None = None) -> Frame"),
            "Capture one frame in SingleFrame mode.\n"
            "`packet_ring`: True, False or \"auto\"; None takes `Camera.packet_ring`.")
        .def(
            "_snap_cancellable",
            [](CameraShared& self, nb::object cancel, double timeout, std::uint16_t channel, std::size_t n_buffers,
               std::optional<std::uint16_t> packet_size, std::optional<std::uint32_t> packet_delay, bool resend) {
                return snap_frame(self, timeout,
                                  stream_options(channel, n_buffers, packet_size, packet_delay, resend,
                                                 stream_packet_ring(*self.device, std::nullopt)),
                                  std::move(cancel));
            },
            "cancel"_a, "timeout"_a = 5.0, nb::kw_only(), "channel"_a = 0, "n_buffers"_a = 8,
            "packet_size"_a = nb::none(), "packet_delay"_a = nb::none(), "resend"_a = true,
            nb::sig("def _snap_cancellable(self, cancel: threading.Event, timeout: float = 5.0, *, channel: int = 0, "
                    "n_buffers: int = 8, packet_size: int | None = None, packet_delay: int | None = None, "
                    "resend: bool = True) -> Frame"),
            "`snap()` that ends early, as on a time-out, once `cancel` is set (used by `snap_async`).");
}

}  // namespace korvalite::py
