// What a description says about a feature for its users, read into FeatureInfo.
#include <gtest/gtest.h>

#include "graph_util.hpp"
#include "korvalite/genicam/feature_info_read.hpp"
#include "memory_port.hpp"

using namespace korvalite;
using namespace korvalite::genicam;
using namespace korvalite::test_support;

namespace {

constexpr std::string_view kDescription = R"(
    <Float Name="Gain">
      <ToolTip>Sensor gain.</ToolTip><Description>Gain applied before digitisation.</Description>
      <DisplayName>Gain (dB)</DisplayName><Visibility>Expert</Visibility><Streamable>Yes</Streamable>
      <Value>1.5</Value><Min>0</Min><Max>24</Max><Unit>dB</Unit><Representation>Linear</Representation>
    </Float>
    <Enumeration Name="GainSelector"><Visibility>Guru</Visibility>
      <pSelected>Gain</pSelected><pSelected>BlackLevel</pSelected>
      <EnumEntry Name="All"><DisplayName>All Taps</DisplayName><ToolTip>Every tap.</ToolTip><Value>0</Value></EnumEntry>
      <EnumEntry Name="Broken"><Value>x</Value></EnumEntry>
      <EnumEntry Name="Red"><pIsAvailable>Zero</pIsAvailable><Value>1</Value></EnumEntry>
      <Value>0</Value>
    </Enumeration>
    <Integer Name="Zero"><Value>0</Value></Integer>
    <Integer Name="Width"><pIsLocked>Zero</pIsLocked><Value>64</Value><Min>16</Min><Max>640</Max><Inc>16</Inc></Integer>
    <Integer Name="Hidden"><pIsAvailable>Zero</pIsAvailable><Value>1</Value><Min>0</Min><Max>1</Max></Integer>
    <Command Name="Start"><Value>0</Value></Command>
)";

}  // namespace

TEST(FeatureInfo, TextsBoundsAndEntriesComeFromTheDescription) {
    Genicam g = build_graph(kDescription);
    MemoryPort port;
    auto gain = feature_info(g, id_of(g, "Gain"), port);
    ASSERT_TRUE(gain) << gain.error().message();
    EXPECT_EQ(gain->kind, FeatureKind::Float);
    EXPECT_EQ(gain->access_mode, AccessMode::RW);
    EXPECT_EQ(gain->display_name, "Gain (dB)");
    EXPECT_EQ(gain->tooltip, "Sensor gain.");
    EXPECT_EQ(gain->description, "Gain applied before digitisation.");
    EXPECT_EQ(gain->unit, "dB");
    EXPECT_EQ(gain->representation, "Linear");
    EXPECT_EQ(gain->visibility, Visibility::Expert);
    EXPECT_TRUE(gain->streamable);
    EXPECT_EQ(gain->float_bounds, (std::pair<double, double>{0.0, 24.0}));

    auto selector = feature_info(g, id_of(g, "GainSelector"), port);
    ASSERT_TRUE(selector) << selector.error().message();
    EXPECT_EQ(selector->display_name, "GainSelector");
    EXPECT_EQ(selector->visibility, Visibility::Guru);
    EXPECT_FALSE(selector->streamable);
    EXPECT_EQ(selector->selected, (std::vector<std::string>{"Gain", "BlackLevel"}));
    ASSERT_EQ(selector->entries.size(), 2u);  // the entry without a valid value is dropped
    EXPECT_EQ(selector->entries[0].display_name, "All Taps");
    EXPECT_EQ(selector->entries[0].tooltip, "Every tap.");
    EXPECT_TRUE(selector->entries[0].available);
    EXPECT_EQ(selector->entries[1].name, "Red");
    EXPECT_EQ(selector->entries[1].display_name, "Red");
    EXPECT_FALSE(selector->entries[1].available);

    auto width = feature_info(g, id_of(g, "Width"), port);
    ASSERT_TRUE(width);
    EXPECT_EQ(width->int_bounds, (std::pair<std::int64_t, std::int64_t>{16, 640}));
    EXPECT_EQ(width->increment, 16);
    EXPECT_EQ(width->locked_by, "Zero");
    EXPECT_EQ(gain->locked_by, "");

    auto hidden = feature_info(g, id_of(g, "Hidden"), port);
    ASSERT_TRUE(hidden);
    EXPECT_FALSE(hidden->is_available());
    EXPECT_TRUE(hidden->is_implemented());
    EXPECT_FALSE(hidden->int_bounds);

    auto start = feature_info(g, id_of(g, "Start"), port);
    ASSERT_TRUE(start);
    EXPECT_EQ(start->kind, FeatureKind::Command);
    EXPECT_EQ(start->access_mode, AccessMode::WO);
}
