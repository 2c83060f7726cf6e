// Checked writes: every rule the description states refuses a write before it reaches the
// device, with a message naming the feature, the value and the rule.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>

#include "graph_util.hpp"
#include "korvalite/genicam/write_check.hpp"
#include "korvalite/gige/proto/gvcp.hpp"
#include "memory_port.hpp"

using namespace korvalite;
using namespace korvalite::genicam;
using namespace korvalite::test_support;

namespace {

constexpr std::string_view kDescription = R"(
    <Integer Name="Width"><pValue>WidthReg</pValue><Min>16</Min><Max>642</Max><Inc>4</Inc>
      <pIsLocked>Locked</pIsLocked></Integer>
    <IntReg Name="WidthReg"><Address>0x10</Address><Length>4</Length><AccessMode>RW</AccessMode></IntReg>
    <Integer Name="Locked"><Value>0</Value></Integer>
    <Float Name="Gain"><pValue>GainReg</pValue><Min>0</Min><Max>24</Max></Float>
    <FloatReg Name="GainReg"><Address>0x20</Address><Length>4</Length><AccessMode>RW</AccessMode></FloatReg>
    <Integer Name="Serial"><pValue>SerialReg</pValue></Integer>
    <IntReg Name="SerialReg"><Address>0x30</Address><Length>4</Length><AccessMode>RO</AccessMode></IntReg>
    <Integer Name="Hidden"><pIsAvailable>Locked</pIsAvailable><Value>0</Value></Integer>
    <Integer Name="Missing"><pIsImplemented>Locked</pIsImplemented><Value>0</Value></Integer>
    <String Name="UserName"><pValue>UserNameReg</pValue></String>
    <StringReg Name="UserNameReg"><Address>0x40</Address><Length>16</Length><AccessMode>RW</AccessMode></StringReg>
    <Enumeration Name="Mode"><pValue>ModeReg</pValue>
      <EnumEntry Name="Off"><Value>0</Value></EnumEntry>
      <EnumEntry Name="On"><Value>1</Value></EnumEntry>
      <EnumEntry Name="Turbo"><pIsAvailable>Locked</pIsAvailable><Value>2</Value></EnumEntry>
    </Enumeration>
    <IntReg Name="ModeReg"><Address>0x50</Address><Length>4</Length><AccessMode>RW</AccessMode></IntReg>
    <Boolean Name="Enable"><pValue>EnableReg</pValue><OnValue>1</OnValue><OffValue>0</OffValue></Boolean>
    <IntReg Name="EnableReg"><Address>0x60</Address><Length>4</Length><AccessMode>RW</AccessMode></IntReg>
)";

using Write = std::function<GenicamResult<void>(Genicam&, PortIo&)>;

Write int_write(std::string_view name, std::int64_t value) {
    return [=](Genicam& g, PortIo& port) { return checked_set_int(g, id_of(g, name), value, port); };
}
Write float_write(std::string_view name, double value) {
    return [=](Genicam& g, PortIo& port) { return checked_set_float(g, id_of(g, name), value, port); };
}
Write string_write(std::string_view name, std::string value) {
    return [=](Genicam& g, PortIo& port) { return checked_set_string(g, id_of(g, name), value, port); };
}
Write enum_write(std::string_view name, std::string_view entry) {
    return [=](Genicam& g, PortIo& port) { return checked_set_enum(g, id_of(g, name), entry, port); };
}

}  // namespace

TEST(WriteCheck, RefusalsNameFeatureValueAndRuleAndNeverReachTheDevice) {
    struct Case {
        const char* what;
        Write write;
        const char* message;
    };
    const Case cases[] = {
        {"float above max", float_write("Gain", 30.0), "Gain = 30.0 is out of range [0.0, 24.0]"},
        {"float below min", float_write("Gain", -0.5), "Gain = -0.5 is out of range [0.0, 24.0]"},
        {"nan", float_write("Gain", std::nan("")), "Gain = nan is not a finite number"},
        {"infinity", float_write("Gain", std::numeric_limits<double>::infinity()), "Gain = inf is not a finite number"},
        {"integer above max", int_write("Width", 100000), "Width = 100000 is out of range [16, 642]"},
        {"integer below min", int_write("Width", 12), "Width = 12 is out of range [16, 642]"},
        {"off the grid", int_write("Width", 101),
         "Width = 101 is not a multiple of the increment 4 above the minimum 16; the nearest valid values are 100 "
         "and 104"},
        {"off the grid at the top", int_write("Width", 641),
         "Width = 641 is not a multiple of the increment 4 above the minimum 16; the nearest valid value is 640"},
        {"float to an integer feature", float_write("Width", 1e6), "Width = 1000000.0 is out of range [16, 642]"},
        {"read-only", int_write("Serial", 1), "Serial = 1 is refused: the feature is read-only"},
        {"not available", int_write("Hidden", 1), "Hidden = 1 is refused: the feature is not available now"},
        {"not implemented", int_write("Missing", 1), "Missing = 1 is refused: the feature is not implemented"},
        {"string too long", string_write("UserName", std::string(17, 'x')),
         "UserName = 'xxxxxxxxxxxxxxxxx' is 17 bytes long, more than the register's 16"},
        {"string with a NUL", string_write("UserName", std::string("a\0b", 3)),
         "UserName = 'a\\x00b' contains a NUL character, which ends a device string"},
        {"no such entry", enum_write("Mode", "Fast"), "Mode = Fast is not an entry of the enumeration; available entries: Off, On"},
        {"entry not available", enum_write("Mode", "Turbo"),
         "Mode = Turbo is refused: the entry 'Turbo' is not available now; available entries: Off, On"},
        {"entry value by integer", int_write("Mode", 7), "Mode = 7 is the value of no entry; available entries: Off (0), On (1)"},
        {"boolean by integer", int_write("Enable", 2), "Enable = 2 is neither the on value 1 nor the off value 0"},
    };
    for (const auto& c : cases) {
        Genicam g = build_graph(kDescription);
        MemoryPort port;
        auto result = c.write(g, port);
        ASSERT_FALSE(result) << c.what;
        EXPECT_EQ(result.error().kind(), GenicamError::Kind::Refused) << c.what;
        EXPECT_EQ(result.error().message(), c.message) << c.what;
        EXPECT_EQ(port.writes(), 0u) << c.what;
        EXPECT_TRUE(g.stack.empty()) << c.what;
    }
}

