#include "korvalite/device/genicamera.hpp"

#include "korvalite/device/device_events.hpp"
#include "korvalite/device/feature_port.hpp"
#include "korvalite/device/gige_camera.hpp"
#include "korvalite/device/layers.hpp"
#include "korvalite/genicam/event_names.hpp"
#include "korvalite/genicam/feature_info_read.hpp"
#include "korvalite/genicam/node_read.hpp"
#include "korvalite/genicam/node_write.hpp"
#include "korvalite/genicam/registers.hpp"
#include "korvalite/genicam/write_check.hpp"
#include "korvalite/log.hpp"

namespace korvalite::device {

namespace {

using log::Level;

GenicamError model_not_loaded() { return GenicamError::description("feature model not loaded"); }

struct Access {
    Genicam& model;
    FeaturePort port;
};

// The feature-access check: a live connection, then a loaded model.
GenicamResult<Access> access(GigECamera& camera) {
    if (auto error = camera.connection_error()) return std::unexpected(GenicamError::transport(std::move(*error)));
    Genicam* model = camera.model();
    if (!model) return std::unexpected(model_not_loaded());
    Connection& connection = *camera.connection();
    const gige::LastEvents& events = connection.channel.shared->last_events;
    return Access{*model, FeaturePort(connection.channel.port, connection.packet_sizes, events)};
}

template <class Fn>
auto feature_call(GigECamera& camera, std::string_view name, Fn&& fn)
    -> decltype(fn(std::declval<Genicam&>(), NodeId{}, std::declval<PortIo&>())) {
    auto checked = access(camera);
    if (!checked) return std::unexpected(std::move(checked.error()));
    auto id = checked->model.lookup(name);
    if (!id) return std::unexpected(std::move(id.error()));
    auto result = fn(checked->model, *id, checked->port);
    if (!result) return std::unexpected(std::move(result.error()).in_feature(std::string(name)));
    return result;
}

// The model, when a connection record (alive or not) exists.
const Genicam* kept_model(const GigECamera& camera) { return camera.connection() ? camera.model() : nullptr; }

}  // namespace

template <class Fn>
auto GenICamera::on_feature(std::string_view name, Fn&& fn) {
    return feature_call(*camera_, name, std::forward<Fn>(fn));
}

GenICamera::GenICamera(device::CameraSettings settings)
    : camera_(std::make_unique<GigECamera>(std::move(settings))) {}
GenICamera::GenICamera(GenICamera&&) noexcept = default;
GenICamera& GenICamera::operator=(GenICamera&&) noexcept = default;
GenICamera::~GenICamera() = default;

GenicamResult<void> GenICamera::connect(ConnectAbort* abort) {
    // The abort shuts down whichever worker the connect is waiting on at the moment.
    const auto attach = [&] {
        if (!abort || !camera_->connection()) return;
        ControlPort port = camera_->connection()->port();
        abort->attach([port] { (void)port.request_shutdown(); });
    };
    auto connected = camera_->connect(abort);
    if (abort) abort->detach();
    if (!connected) return std::unexpected(GenicamError::transport(connected.error()));
    attach();
    auto loaded = camera_->ensure_genicam();
    if (abort) {
        abort->detach();
        // Ended after the worker was told to stop: whatever succeeded, the connection is gone.
        if (loaded && abort->aborted()) loaded = std::unexpected(GenicamError::transport(CameraError::not_connected()));
    }
    if (!loaded) {
        const device::Connection* connection = camera_->connection();
        camera_->disconnect(connection ? connection->port().wait_timeout() : device::Duration::zero());
    }
    return loaded;
}

void GenICamera::disconnect(Duration deadline) { camera_->disconnect(deadline); }

ConnectionState GenICamera::state() const { return camera_->state(); }

CameraResult<gige::proto::DeviceInfo> GenICamera::device_info() const {
    if (camera_->state() != ConnectionState::Connected) return std::unexpected(CameraError::not_connected());
    return camera_->connection()->device_info;
}

std::optional<gige::LinkStats> GenICamera::link_stats() const {
    const Connection* connection = camera_->connection();
    if (!connection) return std::nullopt;
    return connection->channel.shared->stats();
}

LossCheck GenICamera::loss_check() const {
    const Connection* connection = camera_->connection();
    if (!connection) return [] { return std::optional<CameraError>(CameraError::not_connected()); };
    std::shared_ptr<const std::atomic<bool>> alive = connection->channel.worker.alive_flag();
    return [alive, shared = connection->channel.shared]() -> std::optional<CameraError> {
        if (alive && alive->load()) return std::nullopt;
        return shared->control_lost.load() ? CameraError::control_lost() : CameraError::not_connected();
    };
}

GenicamResult<std::vector<std::string>> GenICamera::feature_names() const {
    const Genicam* model = kept_model(*camera_);
    if (!model) return std::unexpected(model_not_loaded());
    return model->node_names();
}

bool GenICamera::has_feature(std::string_view name) const {
    const Genicam* model = kept_model(*camera_);
    return model && model->lookup(name).has_value();
}

GenicamResult<std::int64_t> GenICamera::get_integer(std::string_view name) {
    return on_feature(name, [](Genicam& g, NodeId id, PortIo& port) { return int_value(g, id, port); });
}

GenicamResult<void> GenICamera::set_integer(std::string_view name, std::int64_t value) {
    KORVALITE_LOG(log::targets::genicam, Level::Trace, "set integer",
                  {{"feature", std::string(name)}, {"value", value}});
    return on_feature(name, [&](Genicam& g, NodeId id, PortIo& port) { return checked_set_int(g, id, value, port); });
}

GenicamResult<std::pair<std::int64_t, std::int64_t>> GenICamera::integer_bounds(std::string_view name) {
    return on_feature(name, [](Genicam& g, NodeId id, PortIo& port) { return int_bounds(g, id, port); });
}

GenicamResult<std::int64_t> GenICamera::integer_increment(std::string_view name) {
    return on_feature(name, [](Genicam& g, NodeId id, PortIo& port) { return int_increment(g, id, port); });
}

GenicamResult<double> GenICamera::get_float(std::string_view name) {
    return on_feature(name, [](Genicam& g, NodeId id, PortIo& port) { return float_value(g, id, port); });
}

GenicamResult<void> GenICamera::set_float(std::string_view name, double value) {
    KORVALITE_LOG(log::targets::genicam, Level::Trace, "set float", {{"feature", std::string(name)}, {"value", value}});
    return on_feature(name, [&](Genicam& g, NodeId id, PortIo& port) { return checked_set_float(g, id, value, port); });
}

GenicamResult<std::pair<double, double>> GenICamera::float_bounds(std::string_view name) {
    return on_feature(name, [](Genicam& g, NodeId id, PortIo& port) { return genicam::float_bounds(g, id, port); });
}

GenicamResult<bool> GenICamera::get_boolean(std::string_view name) {
    return on_feature(name, [](Genicam& g, NodeId id, PortIo& port) { return bool_value(g, id, port); });
}

GenicamResult<void> GenICamera::set_boolean(std::string_view name, bool value) {
    KORVALITE_LOG(log::targets::genicam, Level::Trace, "set boolean",
                  {{"feature", std::string(name)}, {"value", value}});
    return on_feature(name, [&](Genicam& g, NodeId id, PortIo& port) { return checked_set_bool(g, id, value, port); });
}

GenicamResult<std::string> GenICamera::get_string(std::string_view name) {
    return on_feature(name, [](Genicam& g, NodeId id, PortIo& port) { return string_value(g, id, port); });
}

GenicamResult<void> GenICamera::set_string(std::string_view name, std::string_view value) {
    KORVALITE_LOG(log::targets::genicam, Level::Trace, "set string",
                  {{"feature", std::string(name)}, {"value", std::string(value)}});
    return on_feature(name,
                      [&](Genicam& g, NodeId id, PortIo& port) { return checked_set_string(g, id, value, port); });
}

GenicamResult<std::string> GenICamera::get_enum(std::string_view name) { return get_string(name); }

GenicamResult<void> GenICamera::set_enum(std::string_view name, std::string_view entry) {
    KORVALITE_LOG(log::targets::genicam, Level::Trace, "set enum",
                  {{"feature", std::string(name)}, {"entry", std::string(entry)}});
    return on_feature(name, [&](Genicam& g, NodeId id, PortIo& port) { return checked_set_enum(g, id, entry, port); });
}

GenicamResult<std::vector<std::string>> GenICamera::enum_entries(std::string_view name) {
    return on_feature(name, [](Genicam& g, NodeId id, PortIo&) { return genicam::enum_entries(g, id); });
}

GenicamResult<void> GenICamera::execute(std::string_view name) {
    KORVALITE_LOG(log::targets::genicam, Level::Trace, "execute command", {{"feature", std::string(name)}});
    return on_feature(name, [](Genicam& g, NodeId id, PortIo& port) { return genicam::execute(g, id, port); });
}

GenicamResult<AccessMode> GenICamera::access_mode(std::string_view name) {
    return on_feature(name, [](Genicam& g, NodeId id, PortIo& port) { return genicam::access_mode(g, id, port); });
}

GenicamResult<void> GenICamera::invalidate_caches() {
    auto checked = access(*camera_);
    if (!checked) return std::unexpected(std::move(checked.error()));
    clear_register_caches(checked->model);
    return {};
}

GenicamResult<void> GenICamera::fill_payload_size(gige::stream::StreamOptions& options) {
    if (options.payload_size) return {};
    auto size = on_feature("PayloadSize", [](Genicam& g, NodeId id, PortIo& port) {
        // The buffers must fit what the device sends now, whatever was cached before.
        clear_register_caches(g);
        return int_value(g, id, port);
    });
    if (!size) return std::unexpected(std::move(size.error()));
    if (*size < 0) return std::unexpected(GenicamError::description("negative PayloadSize"));
    options.payload_size = static_cast<std::uint64_t>(*size);
    return {};
}

namespace {

// The frame's chunks as views into its payload.
std::vector<genicam::FrameChunk> chunks_of(const gige::stream::Frame& frame) {
    const auto payload = frame.data();
    std::vector<genicam::FrameChunk> chunks;
    for (const auto& entry : frame.chunks()) chunks.push_back({entry.id, payload.subspan(entry.offset, entry.length)});
    return chunks;
}

// The node's value read by its kind.
GenicamResult<FeatureValue> value_by_kind(Genicam& g, NodeId id, PortIo& port) {
    const auto as_value = [](auto result) -> GenicamResult<FeatureValue> {
        if (!result) return std::unexpected(std::move(result.error()));
        return FeatureValue{std::move(*result)};
    };
    switch (genicam::feature_kind(g[id].node)) {
        case genicam::FeatureKind::Integer: return as_value(int_value(g, id, port));
        case genicam::FeatureKind::Float: return as_value(float_value(g, id, port));
        case genicam::FeatureKind::Boolean: return as_value(bool_value(g, id, port));
        case genicam::FeatureKind::Enumeration:
        case genicam::FeatureKind::String: return as_value(string_value(g, id, port));
        default: return std::unexpected(genicam::unsupported_access(g, id));
    }
}

}  // namespace

GenicamResult<FeatureValue> GenICamera::chunk_value(const gige::stream::Frame& frame, std::string_view name) {
    const auto chunks = chunks_of(frame);
    return on_feature(name, [&](Genicam& g, NodeId id, PortIo& port) {
        g.frame_chunks = chunks;
        auto value = value_by_kind(g, id, port);
        g.frame_chunks = {};
        return value;
    });
}

GenicamResult<genicam::FeatureInfo> GenICamera::feature_info(std::string_view name) {
    return on_feature(name, [](Genicam& g, NodeId id, PortIo& port) { return genicam::feature_info(g, id, port); });
}

CameraResult<EventSubscription> GenICamera::subscribe_events(std::size_t capacity) {
    if (auto error = camera_->connection_error()) return std::unexpected(std::move(*error));
    Connection& connection = *camera_->connection();
    auto channel = device::subscribe_events(connection, capacity);
    if (!channel) return std::unexpected(channel.error());
    genicam::EventNames names = camera_->model() ? genicam::event_names(*camera_->model()) : genicam::EventNames{};
    return EventSubscription{std::move(*channel), std::move(names), connection.channel.shared};
}

}  // namespace korvalite::device
