#include "korvalite/error.hpp"

#include <cstring>

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
        case Kind::ConnectTimeout: return "connect timed out";
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
    e.transport_ = std::move(error);
    return e;
}

std::string GenicamError::message() const {
    switch (kind_) {
        case Kind::FeatureNotFound: return "feature '" + name_ + "' not found";
        case Kind::UnsupportedAccess: return "node '" + name_ + "' does not support this access";
        case Kind::NotAccessible: return "node '" + name_ + "' is not accessible this way (access mode)";
        case Kind::DanglingReference: return "dangling reference '" + name_ + "'";
        case Kind::CircularReference: return "circular reference through '" + name_ + "'";
        case Kind::Formula: return "formula in '" + name_ + "': " + detail_;
        case Kind::NoEnumEntry: return "enumeration '" + name_ + "' has no entry '" + detail_ + "'";
        case Kind::Description: return "device description: " + name_;
        case Kind::SnapTimeout: return "no frame arrived within the snap timeout";
        case Kind::Transport: return transport_ ? transport_->message() : std::string{};
        case Kind::NotAvailable: return "node '" + name_ + "' is not available";
        case Kind::InvalidValue: return "node '" + name_ + "': " + detail_;
        case Kind::TooDeep: return "evaluating '" + name_ + "': " + detail_;
    }
    return {};
}

}  // namespace korvalite
