#pragma once
// The two error kinds of the system. Every fallible operation returns std::expected with one of
// them; their message() is the exact display text that logs and Python exceptions carry.
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace korvalite {

class CameraError {
public:
    enum class Kind {
        Io,
        ConnectTimeout,
        NotConnected,
        AckTimeout,
        ControlDenied,
        ControlLost,
        Status,
        Malformed,
        Unsupported,
        ThreadSpawn,
    };

    // An operating-system failure: errno (0 when the text does not come from errno) and its text.
    static CameraError io(int os_errno, std::string text);
    // An operating-system failure described by errno alone (text from strerror).
    static CameraError io_errno(int os_errno);
    // `address` ("192.168.1.20:3956"), when known, is the device that did not answer.
    static CameraError connect_timeout(std::string address = {});
    static CameraError not_connected() { return CameraError(Kind::NotConnected); }
    static CameraError ack_timeout() { return CameraError(Kind::AckTimeout); }
    static CameraError control_denied() { return CameraError(Kind::ControlDenied); }
    static CameraError control_lost() { return CameraError(Kind::ControlLost); }
    static CameraError status(std::uint16_t command, std::uint16_t status);
    static CameraError malformed(std::string text);
    static CameraError unsupported(std::string text);
    static CameraError thread_spawn(std::string text);

    Kind kind() const { return kind_; }
    // Io: errno (0 when not from the OS). Status: command and status codes.
    int os_errno() const { return os_errno_; }
    std::uint16_t command() const { return command_; }
    std::uint16_t status_code() const { return status_; }
    // The payload text of Io, Malformed, Unsupported and ThreadSpawn; ConnectTimeout: the address.
    const std::string& text() const { return text_; }

    std::string message() const;
    bool operator==(const CameraError&) const = default;

private:
    explicit CameraError(Kind kind) : kind_(kind) {}
    Kind kind_;
    int os_errno_ = 0;
    std::uint16_t command_ = 0;
    std::uint16_t status_ = 0;
    std::string text_;
};

// A transport error reported through a completion slot: the slot and the waiting caller both
// hold it. Converting back with `unshare` yields the same error, whoever else still holds it.
using SharedCameraError = std::shared_ptr<const CameraError>;
inline SharedCameraError share(CameraError error) {
    return std::make_shared<const CameraError>(std::move(error));
}
inline CameraError unshare(const SharedCameraError& error) { return *error; }

class GenicamError {
public:
    enum class Kind {
        FeatureNotFound,
        UnsupportedAccess,
        NotAccessible,
        DanglingReference,
        CircularReference,
        Formula,
        NoEnumEntry,
        Description,
        SnapTimeout,
        Transport,
        NotAvailable,
        InvalidValue,
        TooDeep,
        Refused,
        DeviceRefused,
    };

    static GenicamError feature_not_found(std::string name) { return {Kind::FeatureNotFound, std::move(name)}; }
    // `kind` (when known) is the node's feature kind as feature_kind_name gives it ("integer").
    static GenicamError unsupported_access(std::string node, std::string kind = {}) {
        return {Kind::UnsupportedAccess, std::move(node), std::move(kind)};
    }
    static GenicamError not_accessible(std::string node) { return {Kind::NotAccessible, std::move(node)}; }
    static GenicamError dangling_reference(std::string name) { return {Kind::DanglingReference, std::move(name)}; }
    static GenicamError circular_reference(std::string name) { return {Kind::CircularReference, std::move(name)}; }
    static GenicamError formula(std::string node, std::string description) {
        return {Kind::Formula, std::move(node), std::move(description)};
    }
    static GenicamError no_enum_entry(std::string enumeration, std::string entry) {
        return {Kind::NoEnumEntry, std::move(enumeration), std::move(entry)};
    }
    // The same, listing the entries that are available now.
    static GenicamError no_enum_entry(std::string enumeration, std::string entry, std::vector<std::string> available);
    static GenicamError description(std::string text) { return {Kind::Description, std::move(text)}; }
    // `why` (when known) says what the camera waits for.
    static GenicamError snap_timeout(std::string why = {}) { return {Kind::SnapTimeout, {}, std::move(why)}; }
    // The node is not implemented or not available now (its conditions, or a chunk or event
    // register, which device memory does not hold).
    static GenicamError not_available(std::string node) { return {Kind::NotAvailable, std::move(node)}; }
    // The device holds a value the node has no meaning for.
    static GenicamError invalid_value(std::string node, std::string description) {
        return {Kind::InvalidValue, std::move(node), std::move(description)};
    }
    // Evaluating `feature` followed more references than the model allows.
    static GenicamError too_deep(std::string feature, std::string description) {
        return {Kind::TooDeep, std::move(feature), std::move(description)};
    }
    static GenicamError transport(CameraError error);
    // A write of `value` (as text) to `feature` refused before it reached the device, by `rule`
    // ("is out of range [0.0, 24.0]").
    static GenicamError refused(std::string feature, std::string value, std::string rule) {
        return {Kind::Refused, std::move(feature), std::move(value) + " " + std::move(rule)};
    }
    // The device answered a write of `value` to `feature` with `error`.
    static GenicamError device_refused(std::string feature, std::string value, CameraError error);

    // The same error, said of `feature`, the feature the caller asked for: the message starts
    // with it unless the error already names it.
    GenicamError in_feature(std::string feature) &&;

    Kind kind() const { return kind_; }
    // The name or text of the payload: feature, node, referenced name, enumeration, or description text.
    const std::string& name() const { return name_; }
    // Formula, InvalidValue, TooDeep: the fault description. NoEnumEntry: the entry text.
    // UnsupportedAccess: the node's feature kind, when known.
    const std::string& detail() const { return detail_; }
    // Transport and DeviceRefused: the wrapped transport error.
    const std::optional<CameraError>& transport_error() const;
    // The feature the caller asked for, when the error was raised on its behalf; else empty.
    const std::string& feature() const;
    // NoEnumEntry: the entries available now, when known.
    const std::optional<std::vector<std::string>>& available_entries() const;

    std::string message() const;
    bool operator==(const GenicamError& other) const;

private:
    // What few errors carry, kept apart so that the results passed up every level of an
    // evaluation stay small.
    struct Extra {
        std::optional<CameraError> transport;
        std::string feature;
        std::optional<std::vector<std::string>> entries;
    };

    // The message without the feature in front.
    std::string bare_message() const;
    GenicamError(Kind kind, std::string name, std::string detail = {})
        : kind_(kind), name_(std::move(name)), detail_(std::move(detail)) {}
    Kind kind_;
    std::string name_;
    std::string detail_;
    std::shared_ptr<const Extra> extra_;
};

// "available entries: A, B, C" (the first 20, then "and N more"), or "no entry is available now".
std::string available_entries_text(const std::vector<std::string>& names);

template <class T>
using CameraResult = std::expected<T, CameraError>;
template <class T>
using GenicamResult = std::expected<T, GenicamError>;

}  // namespace korvalite
