// Availability and access modes: implemented, available and locked conditions, imposed modes,
// the mode of each kind's value reference, and registers of chunk and event ports.
#include <gtest/gtest.h>

#include "graph_util.hpp"
#include "korvalite/genicam/event_names.hpp"
#include "korvalite/genicam/node_access.hpp"
#include "korvalite/genicam/node_read.hpp"
#include "korvalite/genicam/node_write.hpp"
#include "memory_port.hpp"

using namespace korvalite;
using namespace korvalite::genicam;
using namespace korvalite::test_support;

namespace {

constexpr const char* kDescription = R"(
    <Integer Name="Off"><Value>0</Value></Integer>
    <IntReg Name="OnReg"><Address>0x40</Address><Length>4</Length><AccessMode>RO</AccessMode></IntReg>
    <IntReg Name="Reg"><Address>0</Address><Length>4</Length></IntReg>
    <IntReg Name="ROReg"><Address>0</Address><Length>4</Length><AccessMode>RO</AccessMode></IntReg>
    <IntReg Name="WOReg"><Address>0</Address><Length>4</Length><AccessMode>WO</AccessMode></IntReg>
    <StringReg Name="Text"><Address>0</Address><Length>8</Length><AccessMode>RO</AccessMode></StringReg>
    <Integer Name="NotImplemented"><pIsImplemented>Off</pIsImplemented><pIsAvailable>Off</pIsAvailable>
      <pValue>Reg</pValue></Integer>
    <Integer Name="NotAvailable"><pIsImplemented>OnReg</pIsImplemented><pIsAvailable>Off</pIsAvailable>
      <pValue>Reg</pValue></Integer>
    <Integer Name="Usable"><pIsImplemented>OnReg</pIsImplemented><pIsAvailable>OnReg</pIsAvailable>
      <pValue>Reg</pValue></Integer>
    <Integer Name="OverNotAvailable"><pValue>NotAvailable</pValue></Integer>
    <Integer Name="Locked"><pIsLocked>OnReg</pIsLocked><pValue>Reg</pValue></Integer>
    <Integer Name="LockedWO"><pIsLocked>OnReg</pIsLocked><pValue>WOReg</pValue></Integer>
    <Integer Name="OverLocked"><pValue>Locked</pValue></Integer>
    <Integer Name="ImposedRO"><ImposedAccessMode>RO</ImposedAccessMode><pValue>Reg</pValue></Integer>
    <Integer Name="ImposedWO"><ImposedAccessMode>WO</ImposedAccessMode><Value>1</Value></Integer>
    <Integer Name="ImposedWOOverRO"><ImposedAccessMode>WO</ImposedAccessMode><pValue>ROReg</pValue></Integer>
    <Integer Name="Dangling"><pIsAvailable>Nowhere</pIsAvailable><Value>1</Value></Integer>
    <Converter Name="Conv"><pValue>Reg</pValue><FormulaTo>FROM</FormulaTo><FormulaFrom>TO</FormulaFrom></Converter>
    <Command Name="Cmd"><pValue>Reg</pValue></Command>
    <Command Name="CmdConstant"><Value>0</Value></Command>
    <String Name="Constant"><Value>x</Value></String>
    <String Name="OverText"><pValue>Text</pValue></String>
    <IntSwissKnife Name="Formula"><Formula>1</Formula></IntSwissKnife>
    <Port Name="Device"/>
    <Port Name="ChunkPort"><ChunkID>1234</ChunkID></Port>
    <Port Name="EventPort"><EventID>9005</EventID></Port>
    <IntReg Name="DeviceReg"><Address>0</Address><Length>4</Length><pPort>Device</pPort></IntReg>
    <IntReg Name="ChunkReg"><Address>0</Address><Length>4</Length><pPort>ChunkPort</pPort></IntReg>
    <IntReg Name="EventReg"><Address>2</Address><Length>2</Length><pPort>EventPort</pPort></IntReg>
    <Integer Name="OverChunk"><pValue>ChunkReg</pValue></Integer>)";

}  // namespace

