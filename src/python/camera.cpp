// The Python `Camera`: argument conversion, the busy claims, and every call that may wait runs
// with the interpreter lock released and the device record locked (in that order).
#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/variant.h>
#include <nanobind/stl/vector.h>

#include <cmath>
#include <limits>

#include "camera.hpp"
#include "camera_docs.hpp"
#include "device_info.hpp"
#include "duration.hpp"
#include "errors.hpp"
#include "exit_registry.hpp"
#include "frame.hpp"
#include "gil.hpp"
#include "enums.hpp"
#include "interruptible_connect.hpp"
#include "korvalite/gige/proto/gvcp.hpp"
#include "packet_ring_mode.hpp"
#include "stats.hpp"
#include "text_repr.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace korvalite::py {

namespace {

// Users meet the package's subclass (python/korvalite/_camera.py), which has its own docstring.
constexpr const char* kCameraDoc =
    "A GigE Vision camera at an IPv4 address: connect, read and write its features by name, and\n"
    "capture frames. Sessions, acquisitions and subscriptions made from it stay usable while\n"
    "Python holds them.";

net::Ipv4Address parse_ip(const std::string& text) {
    auto ip = net::Ipv4Address::parse(text);
    if (!ip) throw nb::value_error(("invalid IP address: " + quoted(text)).c_str());
    return *ip;
}

// Seconds to whole milliseconds, truncated; negative or NaN gives 0, too large saturates.
std::uint32_t heartbeat_ms(double seconds) {
    if (!(seconds > 0.0)) return 0;
    const double ms = std::trunc(seconds * 1000.0);
    if (ms >= static_cast<double>(std::numeric_limits<std::uint32_t>::max()))
        return std::numeric_limits<std::uint32_t>::max();
    return static_cast<std::uint32_t>(ms);
}

// Runs `op` on the camera with the interpreter lock released and the device record locked.
template <class F>
auto with_camera(const CameraShared& shared, F&& op) {
    GilRelease release;
    std::lock_guard lock(shared.device->mutex);
    return op(shared.device->camera);
}

// A feature operation: run it, then unwrap its result or raise (with the lock retaken).
template <class F>
auto feature(const CameraShared& shared, F&& op) {
    auto result = with_camera(shared, std::forward<F>(op));
    return unwrap(std::move(result));
}

}  // namespace

bool is_connected(const CameraShared& shared) {
    return with_camera(shared, [](device::GenICamera& cam) {
        return cam.state() == device::ConnectionState::Connected;
    });
}

void bind_camera_capture(nb::class_<CameraShared>& cls);
void bind_camera_features(nb::module_& m, nb::class_<CameraShared>& cls);
void bind_camera_events(nb::class_<CameraShared>& cls);

