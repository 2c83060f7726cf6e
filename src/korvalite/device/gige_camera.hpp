#pragma once
// One GigE Vision device: its connection settings, the live connection (control worker,
// identity, capability), the feature model and the cached description. The model and the
// cache belong to the camera, not to the connection: they survive a disconnect, and each new
// connection checks that the device still serves the description they came from.
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

#include "korvalite/device/camera_settings.hpp"
#include "korvalite/device/connection_state.hpp"
#include "korvalite/device/connect_abort.hpp"
#include "korvalite/device/description_cache.hpp"
#include "korvalite/device/layers.hpp"
#include "korvalite/device/packet_size_memo.hpp"
#include "korvalite/error.hpp"
#include "korvalite/genicam/graph.hpp"
#include "korvalite/gige/control/control_channel.hpp"
#include "korvalite/gige/proto/bootstrap.hpp"
#include "korvalite/gige/proto/bytes.hpp"
#include "korvalite/gige/stream/options.hpp"
#include "korvalite/gige/stream/stream_channel.hpp"
#include "korvalite/net/address.hpp"
#include "korvalite/thread_util.hpp"

namespace korvalite::device {

// A live connection: present from a successful connect until disconnect, or until a later
// connect finds it dead. Dropping it stops and joins the control worker.
struct Connection {
    ControlChannel channel;
    proto::DeviceInfo device_info;
    net::Endpoint device;
    std::uint32_t gvcp_capability = 0;
    // Negotiated stream packet sizes; a new connection starts without any.
    PacketSizeMemo packet_sizes;
    // The warning that the system limit caps the stream receive buffer was given.
    bool receive_buffer_capped_told = false;
    // The device's message channel points at the control socket (or it has none).
    bool message_channel_open = false;
    // The cached description and the model were found to be what the device serves now.
    bool description_checked = false;

    proto::GvcpCapability capability() const { return {gvcp_capability}; }

    const ControlPort& port() const { return channel.port; }
    bool is_alive() const { return channel.worker.is_alive(); }
    // The error every operation meets on this connection once its worker has ended.
    CameraError dead_error() const {
        return channel.shared->control_lost.load() ? CameraError::control_lost() : CameraError::not_connected();
    }
};

class GigECamera {
public:
    explicit GigECamera(CameraSettings settings) : settings_(std::move(settings)) {}
    GigECamera(GigECamera&&) noexcept = default;
    GigECamera& operator=(GigECamera&&) noexcept = default;

    // Starts the worker, takes control privilege, arms the heartbeat, reads the capability and
    // the identity. Connecting while connected sends nothing; a dead connection is replaced.
    // A device with another MAC address or serial number than the last one connected is
    // reported in a WARNING, and the model and description of the old one are dropped.
    // With `abort`, the new worker is attached to it (the caller detaches it when done), so
    // another thread can end the connect.
    [[nodiscard]] CameraResult<void> connect(ConnectAbort* abort = nullptr);
    // Gives control back and joins the worker, waiting at most `deadline` for its confirmation.
    void disconnect(Duration deadline);
    // The description bytes (unzipped), from the first URL register that yields them.
    [[nodiscard]] CameraResult<proto::ByteVec> genicam_xml();
    // Loads the feature model unless one is present and checked on this connection. The cache
    // (and the model built from it) is kept when it serves the device as it is now (see
    // DescriptionCache::serves: both URL registers are read for that); otherwise the description
    // is fetched, and a model is built again only when its bytes differ from the cached ones.
    // Needs a live connection; the model is stored only if the connection is still live.
    [[nodiscard]] GenicamResult<void> ensure_genicam();

    // The feature model, or nullptr before one is loaded. It survives disconnects.
    genicam::Genicam* model() { return model_.get(); }
    const genicam::Genicam* model() const { return model_.get(); }
    void set_model(std::unique_ptr<genicam::Genicam> model) { model_ = std::move(model); }

    // Binds the stream socket, programs the channel's stream registers and starts the receive
    // worker. Without a given packet size, the size negotiated earlier on this connection and
    // channel is written again; only when none is remembered is it negotiated (and remembered).
    [[nodiscard]] CameraResult<stream::StreamChannel> open_stream(const stream::StreamOptions& options);

    // Drops the remembered packet size of `channel`, so the next stream negotiates it again.
    void forget_packet_size(std::uint16_t channel) {
        if (connection_) connection_->packet_sizes.forget(channel);
    }

    ConnectionState state() const;
    const CameraSettings& settings() const { return settings_; }
    Connection* connection() { return connection_.get(); }
    const Connection* connection() const { return connection_.get(); }
    // No connection: NotConnected. A dead one: ControlLost or NotConnected. Else nothing.
    std::optional<CameraError> connection_error() const;

    // The description bytes as last fetched (shared, immutable), if any.
    const std::shared_ptr<const proto::ByteVec>& description_cache() const { return description_cache_.bytes; }
    // Bytes the caller vouches for as the description of the device connected now; a later
    // connection fetches the description again.
    void set_description_cache(std::shared_ptr<const proto::ByteVec> bytes);

private:
    // Description bytes and whether they came from a file on the host.
    struct Fetched {
        proto::ByteVec bytes;
        bool from_host_file = false;
    };

    [[nodiscard]] CameraResult<Connection> establish(ControlChannel channel);
    // Warns about and forgets a device other than the last one connected.
    void note_identity(const proto::DeviceInfo& info);
    // From the first URL register that yields a description; `known` holds texts already read.
    [[nodiscard]] CameraResult<Fetched> fetch_description(const DescriptionOrigin* known = nullptr);
    [[nodiscard]] CameraResult<Fetched> description_from(std::uint32_t url_register,
                                                         const std::optional<std::string>& known_text);
    [[nodiscard]] CameraResult<std::string> url_text(std::uint32_t url_register);
    DescriptionOrigin description_origin();
    // The bytes to build the model from: the cache when it serves the device, else fetched.
    [[nodiscard]] CameraResult<std::shared_ptr<const proto::ByteVec>> current_description(DescriptionCache& next);

    CameraSettings settings_;
    std::unique_ptr<Connection> connection_;
    DescriptionCache description_cache_;
    std::unique_ptr<genicam::Genicam> model_;
    std::optional<DeviceIdentity> last_device_;  // of the last successful connect
};

}  // namespace korvalite::device
