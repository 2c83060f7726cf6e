// Image capture from Python: Camera.start_acquisition / snapshot_session / snap and the
// Acquisition and SnapshotSession objects. Lock order: device record, then the object's state,
// then its claim slot. Objects dropped while running clean up without ever blocking on the GIL.
#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/unique_ptr.h>
#include <nanobind/stl/variant.h>

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

// Runs `fn` under `mutex`, taken with the interpreter lock released: a session's state stays
// locked for the whole of a snap, so waiting for it with the lock held would stall every thread.
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

struct Acquisition final : ClosedAtExit {
    std::shared_ptr<DeviceRecord> device;
    std::mutex state_mutex;
    std::optional<AcquisitionState> state;
    FrameReceiver frames;  // a copy of the built-in subscription: readable after stop
    LossCheck loss;        // the camera's control connection, for the waits
    std::mutex token_mutex;
    ClaimToken token;

    Acquisition(std::shared_ptr<DeviceRecord> d, AcquisitionState s, LossCheck l, ClaimToken t)
        : device(std::move(d)), state(std::move(s)), frames(state->frames), loss(std::move(l)), token(std::move(t)) {}

    // Stop with the device record locked by the caller; the AcquisitionStop result.
    GenicamResult<void> stop_locked() {
        std::optional<AcquisitionState> taken;
        {
            std::lock_guard lock(state_mutex);
            taken.swap(state);
        }
        if (!taken) return {};
        return device::stop_acquisition(device->camera, *taken, log::targets::py);
    }

    void release_claim() {
        std::lock_guard lock(token_mutex);
        token.release();
    }

    bool is_stopped() {
        return under_lock(state_mutex, [&] { return !state.has_value(); });
    }

    // Interpreter exit: stop as a drop does, quietly.
    void close_at_exit() override {
        {
            std::unique_lock device_lock(device->mutex, kExitLockWait);
            if (device_lock.owns_lock()) {
                (void)stop_locked();
            } else {
                std::lock_guard lock(state_mutex);
                state.reset();
            }
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
                    std::lock_guard lock(state_mutex);
                    state.reset();  // closes the stream without touching the camera's features
                }
            }
            release_claim();
        });
    }

    bool has_state() {
        std::lock_guard lock(state_mutex);
        return state.has_value();
    }

    // Runs `fn(state)` on a running acquisition, else raises "acquisition is stopped".
    template <class F>
    auto running(F&& fn) {
        using Result = decltype(fn(*state));
        std::optional<Result> result = under_lock(state_mutex, [&]() -> std::optional<Result> {
            if (!state) return std::nullopt;
            return fn(*state);
        });
        if (!result) throw nb::value_error("acquisition is stopped");
        return std::move(*result);
    }
};

struct SnapshotSession final : ClosedAtExit {
    std::shared_ptr<DeviceRecord> device;
    std::mutex state_mutex;
    std::optional<SnapshotState> state;
    std::mutex token_mutex;
    ClaimToken token;

    SnapshotSession(std::shared_ptr<DeviceRecord> d, SnapshotState s, ClaimToken t)
        : device(std::move(d)), state(std::move(s)), token(std::move(t)) {}

    void close_locked() {
        std::optional<SnapshotState> taken;
        {
            std::lock_guard lock(state_mutex);
            taken.swap(state);
        }
        if (taken) device::close_snapshot(device->camera, *taken, log::targets::py);
    }

    void release_claim() {
        std::lock_guard lock(token_mutex);
        token.release();
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

    bool is_closed() {
        return under_lock(state_mutex, [&] { return !state.has_value(); });
    }

    // Interpreter exit: close as a drop does.
    void close_at_exit() override {
        {
            std::unique_lock device_lock(device->mutex, kExitLockWait);
            if (device_lock.owns_lock()) {
                close_locked();
            } else {
                std::lock_guard lock(state_mutex);
                state.reset();
            }
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
                    std::lock_guard lock(state_mutex);
                    state.reset();
                }
            }
            release_claim();
        });
    }

    bool has_state() {
        std::lock_guard lock(state_mutex);
        return state.has_value();
    }

    // Runs `fn(state)` on an open session, else raises "snapshot session is closed".
    template <class F>
    auto open_state(F&& fn) {
        using Result = decltype(fn(*state));
        std::optional<Result> result = under_lock(state_mutex, [&]() -> std::optional<Result> {
            if (!state) return std::nullopt;
            return fn(*state);
        });
        if (!result) throw nb::value_error("snapshot session is closed");
        return std::move(*result);
    }
};

std::string endpoint_text(const net::Endpoint& e) { return e.to_string(); }

