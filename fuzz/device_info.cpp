// A device's identity block as discovery or a bootstrap read returns it, and the text fields in
// it: the whole input is the block, and numbers from its back pick one more field to decode.
#include <algorithm>
#include <string>

#include "fuzz_support.hpp"
#include "korvalite/gige/proto/bootstrap.hpp"
#include "korvalite/utf8.hpp"

using namespace korvalite;
using namespace korvalite::gige::proto;

namespace {

// Valid UTF-8 decodes to itself, so decoding the text again must not change it.
bool is_clean_text(const std::string& text) {
    return text.find('\0') == std::string::npos && utf8_lossy(as_bytes(text)) == text;
}

// Every byte becomes at most one 3-byte replacement, so a field of `width` bytes gives at most
// three times as many.
void check_field(const std::string& text, ByteView block, std::uint32_t offset, std::size_t width) {
    KORVALITE_FUZZ_CHECK(is_clean_text(text));
    KORVALITE_FUZZ_CHECK(text.size() <= 3 * width);
    KORVALITE_FUZZ_CHECK(text == string_reg(block, offset, width));
}

void check_device_info(ByteView block) {
    const auto info = DeviceInfo::parse(block);
    KORVALITE_FUZZ_CHECK(info.has_value() == (block.size() >= DISCOVERY_DATA_SIZE));
    if (!info) return;
    KORVALITE_FUZZ_CHECK(info->spec_version.first == u16_at(block, reg::kVersion));
    KORVALITE_FUZZ_CHECK(info->spec_version.second == u16_at(block, reg::kVersion + 2));
    for (std::size_t i = 0; i < info->mac.size(); ++i) KORVALITE_FUZZ_CHECK(info->mac[i] == u8_at(block, 10 + i));
    for (std::size_t i = 0; i < 4; ++i) KORVALITE_FUZZ_CHECK(info->ip[i] == u8_at(block, reg::kCurrentIp + i));
    check_field(info->manufacturer, block, text_field::kManufacturer.first, text_field::kManufacturer.second);
    check_field(info->model, block, text_field::kModel.first, text_field::kModel.second);
    check_field(info->device_version, block, text_field::kDeviceVersion.first, text_field::kDeviceVersion.second);
    check_field(info->manufacturer_info, block, text_field::kManufacturerInfo.first,
                text_field::kManufacturerInfo.second);
    check_field(info->serial, block, text_field::kSerial.first, text_field::kSerial.second);
    check_field(info->user_defined_name, block, text_field::kUserDefinedName.first,
                text_field::kUserDefinedName.second);
    const std::string mac = info->mac_text();
    KORVALITE_FUZZ_CHECK(mac.size() == 17 && std::count(mac.begin(), mac.end(), ':') == 5);
    KORVALITE_FUZZ_CHECK(dotted(info->ip).size() <= 15);
    KORVALITE_FUZZ_CHECK(*DeviceInfo::parse(block.first(DISCOVERY_DATA_SIZE)) == *info);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    korvalite::fuzz::FuzzInput input(data, size);
    check_device_info(input.rest());

    const auto offset = static_cast<std::size_t>(input.take_u64(2));
    const auto width = static_cast<std::size_t>(input.take_u64(1));
    const ByteView block = input.rest();
    const std::string field = string_reg(block, offset, width);
    KORVALITE_FUZZ_CHECK(is_clean_text(field));
    const std::size_t available = offset < block.size() ? std::min(width, block.size() - offset) : 0;
    KORVALITE_FUZZ_CHECK(field.size() <= 3 * available);

    // Decoding is idempotent, and bytes without a replacement in their decoding come back as they were.
    const std::string whole = utf8_lossy(block);
    KORVALITE_FUZZ_CHECK(utf8_lossy(as_bytes(whole)) == whole);
    KORVALITE_FUZZ_CHECK(whole.size() <= 3 * block.size());
    if (whole.find("\xEF\xBF\xBD") == std::string::npos)
        KORVALITE_FUZZ_CHECK(std::equal(whole.begin(), whole.end(), block.begin(), block.end(),
                                        [](char c, std::byte b) { return static_cast<std::byte>(c) == b; }));
    return 0;
}
