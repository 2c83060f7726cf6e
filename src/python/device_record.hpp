#pragma once
// What a Python Camera shares with the objects created from it: the device record (the camera
// behind its mutex) and the busy record. Both are reference counted, so an acquisition or a frame
// channel keeps them alive after the Camera object is gone.
#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "busy.hpp"
#include "exit_registry.hpp"
#include "gil.hpp"
#include "korvalite/device/genicamera.hpp"
#include "korvalite/device/receive_path.hpp"

namespace korvalite::py {

struct DeviceRecord {
    explicit DeviceRecord(device::CameraSettings settings) : camera(std::move(settings)) {}
    // Held by a snap from the camera's start to its stop, taken before `mutex`: one snap at a
    // time, and the exit hook lets a snap in flight stop the camera before it disconnects.
    std::timed_mutex snap_mutex;
    // Held for every feature operation, connect, disconnect, stream set-up; never while a
    // capture waits for its frame.
    std::timed_mutex mutex;
    device::GenICamera camera;
    // Whether streams use the packet ring when a capture method does not say.
    std::atomic<device::PacketRingMode> packet_ring{device::PacketRingMode::Off};
    std::atomic<bool> packet_ring_announced{false};  // the automatic choice was logged
};

// The last reference usually goes in a Python destructor; dropping the camera joins its control
// worker, which happens with the interpreter lock released. The exit hook disconnects it.
inline std::shared_ptr<DeviceRecord> make_device_record(device::CameraSettings settings) {
    auto record = std::shared_ptr<DeviceRecord>(new DeviceRecord(std::move(settings)),
                                                [](DeviceRecord* r) { without_gil([r] { delete r; }); });
    track_device(record);
    return record;
}

struct CameraShared {
    std::shared_ptr<DeviceRecord> device;
    std::shared_ptr<BusyRecord> busy;
    std::string ip;  // as shown by repr
};

}  // namespace korvalite::py
