// discover(): the discovery run with the Python defaults, the interpreter lock released while
// it waits for answers; pending signal handlers run between its receive passes, and one that
// raises (Ctrl-C) ends the run.
#include <nanobind/nanobind.h>

#include <chrono>

#include "device_info.hpp"
#include "duration.hpp"
#include "errors.hpp"
#include "gil.hpp"
#include "korvalite/gige/discovery.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace korvalite::py {

namespace {

constexpr const char* kDiscoverDoc =
    "Broadcast a GigE Vision discovery beacon on every Up IPv4 adapter and\n"
    "return the devices that answer within `timeout` seconds.";

// Between receive passes, at most this often, pending signal handlers run (Ctrl-C ends the run).
constexpr auto kSignalCheckInterval = std::chrono::milliseconds(50);

nb::list discover(double timeout) {
    gige::DiscoveryConfig config;  // host adapters, any local port, device port 3956, limited broadcast
    config.timeout = seconds_to_duration(timeout, "timeout");
    bool interrupted = false;
    auto last_check = std::chrono::steady_clock::now();
    config.stop_early = [&] {
        const auto now = std::chrono::steady_clock::now();
        if (now - last_check < kSignalCheckInterval) return false;
        last_check = now;
        return interrupted = signal_raised();
    };
    CameraResult<std::vector<gige::DiscoveredDevice>> found;
    {
        GilRelease release;
        found = gige::discover(config);
    }
    if (interrupted) throw nb::python_error();
    nb::list devices;
    for (const gige::DiscoveredDevice& device : unwrap(std::move(found))) devices.append(to_python(device.info));
    return devices;
}

}  // namespace

void bind_discovery(nb::module_& m) {
    m.def("discover", &discover, "timeout"_a = 1.0, kDiscoverDoc,
          nb::sig("def discover(timeout: float = 1.0) -> list[DeviceInfo]"));
}

}  // namespace korvalite::py
