#include "korvalite/gige/proto/bootstrap.hpp"

#include <algorithm>

#include "korvalite/utf8.hpp"

namespace korvalite::gige::proto {

namespace {

Ipv4Bytes ipv4_at(ByteView block, std::size_t offset) {
    return {u8_at(block, offset), u8_at(block, offset + 1), u8_at(block, offset + 2), u8_at(block, offset + 3)};
}

std::string text_at(ByteView block, const std::pair<std::uint32_t, std::size_t>& field) {
    return string_reg(block, field.first, field.second);
}

}  // namespace

std::string string_reg(ByteView block, std::size_t offset, std::size_t width) {
    if (offset >= block.size()) return {};
    const ByteView field = block.subspan(offset, std::min(width, block.size() - offset));
    const auto end = std::find(field.begin(), field.end(), std::byte{0});
    return utf8_lossy(field.first(static_cast<std::size_t>(end - field.begin())));
}

std::string dotted(const Ipv4Bytes& a) {
    return std::to_string(a[0]) + "." + std::to_string(a[1]) + "." + std::to_string(a[2]) + "." +
           std::to_string(a[3]);
}

std::optional<DeviceInfo> DeviceInfo::parse(ByteView block) {
    if (block.size() < DISCOVERY_DATA_SIZE) return std::nullopt;
    DeviceInfo info;
    info.spec_version = {u16_at(block, reg::kVersion), u16_at(block, reg::kVersion + 2)};
    info.device_mode = u32_at(block, reg::kDeviceMode);
    for (std::size_t i = 0; i < info.mac.size(); ++i) info.mac[i] = u8_at(block, reg::kMacHigh + 2 + i);
    info.ip_config_options = u32_at(block, reg::kIpConfigOptions);
    info.ip_config_current = u32_at(block, reg::kIpConfigCurrent);
    info.ip = ipv4_at(block, reg::kCurrentIp);
    info.subnet_mask = ipv4_at(block, reg::kSubnetMask);
    info.gateway = ipv4_at(block, reg::kGateway);
    info.manufacturer = text_at(block, text_field::kManufacturer);
    info.model = text_at(block, text_field::kModel);
    info.device_version = text_at(block, text_field::kDeviceVersion);
    info.manufacturer_info = text_at(block, text_field::kManufacturerInfo);
    info.serial = text_at(block, text_field::kSerial);
    info.user_defined_name = text_at(block, text_field::kUserDefinedName);
    return info;
}

std::string DeviceInfo::mac_text() const {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < mac.size(); ++i) {
        if (i > 0) out += ':';
        out += kDigits[mac[i] >> 4];
        out += kDigits[mac[i] & 0xF];
    }
    return out;
}

}  // namespace korvalite::gige::proto