TEST(WriteCheck, ValuesWithinTheRulesAreWritten) {
    const Write writes[] = {
        int_write("Width", 16),  int_write("Width", 640),           int_write("Width", 100),
        float_write("Gain", 0),  float_write("Gain", 24.0),          string_write("UserName", std::string(16, 'y')),
        enum_write("Mode", "On"), string_write("Mode", "Off"),      int_write("Enable", 1),
    };
    for (std::size_t i = 0; i < std::size(writes); ++i) {
        Genicam g = build_graph(kDescription);
        MemoryPort port;
        EXPECT_EQ(error_of(writes[i](g, port)), "<success>") << i;
        EXPECT_EQ(port.writes(), 1u) << i;
    }
}

TEST(WriteCheck, LockedFeatureIsRefusedAsLocked) {
    Genicam g = build_graph(kDescription);
    MemoryPort port;
    ASSERT_TRUE(checked_set_int(g, id_of(g, "Locked"), 1, port));
    EXPECT_EQ(error_of(checked_set_int(g, id_of(g, "Width"), 100, port)),
              "Width = 100 is refused: the feature is locked");
    EXPECT_EQ(error_of(checked_set_enum(g, id_of(g, "Mode"), "Turbo", port)), "<success>");
}

TEST(WriteCheck, DeviceRefusalNamesFeatureAndValueAndKeepsTheStatus) {
    Genicam g = build_graph(kDescription);
    MemoryPort port;
    port.failure = CameraError::status(0x0082, gige::proto::status::kInvalidParameter);
    auto result = checked_set_float(g, id_of(g, "Gain"), 12.5, port);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().kind(), GenicamError::Kind::DeviceRefused);
    EXPECT_EQ(result.error().message(),
              "Gain = 12.5: " + CameraError::status(0x0082, gige::proto::status::kInvalidParameter).message());
    port.failure = CameraError::ack_timeout();
    EXPECT_EQ(checked_set_float(g, id_of(g, "Gain"), 12.5, port).error().kind(), GenicamError::Kind::Transport);
}

TEST(WriteCheck, ErrorsSaidOfAFeatureStartWithItUnlessTheyNameIt) {
    struct Case {
        GenicamError error;
        const char* message;
    };
    const Case cases[] = {
        {GenicamError::formula("PayloadSizeCalc", "division by zero"),
         "Width: formula in 'PayloadSizeCalc': division by zero"},
        {GenicamError::not_available("Width"), "node 'Width' is not available"},
        {GenicamError::transport(CameraError::ack_timeout()), "Width: timed out waiting for acknowledge"},
        {GenicamError::refused("Width", "1", "is out of range [16, 642]"), "Width = 1 is out of range [16, 642]"},
    };
    for (const auto& c : cases) EXPECT_EQ(GenicamError(c.error).in_feature("Width").message(), c.message);
}

TEST(WriteCheck, FloatTextIsWhatPythonWrites) {
    const std::pair<double, const char*> cases[] = {
        {30.0, "30.0"},     {0.01, "0.01"},       {-2.5, "-2.5"},         {1e7, "10000000.0"},
        {1e16, "1e+16"},    {1.5e-7, "1.5e-07"},  {0.0001, "0.0001"},     {123.456, "123.456"},
        {1e300, "1e+300"},  {-std::numeric_limits<double>::infinity(), "-inf"}};
    for (const auto& [value, text] : cases) EXPECT_EQ(float_text(value), text);
}