// Asked from a snap's wait, which runs without the interpreter lock: takes the lock briefly and
// lets pending signal handlers run. An exception they raise (KeyboardInterrupt, say) ends the
// wait and is kept, to be raised once the snap has stopped the camera and let go of its locks.
class SignalCheck {
public:
    SignalCheck() = default;
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
                    GilRelease release;
                    std::lock_guard device_lock(self.device->mutex);
                    std::lock_guard lock(self.state_mutex);
                    if (!self.state) closed = true;
                    else
                        frame = device::snap_once(self.device->camera, *self.state, wait, log::targets::py,
                                                   signals.callback());
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
        .def("stats", [](SnapshotSession& self) {
            return to_python(self.open_state([](SnapshotState& s) { return s.stream.stats(); }));
        }, nb::sig("def stats(self) -> StreamStats"), "A snapshot of the stream counters.")
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
            nb::sig("def __exit__(self, *args: object) -> bool"),
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
        unwrap(std::move(result));
    };

    nb::class_<Acquisition>(m, "Acquisition", kAcquisitionDoc, nb::is_weak_referenceable())
        .def("wait_for",
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
        .def("stats", [](Acquisition& self) {
            return to_python(self.running([](AcquisitionState& s) { return s.stream.stats(); }));
        }, nb::sig("def stats(self) -> StreamStats"), "A snapshot of the stream counters.")
        .def("is_stopped", [](Acquisition& self) { return self.is_stopped(); }, "Whether the acquisition has been stopped.")
        .def("stop", stop, kStopDoc)
        .def("__enter__", [](nb::object self) { return self; }, nb::sig("def __enter__(self) -> Acquisition"),
             "The acquisition itself.")
        .def("__exit__", [stop](Acquisition& self, nb::args) {
            stop(self);
            return false;
        }, nb::sig("def __exit__(self, *args: object) -> bool"),
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

// The capture methods of Camera, added to the class bound by bind_camera.
void bind_camera_capture(nb::class_<CameraShared>& cls) {
    cls.def(
           "start_acquisition",
           [](CameraShared& self, std::uint16_t channel, std::size_t n_buffers,
              std::optional<std::uint16_t> packet_size, std::optional<std::uint32_t> packet_delay, bool resend,
              const std::optional<PacketRingArg>& packet_ring) {
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
                   if (state) loss = loss_check(*self.device->camera.gige().connection());
               }
               if (!state) {
                   token.release();
                   raise(state.error());
               }
               return std::make_unique<Acquisition>(self.device, std::move(*state), std::move(loss), std::move(token));
           },
           nb::kw_only(), "channel"_a = 0, "n_buffers"_a = 8, "packet_size"_a = nb::none(),
           "packet_delay"_a = nb::none(), "resend"_a = true, "packet_ring"_a = nb::none(),
           "Open a stream and start the camera in continuous acquisition.\n"
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
                const auto wait = seconds_to_duration(timeout, "timeout");
                StreamOptions options = stream_options(channel, n_buffers, packet_size, packet_delay, resend,
                                                      stream_packet_ring(*self.device, packet_ring));
                ClaimToken token = claim(self.busy, "a snap");
                GenicamResult<gige::stream::FramePtr> frame = std::unexpected(GenicamError::snap_timeout());
                SignalCheck signals;
                {
                    GilRelease release;
                    std::lock_guard lock(self.device->mutex);
                    const log::Target& target = log::targets::genicam_snapshot;
                    auto refused = refused_at_exit();
                    auto session = refused ? GenicamResult<SnapshotState>(std::unexpected(*refused))
                                           : device::open_snapshot(self.device->camera, options, target);
                    if (!session) {
                        frame = std::unexpected(session.error());
                    } else {
                        frame = device::snap_once(self.device->camera, *session, wait, target, signals.callback());
                        device::close_snapshot(self.device->camera, *session, target);
                    }
                }
                token.release();
                signals.raise_if_caught();
                return to_python(unwrap(std::move(frame)));
            },
            "timeout"_a = 5.0, nb::kw_only(), "channel"_a = 0, "n_buffers"_a = 8, "packet_size"_a = nb::none(),
            "packet_delay"_a = nb::none(), "resend"_a = true, "packet_ring"_a = nb::none(),
            nb::sig("def snap(self, timeout: float = 5.0, *, channel: int = 0, n_buffers: int = 8, "
                    "packet_size: int | None = None, packet_delay: int | None = None, resend: bool = True, "
                    "packet_ring: bool | str | None = None) -> Frame"),
            "Capture one frame in SingleFrame mode.\n"
            "`packet_ring`: True, False or \"auto\"; None takes `Camera.packet_ring`.");
}

}  // namespace korvalite::py