void bind_camera(nb::module_& m) {
    auto cls = nb::class_<CameraShared>(m, "Camera", kCameraDoc, nb::is_weak_referenceable());
    cls
        .def(
            "__init__",
            [](CameraShared* self, const std::string& ip, double gvcp_timeout, std::uint8_t retries,
               double heartbeat_timeout, bool exclusive, std::optional<std::string> local_ip,
               const PacketRingArg& packet_ring) {
                const device::PacketRingMode ring = packet_ring_mode(packet_ring);
                device::CameraSettings settings;
                settings.device = net::Endpoint{parse_ip(ip), gige::proto::kGvcpPort};
                if (local_ip) settings.local_ip = parse_ip(*local_ip);
                settings.gvcp_timeout = seconds_to_duration(gvcp_timeout, "gvcp_timeout");
                settings.retries = retries;
                settings.heartbeat_timeout_ms = heartbeat_ms(heartbeat_timeout);
                settings.exclusive = exclusive;
                const std::string address = settings.device.address.to_string();
                new (self) CameraShared{make_device_record(std::move(settings)), std::make_shared<BusyRecord>(), address};
                self->device->packet_ring.store(ring);
            },
            "ip"_a, nb::kw_only(), "gvcp_timeout"_a = 0.5, "retries"_a = 4, "heartbeat_timeout"_a = 3.0,
            "exclusive"_a = false, "local_ip"_a = nb::none(), "packet_ring"_a = false,
            "A camera at `ip`: parses the addresses and sends nothing until `connect()`. Raises\n"
            "ValueError for an invalid address or time-out.\n\n"
            "`gvcp_timeout` and `retries`: how long to wait for each control answer and how often to\n"
            "ask again. `heartbeat_timeout`: seconds without a heartbeat after which the camera\n"
            "gives up the connection. `exclusive`: take exclusive access (no other program may even\n"
            "read). `local_ip`: the local address to use, when the route does not tell. `packet_ring`:\n"
            "the default receive path of its streams (see the `packet_ring` property); False, the\n"
            "socket, unless asked, since opening and closing a ring costs tens of milliseconds per\n"
            "stream.")
        .def_prop_rw(
            "packet_ring", [](CameraShared& self) { return packet_ring_arg(self.device->packet_ring.load()); },
            [](CameraShared& self, const PacketRingArg& value) { self.device->packet_ring.store(packet_ring_mode(value)); },
            "How streams receive when a capture method does not say: True through the packet ring\n"
            "(falling back to the socket, with a warning, when it cannot be opened), False through\n"
            "the socket, \"auto\" through the ring when the process holds CAP_NET_RAW (the first\n"
            "automatic choice is logged at INFO with its reason).")
        .def("connect", &interruptible_connect, doc::kConnect)
        .def(
            "disconnect",
            [](CameraShared& self, double deadline) {
                const auto wait = seconds_to_duration(deadline, "deadline");
                ClaimToken token = claim(self.busy, "a disconnect");
                with_camera(self, [&](device::GenICamera& cam) { cam.disconnect(wait); });
            },
            "deadline"_a = 0.5, doc::kDisconnect)
        .def("is_connected", &is_connected, doc::kIsConnected)
        .def(
            "device_info",
            [](CameraShared& self) {
                auto info = with_camera(self, [](device::GenICamera& cam) { return cam.device_info(); });
                return to_python(unwrap(std::move(info)));
            },
            nb::sig("def device_info(self) -> DeviceInfo"), doc::kDeviceInfo)
        .def(
            "link_stats",
            [](CameraShared& self) -> nb::object {
                auto stats = with_camera(self, [](device::GenICamera& cam) { return cam.link_stats(); });
                if (!stats) return nb::none();
                return to_python(*stats);
            },
            nb::sig("def link_stats(self) -> LinkStats | None"), doc::kLinkStats)
        .def("feature_names", [](CameraShared& self) { return feature(self, [](auto& c) { return c.feature_names(); }); },
             doc::kFeatureNames)
        .def("has_feature", [](CameraShared& self, const std::string& name) {
            return with_camera(self, [&](device::GenICamera& c) { return c.has_feature(name); });
        }, "name"_a, doc::kHasFeature)
        .def("get_integer", [](CameraShared& self, const std::string& name) {
            return feature(self, [&](auto& c) { return c.get_integer(name); });
        }, "name"_a, doc::kGetInteger)
        .def("set_integer", [](CameraShared& self, const std::string& name, std::int64_t value) {
            feature(self, [&](auto& c) { return c.set_integer(name, value); });
        }, "name"_a, "value"_a, doc::kSetInteger)
        .def("integer_bounds", [](CameraShared& self, const std::string& name) {
            return feature(self, [&](auto& c) { return c.integer_bounds(name); });
        }, "name"_a, doc::kIntegerBounds)
        .def("integer_increment", [](CameraShared& self, const std::string& name) {
            return feature(self, [&](auto& c) { return c.integer_increment(name); });
        }, "name"_a, doc::kIntegerIncrement)
        .def("get_float", [](CameraShared& self, const std::string& name) {
            return feature(self, [&](auto& c) { return c.get_float(name); });
        }, "name"_a, doc::kGetFloat)
        .def("chunk_value", [](CameraShared& self, nb::handle frame, const std::string& name) {
            const gige::stream::FramePtr held = frame_of(frame);
            return feature(self, [&](auto& c) { return c.chunk_value(*held, name); });
        }, "frame"_a, "name"_a, nb::sig("def chunk_value(self, frame: Frame, name: str) -> int | float | bool | str"),
           doc::kChunkValue)
        .def("set_float", [](CameraShared& self, const std::string& name, double value) {
            feature(self, [&](auto& c) { return c.set_float(name, value); });
        }, "name"_a, "value"_a, doc::kSetFloat)
        .def("float_bounds", [](CameraShared& self, const std::string& name) {
            return feature(self, [&](auto& c) { return c.float_bounds(name); });
        }, "name"_a, doc::kFloatBounds)
        .def("get_boolean", [](CameraShared& self, const std::string& name) {
            return feature(self, [&](auto& c) { return c.get_boolean(name); });
        }, "name"_a, doc::kGetBoolean)
        .def("set_boolean", [](CameraShared& self, const std::string& name, bool value) {
            feature(self, [&](auto& c) { return c.set_boolean(name, value); });
        }, "name"_a, "value"_a, doc::kSetBoolean)
        .def("get_string", [](CameraShared& self, const std::string& name) {
            return feature(self, [&](auto& c) { return c.get_string(name); });
        }, "name"_a, doc::kGetString)
        .def("set_string", [](CameraShared& self, const std::string& name, const std::string& value) {
            feature(self, [&](auto& c) { return c.set_string(name, value); });
        }, "name"_a, "value"_a, doc::kSetString)
        .def("get_enum", [](CameraShared& self, const std::string& name) {
            return feature(self, [&](auto& c) { return c.get_enum(name); });
        }, "name"_a, doc::kGetEnum)
        .def("set_enum", [](CameraShared& self, const std::string& name, const std::string& entry) {
            feature(self, [&](auto& c) { return c.set_enum(name, entry); });
        }, "name"_a, "entry"_a, doc::kSetEnum)
        .def("enum_entries", [](CameraShared& self, const std::string& name) {
            return feature(self, [&](auto& c) { return c.enum_entries(name); });
        }, "name"_a, doc::kEnumEntries)
        .def("execute", [](CameraShared& self, const std::string& name) {
            feature(self, [&](auto& c) { return c.execute(name); });
        }, "name"_a, doc::kExecute)
        .def("access_mode", [](CameraShared& self, const std::string& name) {
            return to_python(feature(self, [&](auto& c) { return c.access_mode(name); }));
        }, "name"_a, nb::sig("def access_mode(self, name: str) -> AccessMode"), doc::kAccessMode)
        .def("invalidate_caches", [](CameraShared& self) {
            feature(self, [](auto& c) { return c.invalidate_caches(); });
        }, doc::kInvalidateCaches)
        .def("__repr__", [](CameraShared& self) {
            return "Camera(" + self.ip + ", connected=" + (is_connected(self) ? "True" : "False") + ")";
        }, "`Camera(<ip>, connected=True|False)`.");
    bind_camera_capture(cls);
    bind_camera_features(m, cls);
    bind_camera_events(cls);
}

}  // namespace korvalite::py
