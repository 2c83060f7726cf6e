#include "korvalite/device/gige_camera.hpp"

#include <thread>

#include "korvalite/device/description_file.hpp"
#include "korvalite/device/fetch_device_info.hpp"
#include "korvalite/device/layers.hpp"
#include "korvalite/genicam/registers.hpp"
#include "korvalite/genicam/url.hpp"
#include "korvalite/genicam/xml.hpp"
#include "korvalite/genicam/zip.hpp"
#include "korvalite/gige/proto/gvcp.hpp"
#include "korvalite/hex.hpp"
#include "korvalite/log.hpp"
#include "korvalite/saturating_time.hpp"
#include "korvalite/utf8.hpp"

namespace korvalite::device {

namespace {

using log::Level;
namespace reg = proto::reg;

// The privilege write's failures as connecting to `device` reports them.
CameraError translate_privilege_error(CameraError error, const net::Endpoint& device) {
    if (error.kind() == CameraError::Kind::AckTimeout) return CameraError::connect_timeout(device.to_string());
    if (error.kind() == CameraError::Kind::Status &&
        (error.status_code() == proto::status::kWriteProtect || error.status_code() == proto::status::kAccessDenied))
        return CameraError::control_denied();
    return error;
}

// The text up to the first zero byte, decoded as UTF-8 with replacement.
std::string zero_terminated_text(std::span<const std::byte> bytes) {
    std::size_t n = 0;
    while (n < bytes.size() && bytes[n] != std::byte{0}) ++n;
    return utf8_lossy(bytes.first(n));
}

CameraError no_url() { return CameraError::malformed("no GenICam URL"); }

// How long the device says one PENDING_ACK may last (its pending-timeout register); zero when it
// does not announce PENDING_ACK or the register cannot be read.
std::chrono::milliseconds pending_ack_limit(const ControlPort& port, const proto::GvcpCapability& capability) {
    if (!capability.pending_ack()) return std::chrono::milliseconds(0);
    auto limit = wait_plain(port.read_register(reg::kPendingTimeout), port.wait_timeout());
    if (!limit) {
        KORVALITE_LOG(log::targets::gige, Level::Debug, "pending timeout unreadable: " + limit.error().message());
        return std::chrono::milliseconds(0);
    }
    return std::chrono::milliseconds(*limit);
}

}  // namespace

ConnectionState GigECamera::state() const {
    if (!connection_) return ConnectionState::Disconnected;
    return connection_->is_alive() ? ConnectionState::Connected : ConnectionState::Dead;
}

std::optional<CameraError> GigECamera::connection_error() const {
    if (!connection_) return CameraError::not_connected();
    if (!connection_->is_alive()) return connection_->dead_error();
    return std::nullopt;
}

CameraResult<void> GigECamera::connect(ConnectAbort* abort) {
    if (connection_) {
        if (connection_->is_alive()) return {};
        connection_.reset();  // joins the dead worker
    }
    gige::WorkerSettings worker;
    worker.thread = settings_.thread;
    worker.gvcp_timeout = settings_.gvcp_timeout;
    worker.device = settings_.device;
    if (settings_.local_ip) worker.local = net::Endpoint{*settings_.local_ip, 0};
    worker.heartbeat_timeout_ms = settings_.heartbeat_timeout_ms;
    worker.retries = settings_.retries;
    auto channel = gige::start_control_channel(worker);
    if (!channel) return std::unexpected(channel.error());
    if (abort) abort->attach([port = channel->port] { (void)port.request_shutdown(); });
    // On any failure below, the channel goes out of scope: its worker is stopped and joined,
    // giving control back on its way out.
    auto connection = establish(std::move(*channel));
    if (!connection) return std::unexpected(connection.error());
    KORVALITE_LOG(log::targets::gige, Level::Debug, "connected",
                  {{"addr", settings_.device.to_string()},
                   {"model", connection->device_info.model},
                   {"serial", connection->device_info.serial}});
    note_identity(connection->device_info);
    connection_ = std::make_unique<Connection>(std::move(*connection));
    // The device may have changed while no connection watched it: nothing read before counts.
    if (model_) genicam::clear_register_caches(*model_);
    return {};
}

CameraResult<Connection> GigECamera::establish(ControlChannel channel) {
    const ControlPort& port = channel.port;
    const Duration wait = port.wait_timeout();
    const std::uint32_t privilege = settings_.exclusive ? (reg::kCcpControl | reg::kCcpExclusive) : reg::kCcpControl;
    if (auto r = wait_plain(port.write_register(reg::kControlChannelPrivilege, privilege), wait); !r)
        return std::unexpected(translate_privilege_error(r.error(), settings_.device));
    if (auto r = wait_plain(port.write_register(reg::kHeartbeatTimeout, settings_.heartbeat_timeout_ms), wait); !r)
        return std::unexpected(r.error());
    // The capability decides how everything after it travels, so it is read first, alone.
    auto capability = wait_plain(port.read_register(reg::kGvcpCapability), wait);
    if (!capability) return std::unexpected(capability.error());
    const proto::GvcpCapability gvcp{*capability};
    (void)port.apply_device_rules(gvcp, pending_ack_limit(port, gvcp));
    auto info = fetch_device_info(port, wait);
    if (!info) return std::unexpected(info.error());
    return Connection{std::move(channel), std::move(*info), settings_.device, *capability, PacketSizeMemo{}, false};
}

void GigECamera::note_identity(const proto::DeviceInfo& info) {
    DeviceIdentity now = DeviceIdentity::of(info);
    if (last_device_ && !last_device_->same_device(now)) {
        proto::DeviceInfo before;
        before.mac = last_device_->mac;
        KORVALITE_LOG(log::targets::gige, Level::Warn, "connected to a different device than before",
                      {{"addr", settings_.device.to_string()},
                       {"previous_mac", before.mac_text()},
                       {"previous_serial", last_device_->serial},
                       {"mac", info.mac_text()},
                       {"serial", info.serial}});
        model_.reset();
        description_cache_ = {};
    }
    last_device_ = std::move(now);
}

void GigECamera::set_description_cache(std::shared_ptr<const proto::ByteVec> bytes) {
    if (bytes != description_cache_.bytes) model_.reset();
    description_cache_ = {std::move(bytes), std::nullopt, false};
    if (connection_) connection_->description_checked = true;
}

void GigECamera::disconnect(Duration deadline) {
    std::unique_ptr<Connection> connection = std::move(connection_);
    if (!connection) return;
    KORVALITE_LOG(log::targets::gige, Level::Debug, "disconnecting", {{"addr", connection->device.to_string()}});
    if (connection->is_alive()) (void)connection->port().request_shutdown();
    const auto until = saturating_deadline(std::chrono::steady_clock::now(), deadline);
    while (connection->is_alive() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    connection->channel.worker.stop_and_join();
}

CameraResult<proto::ByteVec> GigECamera::genicam_xml() {
    if (auto error = connection_error()) return std::unexpected(*error);
    auto fetched = fetch_description();
    if (!fetched) return std::unexpected(std::move(fetched.error()));
    return std::move(fetched->bytes);
}

CameraResult<GigECamera::Fetched> GigECamera::fetch_description(const DescriptionOrigin* known) {
    const std::optional<std::string> none;
    auto first = description_from(reg::kFirstUrl, known ? known->first_url : none);
    if (first) return first;
    KORVALITE_LOG(log::targets::gige, Level::Debug,
                  "GenICam URL at " + hex_code(reg::kFirstUrl, 1) + " failed: " + first.error().message());
    auto second = description_from(reg::kSecondUrl, known ? known->second_url : none);
    if (second) return second;
    if (second.error() == no_url()) return first;  // nothing to fall back to: the first's failure is the one
    KORVALITE_LOG(log::targets::gige, Level::Debug,
                  "GenICam URL at " + hex_code(reg::kSecondUrl, 1) + " failed: " + second.error().message());
    return second;
}

GenicamResult<void> GigECamera::ensure_genicam() {
    if (auto error = connection_error()) return std::unexpected(GenicamError::transport(*error));
    if (model_ && connection_->description_checked) return {};
    if (model_ && !description_cache_.bytes) {
        connection_->description_checked = true;  // a model handed in from outside: nothing to check it against
        return {};
    }
    DescriptionCache next;
    auto bytes = current_description(next);
    if (!bytes) return std::unexpected(GenicamError::transport(bytes.error()));
    if (*bytes != description_cache_.bytes) model_.reset();  // built from what the device no longer serves
    if (!model_) {
        auto model = genicam::parse_description(utf8_lossy(**bytes));
        if (!model) {
            description_cache_ = {};  // not cached: the next try fetches again
            return std::unexpected(model.error());
        }
        KORVALITE_LOG(log::targets::gige, Level::Debug, "GenICam feature model loaded");
        if (auto error = connection_error()) return std::unexpected(GenicamError::transport(*error));
        model_ = std::make_unique<genicam::Genicam>(std::move(*model));
    }
    description_cache_ = std::move(next);
    connection_->description_checked = true;
    return {};
}

CameraResult<std::shared_ptr<const proto::ByteVec>> GigECamera::current_description(DescriptionCache& next) {
    if (connection_->description_checked && description_cache_.bytes) {
        next = description_cache_;
        return next.bytes;
    }
    DescriptionOrigin origin = description_origin();
    if (description_cache_.serves(origin)) {
        next = description_cache_;
        return next.bytes;
    }
    // The URL texts just read are used again, so a fetch reads only the description itself.
    auto fetched = fetch_description(&origin);
    if (!fetched) return std::unexpected(std::move(fetched.error()));
    next.origin = std::move(origin);
    next.from_host_file = fetched->from_host_file;
    // Unchanged bytes keep their buffer, and with it the model built from them.
    if (description_cache_.bytes && *description_cache_.bytes == fetched->bytes) next.bytes = description_cache_.bytes;
    else next.bytes = std::make_shared<const proto::ByteVec>(std::move(fetched->bytes));
    return next.bytes;
}

DescriptionOrigin GigECamera::description_origin() {
    const auto text = [&](std::uint32_t url_register) -> std::optional<std::string> {
        auto read = url_text(url_register);
        return read ? std::optional(std::move(*read)) : std::nullopt;
    };
    return {text(reg::kFirstUrl), text(reg::kSecondUrl), DeviceIdentity::of(connection_->device_info)};
}

CameraResult<std::string> GigECamera::url_text(std::uint32_t url_register) {
    const ControlPort& port = connection_->port();
    auto url_bytes = wait_plain(port.read_memory(url_register, reg::kUrlSize), port.memory_wait(reg::kUrlSize));
    if (!url_bytes) return std::unexpected(url_bytes.error());
    return zero_terminated_text(*url_bytes);
}

CameraResult<GigECamera::Fetched> GigECamera::description_from(std::uint32_t url_register,
                                                               const std::optional<std::string>& known_text) {
    auto read = known_text ? CameraResult<std::string>(*known_text) : url_text(url_register);
    if (!read) return std::unexpected(read.error());
    const std::string& text = *read;
    if (text.empty()) return std::unexpected(no_url());
    auto url = genicam::XmlUrl::parse(text);
    if (!url) return std::unexpected(CameraError::malformed(url.error()));

    const ControlPort& port = connection_->port();
    const auto* file = std::get_if<genicam::XmlUrl::File>(&url->location);
    CameraResult<proto::ByteVec> bytes;
    if (auto* local = std::get_if<genicam::XmlUrl::Local>(&url->location)) {
        if (local->address > 0xFFFFFFFFu) return std::unexpected(CameraError::malformed("XML address beyond 32 bit"));
        if (local->size > genicam::kMaxEntrySize)
            return std::unexpected(CameraError::malformed("XML size " + std::to_string(local->size) + " too large"));
        const auto length = static_cast<std::uint32_t>(local->size);
        bytes = wait_plain(port.read_memory(static_cast<std::uint32_t>(local->address), length),
                           port.memory_wait(length));
    } else if (file) {
        bytes = read_description_file(file->path);
    } else {
        return std::unexpected(CameraError::unsupported("http-hosted GenICam XML"));
    }
    if (!bytes) return std::unexpected(std::move(bytes.error()));
    if (url->is_zip()) {
        auto unpacked = genicam::extract_first_file(*bytes);
        if (!unpacked) return std::unexpected(CameraError::malformed(unpacked.error()));
        return Fetched{std::move(*unpacked), file != nullptr};
    }
    return Fetched{std::move(*bytes), file != nullptr};
}

}  // namespace korvalite::device
