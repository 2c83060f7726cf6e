#pragma once
// The feature facade: where a feature name meets the node graph. Each operation checks that
// the camera is connected, its control worker alive and its feature model loaded, resolves the
// name, and runs one read or write of the graph with the connection's control port as the
// device port. The owner serialises all calls (the graph changes even on reads).
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "korvalite/device/feature_port.hpp"
#include "korvalite/device/gige_camera.hpp"
#include "korvalite/device/layers.hpp"
#include "korvalite/error.hpp"
#include "korvalite/genicam/feature_info.hpp"
#include "korvalite/genicam/graph.hpp"
#include "korvalite/genicam/port.hpp"
#include "korvalite/gige/stream/frame.hpp"
#include "korvalite/gige/stream/options.hpp"

namespace korvalite::device {

// A feature's value by its kind: integer, float, boolean, or text (an enumeration's entry name,
// a string).
using FeatureValue = std::variant<std::int64_t, double, bool, std::string>;

class GenICamera {
public:
    explicit GenICamera(device::CameraSettings settings) : camera_(std::move(settings)) {}

    device::GigECamera& gige() { return camera_; }
    const device::GigECamera& gige() const { return camera_; }

    // Connects and loads the feature model. When the model cannot be loaded, control is given
    // back and the connection closed, so a failed connect leaves the camera not connected.
    // `abort` lets another thread end it (see ConnectAbort); an ended connect leaves the camera
    // not connected too.
    GenicamResult<void> connect(ConnectAbort* abort = nullptr);

    // All node names in id order. Needs a connection (alive or not) and a model.
    GenicamResult<std::vector<std::string>> feature_names() const;
    // Whether a connection (alive or not) and a model exist and the name resolves; never fails.
    bool has_feature(std::string_view name) const;

    GenicamResult<std::int64_t> get_integer(std::string_view name);
    GenicamResult<void> set_integer(std::string_view name, std::int64_t value);
    GenicamResult<std::pair<std::int64_t, std::int64_t>> integer_bounds(std::string_view name);
    GenicamResult<std::int64_t> integer_increment(std::string_view name);

    GenicamResult<double> get_float(std::string_view name);
    GenicamResult<void> set_float(std::string_view name, double value);
    GenicamResult<std::pair<double, double>> float_bounds(std::string_view name);

    GenicamResult<bool> get_boolean(std::string_view name);
    GenicamResult<void> set_boolean(std::string_view name, bool value);

    GenicamResult<std::string> get_string(std::string_view name);
    GenicamResult<void> set_string(std::string_view name, std::string_view value);

    // The name of the current entry (for a String or a string register: its text).
    GenicamResult<std::string> get_enum(std::string_view name);
    GenicamResult<void> set_enum(std::string_view name, std::string_view entry);
    GenicamResult<std::vector<std::string>> enum_entries(std::string_view name);

    GenicamResult<void> execute(std::string_view name);
    GenicamResult<AccessMode> access_mode(std::string_view name);

    // Empties every register cache, so the next read of each goes to the device.
    GenicamResult<void> invalidate_caches();
    // Kind, access mode, texts, bounds or entries of one feature.
    GenicamResult<genicam::FeatureInfo> feature_info(std::string_view name);

    // The value of chunk feature `name` (ChunkTimestamp, ChunkExposureTime, ...) as `frame`
    // carries it, by the feature's kind: the registers on chunk ports read the frame's chunks,
    // all other nodes the device as usual. NotAvailable when the frame lacks the chunk.
    GenicamResult<FeatureValue> chunk_value(const gige::stream::Frame& frame, std::string_view name);

    // Fills in the stream's payload size from the PayloadSize feature, unless already given.
    GenicamResult<void> fill_payload_size(gige::stream::StreamOptions& options);

private:
    struct Access {
        Genicam& model;
        FeaturePort port;
    };

    // The feature-access check: a live connection, then a loaded model.
    GenicamResult<Access> access();
    // The check, the name lookup, then `fn(model, id, port)`.
    template <class Fn>
    auto on_feature(std::string_view name, Fn&& fn) -> decltype(fn(std::declval<Genicam&>(), NodeId{},
                                                                    std::declval<PortIo&>()));
    // The model, when a connection record (alive or not) exists.
    const Genicam* kept_model() const;

    device::GigECamera camera_;
};

}  // namespace korvalite::device
