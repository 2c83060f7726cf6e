#pragma once
// The description bytes a camera keeps across reconnects, and what they were fetched from, so
// that a later connection reuses them only when the device still serves the same file.
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "korvalite/device/layers.hpp"
#include "korvalite/gige/proto/bootstrap.hpp"
#include "korvalite/gige/proto/bytes.hpp"

namespace korvalite::device {

// Who a device is, as far as its description goes. The MAC address and serial number tell one
// device from another; maker, model and firmware version tell one firmware from another.
struct DeviceIdentity {
    std::array<std::uint8_t, 6> mac{};
    std::string serial;
    std::string manufacturer;
    std::string model;
    std::string device_version;

    static DeviceIdentity of(const proto::DeviceInfo& info) {
        return {info.mac, info.serial, info.manufacturer, info.model, info.device_version};
    }
    // Another MAC address or serial number: another device.
    bool same_device(const DeviceIdentity& other) const { return mac == other.mac && serial == other.serial; }
    bool operator==(const DeviceIdentity&) const = default;
};

// Where a description came from: the texts of both URL registers (nullopt when unreadable) and
// the device that served them.
struct DescriptionOrigin {
    std::optional<std::string> first_url;
    std::optional<std::string> second_url;
    DeviceIdentity device;
    bool operator==(const DescriptionOrigin&) const = default;
};

struct DescriptionCache {
    std::shared_ptr<const proto::ByteVec> bytes;
    // Unknown for bytes handed in from outside: those serve only the connection they were given on.
    std::optional<DescriptionOrigin> origin;
    // The bytes came from a file on the host, which may change while its URL stays the same.
    bool from_host_file = false;

    // Whether the bytes are what a device of origin `now` serves, without fetching them. A URL
    // into device memory names the file's address and size, and the identity names the device and
    // its firmware, so equal origins mean the same file. A host file is read again instead: that
    // is cheap, and only its contents tell whether it changed.
    bool serves(const DescriptionOrigin& now) const { return bytes && origin && !from_host_file && *origin == now; }
};

}  // namespace korvalite::device
