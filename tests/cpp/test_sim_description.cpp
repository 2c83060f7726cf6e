#include <gtest/gtest.h>

#include <pugixml.hpp>

#include <set>

#include "korvalite/sim/description.hpp"
#include "korvalite/sim/feature_map.hpp"

using namespace korvalite::sim;

// The built-in description and the device agree on every register address it names.
TEST(SimDescription, NamesTheDeviceRegisters) {
    pugi::xml_document doc;
    const auto text = builtin_description();
    ASSERT_TRUE(doc.load_buffer(text.data(), text.size()));
    std::set<std::uint32_t> addresses;
    std::set<std::string> names;
    for (const auto& node : doc.select_nodes("//Address")) addresses.insert(std::stoul(node.node().text().get(), nullptr, 16));
    for (const auto& node : doc.select_nodes("//*[@Name]")) names.insert(node.node().attribute("Name").value());
    for (std::uint32_t a = features::kWidth; a < features::kFeatureBlockEnd; a += 4) {
        if (a == features::kAcquisitionFrameRate + 4) continue;  // second half of the 8-byte rate
        EXPECT_TRUE(addresses.contains(a)) << std::hex << a;
    }
    for (const char* feature : {"Width", "Height", "OffsetX", "OffsetY", "PixelFormat", "PayloadSize", "AcquisitionMode",
                                "AcquisitionStart", "AcquisitionStop", "AcquisitionFrameRate", "ExposureTime", "Gain",
                                "TLParamsLocked", "GevSCPSPacketSize", "DeviceUserID", "GevTimestampTickFrequency"})
        EXPECT_TRUE(names.contains(feature)) << feature;
    EXPECT_EQ(doc.select_nodes("//StructReg/StructEntry").size(), 3u);
    EXPECT_GE(doc.select_nodes("//pInvalidator").size(), 3u);
    EXPECT_GE(doc.select_nodes("//Group").size(), 4u);
}