TEST(NodeAccess, ConditionsLocksAndImposedModesShapeTheMode) {
    Genicam g = build_graph(kDescription);
    MemoryPort port;
    port.store(0x40, {std::byte{1}, std::byte{0}, std::byte{0}, std::byte{0}});
    struct Case {
        const char* name;
        AccessMode mode;
    } cases[] = {
        {"NotImplemented", AccessMode::NI}, {"NotAvailable", AccessMode::NA}, {"Usable", AccessMode::RW},
        {"OverNotAvailable", AccessMode::NA}, {"Locked", AccessMode::RO},    {"LockedWO", AccessMode::NA},
        {"OverLocked", AccessMode::RO},      {"ImposedRO", AccessMode::RO}, {"ImposedWO", AccessMode::WO},
        {"ImposedWOOverRO", AccessMode::NA}, {"Dangling", AccessMode::RW},  {"Conv", AccessMode::RW},
        {"Cmd", AccessMode::RW},             {"CmdConstant", AccessMode::WO}, {"Constant", AccessMode::RW},
        {"OverText", AccessMode::RO},        {"Formula", AccessMode::RO},   {"Device", AccessMode::RW},
        {"DeviceReg", AccessMode::RW},       {"ChunkReg", AccessMode::NA},  {"EventReg", AccessMode::NA},
        {"OverChunk", AccessMode::NA},
    };
    for (const auto& c : cases) EXPECT_EQ(access_mode(g, id_of(g, c.name), port), c.mode) << c.name;
    EXPECT_TRUE(g.stack.empty());
}

TEST(NodeAccess, UnusableNodesRefuseReadsAndWritesAndChunkRegistersNeverReachTheDevice) {
    Genicam g = build_graph(kDescription);
    MemoryPort port;
    port.store(0x40, {std::byte{1}, std::byte{0}, std::byte{0}, std::byte{0}});
    EXPECT_EQ(error_of(int_value(g, id_of(g, "NotImplemented"), port)), "node 'NotImplemented' is not available");
    EXPECT_EQ(error_of(set_int_value(g, id_of(g, "NotAvailable"), 1, port)), "node 'NotAvailable' is not available");
    EXPECT_EQ(error_of(int_value(g, id_of(g, "OverNotAvailable"), port)), "node 'NotAvailable' is not available");
    EXPECT_EQ(int_value(g, id_of(g, "Usable"), port), 0);
    EXPECT_EQ(int_value(g, id_of(g, "Dangling"), port), 1);

    port.log.clear();
    EXPECT_EQ(error_of(int_value(g, id_of(g, "OverChunk"), port)), "node 'ChunkReg' is not available");
    EXPECT_EQ(error_of(set_int_value(g, id_of(g, "ChunkReg"), 1, port)), "node 'ChunkReg' is not available");
    EXPECT_EQ(error_of(float_value(g, id_of(g, "EventReg"), port)), "node 'EventReg' is not available");
    EXPECT_TRUE(port.log.empty());
    EXPECT_TRUE(g.stack.empty());
}

TEST(NodeAccess, EventRegistersReadTheNewestEventOfTheirPortOnceOneHasArrived) {
    Genicam g = build_graph(kDescription);
    MemoryPort port;
    const NodeId reg = id_of(g, "EventReg");
    port.events[0x9004] = std::vector<std::byte>(4);  // another event's payload
    EXPECT_EQ(access_mode(g, reg, port), AccessMode::NA);
    for (std::uint8_t low : {0x34, 0x56}) {  // never cached: each read sees the newest event
        port.events[0x9005] = {std::byte{0}, std::byte{0}, std::byte{low}, std::byte{0x12}};
        EXPECT_EQ(access_mode(g, reg, port), AccessMode::RW);
        EXPECT_EQ(int_value(g, reg, port), 0x1200 + low);
    }
    port.events[0x9005].resize(3);  // shorter than the register reaches
    EXPECT_FALSE(int_value(g, reg, port).has_value());
    EXPECT_TRUE(port.log.empty());
}

TEST(EventNames, EventPortsNameTheirEventsById) {
    Genicam g = build_graph(R"(
        <Port Name="EventExposureEndPort"><EventID>9C43</EventID></Port>
        <Port Name="FrameStartEventPort"><EventID>0x0004</EventID></Port>
        <Port Name="EventPort"><EventID> 4fff </EventID></Port>
        <Port Name="LaterExposureEndPort"><EventID>9c43</EventID></Port>
        <Port Name="BrokenPort"><EventID>9G</EventID></Port>
        <Port Name="WidePort"><EventID>12345</EventID></Port>
        <Port Name="Device"/>)");
    const EventNames expected{{0x9C43, "ExposureEnd"}, {0x0004, "FrameStart"}, {0x4FFF, "Event"}};
    EXPECT_EQ(event_names(g), expected);
}
