// The private submodule `_sim`: the simulated camera's C++ core for the Python package
// `korvalite.sim`, which adds the documented face. Worker threads never touch Python; start and
// stop release the interpreter lock.
#include <nanobind/nanobind.h>
#include <nanobind/stl/map.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <cstdio>
#include <variant>

#include "gil.hpp"
#include "korvalite/pixel/formats.hpp"
#include "korvalite/sim/chunk_payload.hpp"
#include "korvalite/sim/description.hpp"
#include "korvalite/sim/feature_map.hpp"
#include "korvalite/sim/options.hpp"
#include "korvalite/sim/pattern.hpp"
#include "korvalite/sim/scene.hpp"
#include "korvalite/sim/simulated_camera.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace korvalite::py {

namespace {

using sim::SimConfig;
using sim::SimulatedCamera;
using Peer = std::tuple<std::string, std::uint16_t>;

net::Ipv4Address parse_ip(const std::string& text) {
    auto ip = net::Ipv4Address::parse(text);
    if (!ip) throw nb::value_error(("not an IPv4 address: '" + text + "'").c_str());
    return *ip;
}

std::array<std::uint8_t, 6> parse_mac(const std::string& text) {
    std::array<unsigned, 6> v{};
    char tail = 0;
    if (std::sscanf(text.c_str(), "%2x:%2x:%2x:%2x:%2x:%2x%c", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &tail) != 6 ||
        text.size() != 17)
        throw nb::value_error(("not a MAC address: '" + text + "'").c_str());
    std::array<std::uint8_t, 6> mac{};
    for (std::size_t i = 0; i < 6; ++i) mac[i] = static_cast<std::uint8_t>(v[i]);
    return mac;
}

std::string format_mac(const std::array<std::uint8_t, 6>& mac) {
    char buf[18];
    std::snprintf(buf, sizeof buf, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
    return buf;
}

nb::bytes to_bytes(const gige::proto::ByteVec& v) {
    return nb::bytes(reinterpret_cast<const char*>(v.data()), v.size());
}

gige::proto::ByteVec from_bytes(const nb::bytes& b) {
    const auto* p = reinterpret_cast<const std::byte*>(b.c_str());
    return gige::proto::ByteVec(p, p + b.size());
}

Peer to_peer(const net::Endpoint& e) { return {e.address.to_string(), e.port}; }

template <class T>
T unwrap_or_raise(std::expected<T, std::string> r) {
    if (!r) throw nb::value_error(r.error().c_str());
    if constexpr (!std::is_void_v<T>) return std::move(*r);
}

// The Python-owned camera: stops its threads when collected, without holding the lock.
struct PyCamera {
    explicit PyCamera(SimConfig config) : camera(unwrap_or_raise(SimulatedCamera::create(std::move(config)))) {}
    ~PyCamera() {
        if (!camera->running()) return;
        GilRelease release;  // keeps the lock while the interpreter finalizes
        camera->stop();
    }
    std::unique_ptr<SimulatedCamera> camera;
};

template <class Member>
void ip_property(nb::class_<SimConfig>& c, const char* name, Member member) {
    c.def_prop_rw(
        name, [member](const SimConfig& s) { return (s.*member).to_string(); },
        [member](SimConfig& s, const std::string& v) { s.*member = parse_ip(v); });
}

void bind_faults(nb::module_& m) {
    nb::class_<sim::FaultConfig>(m, "Faults")
        .def(nb::init<>())
        .def_rw("seed", &sim::FaultConfig::seed)
        .def_rw("stream_drop", &sim::FaultConfig::stream_drop)
        .def_rw("stream_duplicate", &sim::FaultConfig::stream_duplicate)
        .def_rw("stream_reorder", &sim::FaultConfig::stream_reorder)
        .def_rw("resend_drop", &sim::FaultConfig::resend_drop)
        .def_rw("resend_duplicate", &sim::FaultConfig::resend_duplicate)
        .def_rw("resend_reorder", &sim::FaultConfig::resend_reorder)
        .def_rw("ack_drop", &sim::FaultConfig::ack_drop)
        .def_rw("pending_ack_commands", &sim::FaultConfig::pending_ack_commands)
        .def_rw("pending_ack_announce_ms", &sim::FaultConfig::pending_ack_announce_ms)
        .def_rw("pending_ack_delay_ms", &sim::FaultConfig::pending_ack_delay_ms)
        .def_rw("refused_registers", &sim::FaultConfig::refused_registers);
}

void bind_config(nb::module_& m) {
    auto c = nb::class_<SimConfig>(m, "Config").def(nb::init<>());
    c.def_prop_rw(
        "address", [](const SimConfig& s) { return s.bind.address.to_string(); },
        [](SimConfig& s, const std::string& v) { s.bind.address = parse_ip(v); });
    c.def_prop_rw(
        "port", [](const SimConfig& s) { return s.bind.port; }, [](SimConfig& s, std::uint16_t v) { s.bind.port = v; });
    c.def_prop_rw(
        "manufacturer", [](const SimConfig& s) { return s.identity.manufacturer; },
        [](SimConfig& s, std::string v) { s.identity.manufacturer = std::move(v); });
    c.def_prop_rw(
        "model", [](const SimConfig& s) { return s.identity.model; },
        [](SimConfig& s, std::string v) { s.identity.model = std::move(v); });
    c.def_prop_rw(
        "device_version", [](const SimConfig& s) { return s.identity.device_version; },
        [](SimConfig& s, std::string v) { s.identity.device_version = std::move(v); });
    c.def_prop_rw(
        "manufacturer_info", [](const SimConfig& s) { return s.identity.manufacturer_info; },
        [](SimConfig& s, std::string v) { s.identity.manufacturer_info = std::move(v); });
    c.def_prop_rw(
        "serial", [](const SimConfig& s) { return s.identity.serial; },
        [](SimConfig& s, std::string v) { s.identity.serial = std::move(v); });
    c.def_prop_rw(
        "user_name", [](const SimConfig& s) { return s.identity.user_name; },
        [](SimConfig& s, std::string v) { s.identity.user_name = std::move(v); });
    c.def_prop_rw(
        "mac", [](const SimConfig& s) { return format_mac(s.identity.mac); },
        [](SimConfig& s, const std::string& v) { s.identity.mac = parse_mac(v); });
    c.def_prop_rw(
        "ip", [](const SimConfig& s) -> std::optional<std::string> {
            if (!s.identity.ip) return std::nullopt;
            return s.identity.ip->to_string();
        },
        [](SimConfig& s, std::optional<std::string> v) {
            s.identity.ip = v ? std::optional(parse_ip(*v)) : std::nullopt;
        },
        nb::arg("value").none());
    c.def_prop_rw(
        "subnet_mask", [](const SimConfig& s) { return s.identity.subnet_mask.to_string(); },
        [](SimConfig& s, const std::string& v) { s.identity.subnet_mask = parse_ip(v); });
    c.def_prop_rw(
        "gateway", [](const SimConfig& s) { return s.identity.gateway.to_string(); },
        [](SimConfig& s, const std::string& v) { s.identity.gateway = parse_ip(v); });
    c.def_prop_rw(
        "version",
        [](const SimConfig& s) { return std::make_pair(s.identity.version_major, s.identity.version_minor); },
        [](SimConfig& s, std::pair<std::uint16_t, std::uint16_t> v) {
            s.identity.version_major = v.first;
            s.identity.version_minor = v.second;
        });
    c.def_rw("gvcp_capability", &SimConfig::gvcp_capability)
        .def_rw("tick_frequency", &SimConfig::tick_frequency)
        .def_rw("heartbeat_timeout_ms", &SimConfig::heartbeat_timeout_ms)
        .def_rw("min_heartbeat_timeout_ms", &SimConfig::min_heartbeat_timeout_ms)
        .def_rw("stream_channels", &SimConfig::stream_channels)
        .def_rw("path_mtu", &SimConfig::path_mtu)
        .def_rw("extended_ids", &SimConfig::extended_ids)
        .def_rw("first_block_id", &SimConfig::first_block_id)
        .def_rw("resend_history_frames", &SimConfig::resend_history_frames)
        .def_rw("first_url", &SimConfig::first_url)
        .def_rw("second_url", &SimConfig::second_url)
        .def_rw("answer_broadcast", &SimConfig::answer_broadcast)
        .def_rw("spare_memory", &SimConfig::spare_memory)
        .def_rw("max_recorded_writes", &SimConfig::max_recorded_writes)
        .def_rw("faults", &SimConfig::faults);
    c.def_prop_rw(
        "description", [](const SimConfig& s) { return nb::bytes(s.description.data(), s.description.size()); },
        [](SimConfig& s, const nb::bytes& v) { s.description.assign(v.c_str(), v.size()); });
    c.def_prop_rw(
        "packing",
        [](const SimConfig& s) {
            return s.packing == sim::DescriptionPacking::Plain       ? "plain"
                   : s.packing == sim::DescriptionPacking::ZipStored ? "stored"
                                                                      : "deflated";
        },
        [](SimConfig& s, const std::string& v) {
            if (v == "plain") s.packing = sim::DescriptionPacking::Plain;
            else if (v == "stored") s.packing = sim::DescriptionPacking::ZipStored;
            else if (v == "deflated") s.packing = sim::DescriptionPacking::ZipDeflated;
            else throw nb::value_error(("packing must be 'plain', 'stored' or 'deflated', not '" + v + "'").c_str());
        });
#define KORVALITE_IMAGE_FIELD(name) \
    c.def_prop_rw(                                                            \
        #name, [](const SimConfig& s) { return s.image.name; },               \
        [](SimConfig& s, decltype(s.image.name) v) { s.image.name = v; })
    KORVALITE_IMAGE_FIELD(sensor_width);
    KORVALITE_IMAGE_FIELD(sensor_height);
    KORVALITE_IMAGE_FIELD(width);
    KORVALITE_IMAGE_FIELD(height);
    KORVALITE_IMAGE_FIELD(offset_x);
    KORVALITE_IMAGE_FIELD(offset_y);
    KORVALITE_IMAGE_FIELD(pixel_format);
    KORVALITE_IMAGE_FIELD(acquisition_mode);
    KORVALITE_IMAGE_FIELD(frame_count);
    KORVALITE_IMAGE_FIELD(frame_rate_enable);
    KORVALITE_IMAGE_FIELD(frame_rate);
    KORVALITE_IMAGE_FIELD(exposure_us);
    KORVALITE_IMAGE_FIELD(gain_db);
    KORVALITE_IMAGE_FIELD(test_pattern);
#undef KORVALITE_IMAGE_FIELD
}

nb::object option_default(const sim::OptionDefault& value) {
    return std::visit(
        [](const auto& v) -> nb::object {
            using V = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<V, std::monostate>) return nb::none();
            else if constexpr (std::is_same_v<V, std::vector<std::string>>) return nb::tuple(nb::cast(v));
            else return nb::cast(v);
        },
        value);
}

std::string_view kind_name(sim::OptionKind kind) {
    using enum sim::OptionKind;
    switch (kind) {
        case Flag: return "flag";
        case Integer: return "integer";
        case Code: return "code";
        case Number: return "number";
        case Text: return "text";
        case Choice: return "choice";
        case Version: return "version";
        case Refusals: return "refusals";
    }
    return "text";
}

// The option table as a tuple of dicts, one per option, in constructor order.
nb::tuple options_table() {
    nb::list out;
    for (const auto& o : sim::sim_options()) {
        nb::dict d;
        d["name"] = nb::str(o.name.data(), o.name.size());
        d["flag"] = nb::str(o.flag.data(), o.flag.size());
        d["group"] = nb::str(o.group.data(), o.group.size());
        d["kind"] = nb::str(kind_name(o.kind).data(), kind_name(o.kind).size());
        d["default"] = option_default(o.default_value);
        d["help"] = nb::str(o.help.data(), o.help.size());
        d["choices"] = nb::tuple(nb::cast(o.choices));
        d["repeatable"] = o.repeatable;
        d["metavar"] = nb::str(o.metavar.data(), o.metavar.size());
        out.append(d);
    }
    return nb::tuple(out);
}

nb::dict counters_of(SimulatedCamera& camera) {
    nb::dict out;
    const auto values = camera.counters().snapshot();
    for (std::size_t i = 0; i < values.size(); ++i)
        out[nb::str(sim::kCounterNames[i].data(), sim::kCounterNames[i].size())] = values[i];
    return out;
}

void bind_camera(nb::module_& m) {
    nb::class_<PyCamera>(m, "Camera")
        .def(nb::init<SimConfig>(), "config"_a)
        .def("start", [](PyCamera& c) { unwrap_or_raise(c.camera->start()); },
             nb::call_guard<GilRelease>())
        .def("stop", [](PyCamera& c) { c.camera->stop(); }, nb::call_guard<GilRelease>())
        .def_prop_ro("running", [](PyCamera& c) { return c.camera->running(); })
        .def_prop_ro("endpoint", [](PyCamera& c) { return to_peer(c.camera->endpoint()); })
        .def("peek", [](PyCamera& c, std::uint32_t address, std::uint32_t size) {
                return to_bytes(unwrap_or_raise(c.camera->peek(address, size)));
            }, "address"_a, "size"_a)
        .def("poke", [](PyCamera& c, std::uint32_t address, const nb::bytes& data) {
                unwrap_or_raise(c.camera->poke(address, from_bytes(data)));
            }, "address"_a, "data"_a)
        .def("counters", [](PyCamera& c) { return counters_of(*c.camera); })
        .def("reset_counters", [](PyCamera& c) { c.camera->counters().reset(); })
        .def("writes", [](PyCamera& c, std::uint64_t since) {
                std::vector<std::tuple<std::uint64_t, std::uint16_t, std::uint32_t, nb::bytes, Peer>> out;
                for (const auto& r : c.camera->writes().since(since))
                    out.emplace_back(r.sequence, r.command, r.address, to_bytes(r.data), to_peer(r.source));
                return out;
            }, "since"_a = 0)
        .def("clear_writes", [](PyCamera& c) { c.camera->writes().clear(); })
        .def("faults", [](PyCamera& c) { return c.camera->faults(); })
        .def("set_faults", [](PyCamera& c, const sim::FaultConfig& f) { c.camera->set_faults(f); }, "faults"_a)
        .def_prop_rw("gone", [](PyCamera& c) { return c.camera->gone(); },
                     [](PyCamera& c, bool v) { c.camera->set_gone(v); })
        .def_prop_rw("extended_ids", [](PyCamera& c) { return c.camera->extended_ids(); },
                     [](PyCamera& c, bool v) { c.camera->set_extended_ids(v); })
        .def("send_event", [](PyCamera& c, std::uint16_t event_id, std::optional<nb::bytes> data,
                              std::uint16_t stream_channel, std::uint16_t block_id,
                              std::optional<std::uint64_t> timestamp, bool ack_required,
                              std::optional<std::pair<std::string, std::uint16_t>> destination) {
                sim::DeviceEvent event;
                event.event_id = event_id;
                if (data) {
                    event.with_data = true;
                    event.data = from_bytes(*data);
                }
                event.stream_channel = stream_channel;
                event.block_id = block_id;
                event.timestamp = timestamp;
                event.ack_required = ack_required;
                if (destination) event.destination = net::Endpoint{parse_ip(destination->first), destination->second};
                return unwrap_or_raise(c.camera->send_event(event));
            }, "event_id"_a, "data"_a.none(), "stream_channel"_a, "block_id"_a, "timestamp"_a.none(),
             "ack_required"_a, "destination"_a.none())
        .def("start_acquisition", [](PyCamera& c) { c.camera->start_acquisition(); })
        .def("stop_acquisition", [](PyCamera& c) { c.camera->stop_acquisition(); })
        .def("pulse_line", [](PyCamera& c, std::uint32_t line) {
            if (!c.camera->pulse_line(line)) throw nb::value_error(("no input line " + std::to_string(line)).c_str());
        })
        .def_prop_ro("acquiring", [](PyCamera& c) { return c.camera->acquiring(); })
        .def("stream_to", [](PyCamera& c, const std::string& ip, std::uint16_t port, std::uint32_t packet_size) {
                unwrap_or_raise(c.camera->stream_to({parse_ip(ip), port}, packet_size));
            }, "ip"_a, "port"_a, "packet_size"_a)
        .def_prop_ro("privilege_holder", [](PyCamera& c) -> std::optional<Peer> {
                auto holder = c.camera->privilege_holder();
                if (!holder) return std::nullopt;
                return to_peer(*holder);
            })
        .def("release_privilege", [](PyCamera& c) { c.camera->release_privilege(); })
        .def_prop_ro("description_file", [](PyCamera& c) { return to_bytes(c.camera->description_file()); })
        .def_prop_ro("description_xml", [](PyCamera& c) { return c.camera->description_xml(); })
        .def_prop_ro("first_url", [](PyCamera& c) { return c.camera->first_url(); })
        .def_prop_ro("second_url", [](PyCamera& c) { return c.camera->second_url(); });
}

void bind_helpers(nb::module_& m) {
    m.def("fill_pattern", [](std::uint64_t frame, std::uint32_t width, std::uint32_t height, std::uint32_t pixel_format,
                             std::uint32_t offset_x, std::uint32_t offset_y) {
            const sim::ImageGeometry g{width, height, offset_x, offset_y, pixel_format};
            if (!sim::is_supported_pixel_format(pixel_format))
                throw nb::value_error("unsupported pixel format");
            gige::proto::ByteVec out(sim::image_payload_size(g));
            {
                GilRelease release;
                sim::fill_pattern(out, frame, g);
            }
            return to_bytes(out);
        }, "frame_number"_a, "width"_a, "height"_a, "pixel_format"_a, "offset_x"_a = 0, "offset_y"_a = 0);
    m.def("fill_scene", [](std::uint64_t frame, std::uint32_t width, std::uint32_t height, std::uint32_t pixel_format,
                           std::uint32_t offset_x, std::uint32_t offset_y, std::uint32_t sensor_width,
                           std::uint32_t sensor_height, std::uint32_t exposure_raw, float gain_db) {
            const sim::ImageGeometry g{width, height, offset_x, offset_y, pixel_format};
            if (!sim::is_supported_pixel_format(pixel_format))
                throw nb::value_error("unsupported pixel format");
            gige::proto::ByteVec out(sim::image_payload_size(g));
            {
                GilRelease release;
                sim::fill_scene(out, frame, g, {sensor_width, sensor_height, exposure_raw, gain_db});
            }
            return to_bytes(out);
        }, "frame_number"_a, "width"_a, "height"_a, "pixel_format"_a, "offset_x"_a, "offset_y"_a, "sensor_width"_a,
        "sensor_height"_a, "exposure_raw"_a, "gain_db"_a);
    nb::dict formats;
    for (std::uint32_t code : sim::supported_pixel_formats())
        formats[nb::str(pixel::format_name(code).c_str())] = code;
    m.attr("PIXEL_FORMATS") = formats;
    namespace f = sim::features;
    nb::dict registers;
    for (auto [name, address] : std::initializer_list<std::pair<const char*, std::uint32_t>>{
             {"Width", f::kWidth}, {"Height", f::kHeight}, {"OffsetX", f::kOffsetX}, {"OffsetY", f::kOffsetY},
             {"PixelFormat", f::kPixelFormat}, {"SensorWidth", f::kSensorWidth}, {"SensorHeight", f::kSensorHeight},
             {"AcquisitionMode", f::kAcquisitionMode}, {"AcquisitionFrameCount", f::kAcquisitionFrameCount},
             {"AcquisitionStart", f::kAcquisitionStart}, {"AcquisitionStop", f::kAcquisitionStop},
             {"AcquisitionFrameRateEnable", f::kAcquisitionFrameRateEnable},
             {"AcquisitionFrameRate", f::kAcquisitionFrameRate}, {"Gain", f::kGain},
             {"ExposureTimeRaw", f::kExposureTimeRaw}, {"StatusControl", f::kStatusControl},
             {"TLParamsLocked", f::kTLParamsLocked}, {"TriggerSelector", f::kTriggerSelector},
             {"TriggerMode", f::kTriggerMode}, {"TriggerSource", f::kTriggerSource},
             {"TriggerSoftware", f::kTriggerSoftware}, {"TriggerActivation", f::kTriggerActivation},
             {"ChunkModeActive", f::kChunkModeActive}, {"ChunkSelector", f::kChunkSelector},
             {"ChunkEnable", f::kChunkEnable}, {"EventSelector", f::kEventSelector},
             {"EventNotification", f::kEventNotification}, {"TestPattern", f::kTestPattern},
             {"Description", f::kDescriptionAddress}})
        registers[name] = address;
    m.attr("FEATURE_REGISTERS") = registers;
    m.attr("FRAME_END_EVENT_ID") = f::kFrameEndEventId;
    nb::dict chunk_ids;
    for (auto [name, selector] : std::initializer_list<std::pair<const char*, sim::ChunkSelector>>{
             {"Image", sim::ChunkSelector::Image}, {"Timestamp", sim::ChunkSelector::Timestamp},
             {"ExposureTime", sim::ChunkSelector::ExposureTime}, {"FrameID", sim::ChunkSelector::FrameID},
             {"Width", sim::ChunkSelector::Width}, {"Height", sim::ChunkSelector::Height}})
        chunk_ids[name] = sim::kChunkIds[static_cast<std::uint32_t>(selector)];
    m.attr("CHUNK_IDS") = chunk_ids;
    nb::list counters;
    for (auto name : sim::kCounterNames) counters.append(nb::str(name.data(), name.size()));
    m.attr("COUNTER_NAMES") = nb::tuple(counters);
    m.attr("OPTIONS") = options_table();
    m.def("builtin_description", [] { return std::string(sim::builtin_description()); });
}

}  // namespace

void bind_sim(nb::module_& m) {
    nb::module_ sm = m.def_submodule("_sim", "The simulated camera's core; use korvalite.sim.");
    bind_faults(sm);
    bind_config(sm);
    bind_camera(sm);
    bind_helpers(sm);
}

}  // namespace korvalite::py
