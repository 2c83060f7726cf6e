#pragma once
// The feature facade: where a feature name meets the node graph. Each operation checks that
// the camera is connected, its control worker alive and its feature model loaded, resolves the
// name, and runs one read or write of the graph with the connection's control port as the
// device port. The owner serialises all calls (the graph changes even on reads).
//
// This is the core's camera as its users see it: the connection and its worker stay behind
// the `GigECamera` it owns.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "korvalite/device/camera_settings.hpp"
#include "korvalite/device/connect_abort.hpp"
#include "korvalite/device/connection_state.hpp"
#include "korvalite/error.hpp"
#include "korvalite/genicam/access_mode.hpp"
#include "korvalite/genicam/event_names.hpp"
#include "korvalite/genicam/feature_info.hpp"
#include "korvalite/gige/control/event_channel.hpp"
#include "korvalite/gige/control/link_stats.hpp"
#include "korvalite/gige/proto/bootstrap.hpp"
#include "korvalite/gige/stream/frame.hpp"
#include "korvalite/gige/stream/options.hpp"

namespace korvalite::device {

class GigECamera;

// Asked from any thread: the error of a connection once its control worker has ended (control
// lost, or disconnected), else nothing.
using LossCheck = std::function<std::optional<CameraError>()>;

// A feature's value by its kind: integer, float, boolean, or text (an enumeration's entry name,
// a string).
using FeatureValue = std::variant<std::int64_t, double, bool, std::string>;

// A subscription to a connection's device events, with the names the description gives them
// and the connection's counters (whose control-lost flag tells why the events ended).
struct EventSubscription {
    gige::EventChannel channel;
    genicam::EventNames names;
    std::shared_ptr<const gige::Shared> link;
};

// How many events a subscription holds when nobody takes them.
inline constexpr std::size_t kDefaultEventCapacity = 256;

class GenICamera {
public:
    explicit GenICamera(device::CameraSettings settings);
    GenICamera(GenICamera&&) noexcept;
    GenICamera& operator=(GenICamera&&) noexcept;
    ~GenICamera();

    device::GigECamera& gige() { return *camera_; }
    const device::GigECamera& gige() const { return *camera_; }

    // Connects and loads the feature model. When the model cannot be loaded, control is given
    // back and the connection closed, so a failed connect leaves the camera not connected.
    // `abort` lets another thread end it (see ConnectAbort); an ended connect leaves the camera
    // not connected too.
    [[nodiscard]] GenicamResult<void> connect(ConnectAbort* abort = nullptr);
    // Gives control back and joins the worker, waiting at most `deadline` for its confirmation.
    void disconnect(Duration deadline);
    ConnectionState state() const;
    // The identity read at connect; NotConnected unless the connection is live.
    [[nodiscard]] CameraResult<gige::proto::DeviceInfo> device_info() const;
    // The control worker's counters while a connection record (alive or not) exists.
    std::optional<gige::LinkStats> link_stats() const;
    // The check for the current connection (none: always NotConnected); it keeps only the
    // worker's flags, so it stays valid after the connection is gone.
    LossCheck loss_check() const;

    // What kind of value a feature holds ("integer", "float", "number", "boolean", "string",
    // "enumeration", "command", "category", "register", "port"), and the features a category
    // lists (none for other nodes). Need only a loaded model.
    [[nodiscard]] GenicamResult<std::string> value_kind(std::string_view name) const;
    [[nodiscard]] GenicamResult<std::vector<std::string>> category_features(std::string_view name) const;

    // All node names in id order. Needs a connection (alive or not) and a model.
    [[nodiscard]] GenicamResult<std::vector<std::string>> feature_names() const;
    // Whether a connection (alive or not) and a model exist and the name resolves; never fails.
    bool has_feature(std::string_view name) const;

    [[nodiscard]] GenicamResult<std::int64_t> get_integer(std::string_view name);
    [[nodiscard]] GenicamResult<void> set_integer(std::string_view name, std::int64_t value);
    [[nodiscard]] GenicamResult<std::pair<std::int64_t, std::int64_t>> integer_bounds(std::string_view name);
    [[nodiscard]] GenicamResult<std::int64_t> integer_increment(std::string_view name);

    [[nodiscard]] GenicamResult<double> get_float(std::string_view name);
    [[nodiscard]] GenicamResult<void> set_float(std::string_view name, double value);
    [[nodiscard]] GenicamResult<std::pair<double, double>> float_bounds(std::string_view name);

    [[nodiscard]] GenicamResult<bool> get_boolean(std::string_view name);
    [[nodiscard]] GenicamResult<void> set_boolean(std::string_view name, bool value);

    [[nodiscard]] GenicamResult<std::string> get_string(std::string_view name);
    [[nodiscard]] GenicamResult<void> set_string(std::string_view name, std::string_view value);

    // The name of the current entry (for a String or a string register: its text).
    [[nodiscard]] GenicamResult<std::string> get_enum(std::string_view name);
    [[nodiscard]] GenicamResult<void> set_enum(std::string_view name, std::string_view entry);
    [[nodiscard]] GenicamResult<std::vector<std::string>> enum_entries(std::string_view name);

    [[nodiscard]] GenicamResult<void> execute(std::string_view name);
    [[nodiscard]] GenicamResult<genicam::AccessMode> access_mode(std::string_view name);

    // Empties every register cache, so the next read of each goes to the device.
    [[nodiscard]] GenicamResult<void> invalidate_caches();
    // Kind, access mode, texts, bounds or entries of one feature.
    [[nodiscard]] GenicamResult<genicam::FeatureInfo> feature_info(std::string_view name);

    // The value of chunk feature `name` (ChunkTimestamp, ChunkExposureTime, ...) as `frame`
    // carries it, by the feature's kind: the registers on chunk ports read the frame's chunks,
    // all other nodes the device as usual. NotAvailable when the frame lacks the chunk.
    [[nodiscard]] GenicamResult<FeatureValue> chunk_value(const gige::stream::Frame& frame, std::string_view name);

    // Subscribes to the device's events, opening its message channel towards the connection
    // first (once per connection): every event received after this returns reaches the
    // subscription, which holds up to `capacity` of them. Needs a live connection.
    [[nodiscard]] CameraResult<EventSubscription> subscribe_events(std::size_t capacity);

    // Fills in the stream's payload size from the PayloadSize feature, unless already given.
    [[nodiscard]] GenicamResult<void> fill_payload_size(gige::stream::StreamOptions& options);

private:
    // The feature-access check, the name lookup, then `fn(model, id, port)`.
    template <class Fn>
    auto on_feature(std::string_view name, Fn&& fn);

    std::unique_ptr<device::GigECamera> camera_;
};

}  // namespace korvalite::device
