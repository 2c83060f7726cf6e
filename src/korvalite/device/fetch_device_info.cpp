#include "korvalite/device/fetch_device_info.hpp"

#include "korvalite/device/layers.hpp"
#include "korvalite/hex.hpp"
#include "korvalite/log.hpp"

namespace korvalite::device {

namespace {

using proto::reg::kCurrentIp, proto::reg::kDeviceMode, proto::reg::kGateway, proto::reg::kIpConfigCurrent,
    proto::reg::kIpConfigOptions, proto::reg::kMacHigh, proto::reg::kMacLow, proto::reg::kSubnetMask,
    proto::reg::kVersion;

proto::Ipv4Bytes ipv4_of(std::uint32_t value) {
    return {static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
            static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
}

// One text field; a refused read yields an empty text.
CameraResult<std::string> read_text(const ControlPort& port, ControlPort::Duration wait,
                                    const std::pair<std::uint32_t, std::size_t>& field) {
    const auto [address, width] = field;
    auto bytes = wait_plain(port.read_memory(address, static_cast<std::uint32_t>(width)), wait);
    if (bytes) return proto::string_reg(*bytes, 0, width);
    if (bytes.error().kind() != CameraError::Kind::Status) return std::unexpected(std::move(bytes.error()));
    KORVALITE_LOG(log::targets::gige, log::Level::Trace,
                  "string register " + hex_code(address, 4) + " unreadable: " + bytes.error().message());
    return std::string{};
}

}  // namespace

CameraResult<proto::DeviceInfo> fetch_device_info(const ControlPort& port, ControlPort::Duration wait) {
    auto values = wait_plain(port.read_registers({kVersion, kDeviceMode, kMacHigh, kMacLow, kIpConfigOptions,
                                                  kIpConfigCurrent, kCurrentIp, kSubnetMask, kGateway}),
                             wait);
    if (!values) return std::unexpected(std::move(values.error()));
    if (values->size() != 9) return std::unexpected(CameraError::malformed("short bootstrap register read"));
    const auto& v = *values;

    proto::DeviceInfo info;
    info.spec_version = {static_cast<std::uint16_t>(v[0] >> 16), static_cast<std::uint16_t>(v[0] & 0xFFFF)};
    info.device_mode = v[1];
    info.mac = {static_cast<std::uint8_t>(v[2] >> 8), static_cast<std::uint8_t>(v[2]),
                static_cast<std::uint8_t>(v[3] >> 24), static_cast<std::uint8_t>(v[3] >> 16),
                static_cast<std::uint8_t>(v[3] >> 8), static_cast<std::uint8_t>(v[3])};
    info.ip_config_options = v[4];
    info.ip_config_current = v[5];
    info.ip = ipv4_of(v[6]);
    info.subnet_mask = ipv4_of(v[7]);
    info.gateway = ipv4_of(v[8]);

    namespace f = proto::text_field;
    std::string* const targets[] = {&info.manufacturer, &info.model,  &info.device_version,
                                    &info.manufacturer_info, &info.serial, &info.user_defined_name};
    const std::pair<std::uint32_t, std::size_t> fields[] = {f::kManufacturer,     f::kModel,  f::kDeviceVersion,
                                                            f::kManufacturerInfo, f::kSerial, f::kUserDefinedName};
    for (std::size_t i = 0; i < std::size(fields); ++i) {
        auto text = read_text(port, wait, fields[i]);
        if (!text) return std::unexpected(std::move(text.error()));
        *targets[i] = std::move(*text);
    }
    return info;
}

}  // namespace korvalite::device
