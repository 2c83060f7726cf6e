#include "exit_registry.hpp"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <vector>

#include "device_record.hpp"
#include "gil.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace korvalite::py {

namespace {

constexpr auto kDeviceLockWait = std::chrono::seconds(2);
constexpr auto kDisconnectDeadline = std::chrono::milliseconds(500);
constexpr auto kReleasedThreadsWait = std::chrono::milliseconds(2000);

// Held while the hook closes the tracked objects, so none of them is destroyed meanwhile.
std::mutex g_mutex;
std::vector<ClosedAtExit*> g_objects;
std::vector<std::weak_ptr<DeviceRecord>> g_devices;

void disconnect(DeviceRecord& device) {
    std::unique_lock snap_lock(device.snap_mutex, kDeviceLockWait);  // a snap ends within 100 ms at exit
    std::unique_lock lock(device.mutex, kDeviceLockWait);
    if (lock.owns_lock()) device.camera.disconnect(kDisconnectDeadline);
}

// Stops every capture object, then disconnects every camera still alive.
void close_everything() {
    std::lock_guard lock(g_mutex);
    for (ClosedAtExit* object : g_objects) object->close_at_exit();
    for (const auto& weak : g_devices)
        if (auto device = weak.lock()) disconnect(*device);
}

// Before the interpreter joins its non-daemon threads: stops every acquisition and snapshot
// session, so threads iterating over frames see the stream end and return. Nothing parks yet.
void stop_captures() {
    GilRelease release;
    std::lock_guard lock(g_mutex);
    for (ClosedAtExit* object : g_objects) object->close_at_exit();
}

void close_all(bool quiet_leaks) {
    begin_interpreter_exit();
    {
        GilRelease release;  // this thread is the exiting one: never counted or parked
        close_everything();
        (void)wait_for_released_threads(kReleasedThreadsWait);
    }
    // Threads parked in a wait still hold their Python objects; that is not a leak.
    if (quiet_leaks) nb::set_leak_warnings(false);
}

}  // namespace

ClosedAtExit::ClosedAtExit() {
    std::lock_guard lock(g_mutex);
    g_objects.push_back(this);
}

void ClosedAtExit::untrack() {
    if (!tracked_) return;
    GilRelease release;  // the hook may hold the registry while it waits on a camera
    std::lock_guard lock(g_mutex);
    std::erase(g_objects, this);
    tracked_ = false;
}

ClosedAtExit::~ClosedAtExit() { untrack(); }

std::optional<GenicamError> refused_at_exit() {
    if (!must_park_at_exit()) return std::nullopt;
    return GenicamError::transport(CameraError::not_connected());
}

void track_device(const std::shared_ptr<DeviceRecord>& device) {
    std::lock_guard lock(g_mutex);
    std::erase_if(g_devices, [](const std::weak_ptr<DeviceRecord>& d) { return d.expired(); });
    g_devices.push_back(device);
}

void bind_exit(nb::module_& m) {
    nb::module_ em = m.def_submodule("_exit", "Interpreter exit with capture threads still waiting.");
    em.def("stop_captures", &stop_captures,
           "Stop every acquisition and snapshot session, before the interpreter waits for its threads.");
    em.def("close_all", &close_all, "quiet_leaks"_a,
           "Stop every acquisition and snapshot session and disconnect every camera; threads still "
           "waiting in korvalite never return to Python. `quiet_leaks` turns off nanobind's leak "
           "report (other threads still hold their objects).");
}

}  // namespace korvalite::py
