#include "korvalite/error.hpp"

#include <cstring>
#include <string_view>

#include "korvalite/gvcp_status.hpp"
#include "korvalite/hex.hpp"

namespace korvalite {

CameraError CameraError::io(int os_errno, std::string text) {
    CameraError e(Kind::Io);
    e.os_errno_ = os_errno;
    e.text_ = std::move(text);
    return e;
}

CameraError CameraError::io_errno(int os_errno) {
    return io(os_errno, std::strerror(os_errno));
}

CameraError CameraError::connect_timeout(std::string address) {
    CameraError e(Kind::ConnectTimeout);
    e.text_ = std::move(address);
    return e;
}

CameraError CameraError::status(std::uint16_t command, std::uint16_t status) {
    CameraError e(Kind::Status);
    e.command_ = command;
    e.status_ = status;
    return e;
}

CameraError CameraError::malformed(std::string text) {
    CameraError e(Kind::Malformed);
    e.text_ = std::move(text);
    return e;
}

CameraError CameraError::unsupported(std::string text) {
    CameraError e(Kind::Unsupported);
    e.text_ = std::move(text);
    return e;
}

CameraError CameraError::thread_spawn(std::string text) {
    CameraError e(Kind::ThreadSpawn);
    e.text_ = std::move(text);
    return e;
}

std::string CameraError::message() const {
    switch (kind_) {
        case Kind::Io: return "io error: " + text_;
        case Kind::ConnectTimeout:
            return text_.empty() ? "connect timed out" : "connect timed out: no answer from " + text_;
        case Kind::NotConnected: return "driver is not connected";
        case Kind::AckTimeout: return "timed out waiting for acknowledge";
        case Kind::ControlDenied: return "device control is held by another application";
        case Kind::ControlLost: return "device control was lost (heartbeat failed)";
        case Kind::Status:
            return "device answered command " + hex_code(command_, 4) + " with " +
                   GvcpStatus{status_}.display();
        case Kind::Malformed: return "malformed packet: " + text_;
        case Kind::Unsupported: return "device does not support " + text_;
        case Kind::ThreadSpawn: return "worker thread failed to start: " + text_;
    }
    return {};
}

GenicamError GenicamError::transport(CameraError error) {
    GenicamError e(Kind::Transport, {});
    e.extra_ = std::make_shared<const Extra>(Extra{std::move(error), {}, {}});
    return e;
}

const std::optional<CameraError>& GenicamError::transport_error() const {
    static const std::optional<CameraError> kNone;
    return extra_ ? extra_->transport : kNone;
}

GenicamError GenicamError::no_enum_entry(std::string enumeration, std::string entry, std::vector<std::string> available) {
    GenicamError e(Kind::NoEnumEntry, std::move(enumeration), std::move(entry));
    e.extra_ = std::make_shared<const Extra>(Extra{{}, {}, std::move(available)});
    return e;
}

const std::optional<std::vector<std::string>>& GenicamError::available_entries() const {
    static const std::optional<std::vector<std::string>> kNone;
    return extra_ ? extra_->entries : kNone;
}

const std::string& GenicamError::feature() const {
    static const std::string kNone;
    return extra_ ? extra_->feature : kNone;
}

bool GenicamError::operator==(const GenicamError& other) const {
    return kind_ == other.kind_ && name_ == other.name_ && detail_ == other.detail_ &&
           transport_error() == other.transport_error() && feature() == other.feature() &&
           available_entries() == other.available_entries();
}

GenicamError GenicamError::device_refused(std::string feature, std::string value, CameraError error) {
    GenicamError e(Kind::DeviceRefused, std::move(feature), std::move(value));
    e.extra_ = std::make_shared<const Extra>(Extra{std::move(error), {}, {}});
    return e;
}

GenicamError GenicamError::in_feature(std::string feature) && {
    extra_ = std::make_shared<const Extra>(Extra{transport_error(), std::move(feature), available_entries()});
    return std::move(*this);
}

std::string GenicamError::message() const {
    std::string text = bare_message();
    const std::string& asked = feature();
    const bool named = kind_ == Kind::FeatureNotFound || kind_ == Kind::Refused || kind_ == Kind::DeviceRefused ||
                       name_ == asked;
    if (asked.empty() || named) return text;
    return asked + ": " + text;
}

std::string GenicamError::bare_message() const {
    switch (kind_) {
        case Kind::FeatureNotFound: return "feature '" + name_ + "' not found";
        case Kind::UnsupportedAccess: {
            std::string text = "node '" + name_ + "' does not support this access";
            if (detail_.empty()) return text;
            const bool vowel = std::string_view("aeiou").find(detail_.front()) != std::string_view::npos;
            return text + ": " + name_ + (vowel ? " is an " : " is a ") + detail_ + " feature";
        }
        case Kind::NotAccessible: return "node '" + name_ + "' is not accessible this way (access mode)";
        case Kind::DanglingReference: return "dangling reference '" + name_ + "'";
        case Kind::CircularReference: return "circular reference through '" + name_ + "'";
        case Kind::Formula: return "formula in '" + name_ + "': " + detail_;
        case Kind::NoEnumEntry: {
            std::string text = "enumeration '" + name_ + "' has no entry '" + detail_ + "'";
            if (const auto& entries = available_entries()) text += "; " + available_entries_text(*entries);
            return text;
        }
        case Kind::Description: return "device description: " + name_;
        case Kind::SnapTimeout:
            return std::string("no frame arrived within the snap timeout") + (detail_.empty() ? "" : ": " + detail_);
        case Kind::Transport: return transport_error() ? transport_error()->message() : std::string{};
        case Kind::NotAvailable: return "node '" + name_ + "' is not available";
        case Kind::InvalidValue: return "node '" + name_ + "': " + detail_;
        case Kind::TooDeep: return "evaluating '" + name_ + "': " + detail_;
        case Kind::Refused: return name_ + " = " + detail_;
        case Kind::DeviceRefused:
            return name_ + " = " + detail_ + ": " + (transport_error() ? transport_error()->message() : std::string{});
    }
    return {};
}

std::string available_entries_text(const std::vector<std::string>& names) {
    constexpr std::size_t kShown = 20;
    if (names.empty()) return "no entry is available now";
    std::string text = "available entries: ";
    for (std::size_t i = 0; i < names.size() && i < kShown; ++i) text += (i ? ", " : "") + names[i];
    if (names.size() > kShown) text += " and " + std::to_string(names.size() - kShown) + " more";
    return text;
}

}  // namespace korvalite
