// The extension module `_korvalite_core` (its file, extensions/_korvalite_core.cpp, hands over
// to `korvalite_core_module` here). Public attributes are registered in their documented order;
// private submodules (`_log`, `_exit`, `_sim`, `_introspect`) come last. The test hooks are the
// separate extension `_korvalite_testing` (testing.cpp).
//
// Public order: CameraError, GenicamError, CameraTimeoutError, GenicamTimeoutError, Camera,
// SnapshotSession, Acquisition, Frame, PixelFormatInfo, pixel_formats, FrameChannel, Event,
// EventSubscription, FrameStatus, AccessMode, StreamStats, LinkStats, DeviceInfo, discover.
// Classes not bound yet slot in at their place between GenicamError and Frame.
#include <nanobind/nanobind.h>

#include "camera.hpp"
#include "device_info.hpp"
#include "discovery.hpp"
#include "enums.hpp"
#include "events.hpp"
#include "errors.hpp"
#include "exit_registry.hpp"
#include "frame.hpp"
#include "frame_channel.hpp"
#include "log_bridge.hpp"
#include "pixel_format.hpp"
#include "stats.hpp"

namespace korvalite::py {
void bind_capture(nanobind::module_& m);
void bind_introspect(nanobind::module_& m);
void bind_sim(nanobind::module_& m);
}

NB_MODULE(korvalite_core_module, m) {
    m.doc() = "korvalite core: GigE Vision camera driver";
    korvalite::py::bind_errors(m);
    korvalite::py::bind_camera(m);
    korvalite::py::bind_capture(m);
    korvalite::py::bind_frame(m);
    korvalite::py::bind_pixel_format(m);
    korvalite::py::bind_frame_channel(m);
    korvalite::py::bind_events(m);
    korvalite::py::bind_frame_status(m);
    korvalite::py::bind_access_mode(m);
    korvalite::py::bind_stream_stats(m);
    korvalite::py::bind_link_stats(m);
    korvalite::py::bind_device_info(m);
    korvalite::py::bind_discovery(m);
    m.attr("__version__") = KORVALITE_VERSION;
    korvalite::py::bind_log(m);
    korvalite::py::bind_exit(m);
    korvalite::py::bind_sim(m);
    korvalite::py::bind_introspect(m);
}
