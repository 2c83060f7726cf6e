// What each node kind answers when read, through references, formulas and registers in an
// in-memory device.
#include <gtest/gtest.h>

#include <limits>

#include "bytes_util.hpp"
#include "graph_util.hpp"
#include "korvalite/genicam/node_read.hpp"
#include "korvalite/genicam/node_write.hpp"
#include "korvalite/genicam/registers.hpp"
#include "memory_port.hpp"

using namespace korvalite;
using namespace korvalite::genicam;
using namespace korvalite::test_support;

namespace {

// A graph and a port, with reads by name that also check the evaluation stack is empty after.
struct Fixture {
    explicit Fixture(std::string_view body) : g(build_graph(body)) {}

    template <class T>
    T checked(T result) {
        EXPECT_TRUE(g.stack.empty());
        return result;
    }
    GenicamResult<std::int64_t> get_int(std::string_view name) { return checked(int_value(g, id_of(g, name), port)); }
    GenicamResult<double> get_float(std::string_view name) { return checked(float_value(g, id_of(g, name), port)); }
    GenicamResult<bool> get_bool(std::string_view name) { return checked(bool_value(g, id_of(g, name), port)); }
    GenicamResult<std::string> get_string(std::string_view name) {
        return checked(string_value(g, id_of(g, name), port));
    }

    Genicam g;
    MemoryPort port;
};

constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

}  // namespace

TEST(NodeRead, ValuesThroughReferencesAndRegisters) {
    Fixture f(R"(
        <Integer Name="Whole"><pValue>U64</pValue></Integer>
        <IntReg Name="U64"><Address>0x10</Address><Length>8</Length><Sign>Unsigned</Sign></IntReg>
        <Float Name="Half"><Value>2.5</Value></Float>
        <Float Name="MinusHalf"><Value>-2.5</Value></Float>
        <Boolean Name="Flag"><pValue>Reg</pValue><OnValue>1</OnValue></Boolean>
        <Boolean Name="Two"><pValue>Reg</pValue><OnValue>2</OnValue></Boolean>
        <IntReg Name="Reg"><Address>0x20</Address><Length>4</Length><Endianess>BigEndian</Endianess></IntReg>
        <FloatReg Name="FR"><Address>0x30</Address><Length>4</Length><Endianess>BigEndian</Endianess></FloatReg>
        <Float Name="ViaReg"><pValue>FR</pValue></Float>
        <Integer Name="AsFloat"><Value>7</Value></Integer>)");
    f.port.store(0x10, hex_bytes("FF FF FF FF FF FF FF FF"));
    f.port.store(0x20, hex_bytes("00 00 00 02"));
    f.port.store(0x30, hex_bytes("3F 80 00 00"));
    EXPECT_EQ(f.get_int("Whole"), -1);
    EXPECT_EQ(f.get_int("Half"), 3);
    EXPECT_EQ(f.get_int("MinusHalf"), -3);
    EXPECT_EQ(error_of(f.get_bool("Flag")), "node 'Flag': value 2 is neither OnValue 1 nor OffValue 0");
    EXPECT_EQ(f.get_bool("Two"), true);
    EXPECT_EQ(f.get_int("Flag"), 2);        // the raw value
    EXPECT_EQ(f.get_bool("Half"), true);
    EXPECT_EQ(f.get_float("ViaReg"), 1.0);
    EXPECT_EQ(f.get_float("AsFloat"), 7.0);
    EXPECT_EQ(error_of(f.get_int("FR")), "node 'FR' does not support this access: FR is a float feature");
    EXPECT_EQ(f.get_float("Reg"), 2.0);  // an integer register read as a float
    EXPECT_EQ(error_of(f.get_float("Flag")), "node 'Flag' does not support this access: Flag is a boolean feature");
}

TEST(NodeRead, FailuresNameTheNodeOrTheReference) {
    Fixture f(R"(
        <Category Name="Cat"/>
        <Integer Name="Empty"/>
        <Integer Name="Lost"><pValue>Missing</pValue></Integer>
        <String Name="Text"><Value>hi</Value></String>
        <Integer Name="ToText"><pValue>Text</pValue></Integer>
        <IntReg Name="W"><Address>0</Address><Length>4</Length><AccessMode>WO</AccessMode></IntReg>
        <Integer Name="ToW"><pValue>W</pValue></Integer>
        <MaskedIntReg Name="Odd"><Address>0</Address><Length>3</Length><LSB>40</LSB></MaskedIntReg>
        <Command Name="Go"><Value>0</Value></Command>)");
    EXPECT_EQ(error_of(f.get_int("Cat")), "node 'Cat' does not support this access: Cat is a category feature");
    EXPECT_EQ(error_of(f.get_int("Empty")), "node '<value reference>' does not support this access");
    EXPECT_EQ(error_of(f.get_int("Lost")), "dangling reference 'Missing'");
    EXPECT_EQ(error_of(f.get_int("ToText")), "node 'Text' does not support this access: Text is a string feature");
    EXPECT_EQ(error_of(f.get_int("ToW")), "node 'W' is not accessible this way (access mode)");
    EXPECT_EQ(error_of(f.get_int("Go")), "node 'Go' does not support this access: Go is a command feature");
    EXPECT_EQ(error_of(f.get_string("Empty")), "node 'Empty' does not support this access: Empty is an integer feature");
    EXPECT_EQ(error_of(f.get_bool("Cat")), "node 'Cat' does not support this access: Cat is a category feature");
    EXPECT_TRUE(f.port.log.empty());
    EXPECT_EQ(error_of(f.get_int("Odd")), "formula in 'Odd': bad bit range 40..40 for 3 bytes");
}

TEST(NodeRead, StringsAndEnumerations) {
    Fixture f(R"(
        <String Name="Const"><Value>hello</Value></String>
        <String Name="Linked"><pValue>SR</pValue></String>
        <StringReg Name="SR"><Address>0x40</Address><Length>8</Length></StringReg>
        <String Name="ToEnum"><pValue>Mode</pValue></String>
        <Enumeration Name="Mode"><pValue>ModeReg</pValue>
          <EnumEntry Name="Off"><Value>0</Value></EnumEntry>
          <EnumEntry Name="On"><Value>1</Value></EnumEntry>
          <EnumEntry Name="AlsoOn"><Value>1</Value></EnumEntry></Enumeration>
        <IntReg Name="ModeReg"><Address>0x50</Address><Length>4</Length></IntReg>)");
    f.port.store(0x40, hex_bytes("61 62 63 00 00 00 00 00"));
    f.port.store(0x50, hex_bytes("01 00 00 00"));
    EXPECT_EQ(f.get_string("Const"), "hello");
    EXPECT_EQ(f.get_string("Linked"), "abc");
    EXPECT_EQ(f.get_string("Mode"), "On");  // the first entry with the value
    EXPECT_EQ(f.get_string("ToEnum"), "On");
    EXPECT_EQ(enum_entries(f.g, id_of(f.g, "Mode")), (std::vector<std::string>{"Off", "On", "AlsoOn"}));
    EXPECT_EQ(error_of(enum_entries(f.g, id_of(f.g, "SR"))), "node 'SR' does not support this access: SR is a string feature");

    f.port.store(0x50, hex_bytes("11 00 00 00"));
    clear_register_caches(f.g);
    EXPECT_EQ(f.get_int("Mode"), 17);
    EXPECT_EQ(error_of(f.get_string("Mode")), "enumeration 'Mode' has no entry 'value 17'");
}

TEST(NodeRead, FormulasBindVariablesAndKeepTheirCompiledForm) {
    Fixture f(R"(
        <Integer Name="Width"><Value>640</Value></Integer>
        <Integer Name="Height"><Value>480</Value></Integer>
        <SwissKnife Name="Pixels"><Formula>Width * Height</Formula></SwissKnife>
        <SwissKnife Name="S"><Formula>Foo + 1</Formula></SwissKnife>
        <SwissKnife Name="Own"><pVariable Name="Width">Height</pVariable><Formula>Width</Formula></SwissKnife>
        <SwissKnife Name="OwnLost"><pVariable Name="X">Nowhere</pVariable><Formula>X</Formula></SwissKnife>
        <Float Name="F"><Value>2.5</Value></Float>
        <SwissKnife Name="Scaled"><pVariable Name="V">F</pVariable><Formula>V * 2</Formula></SwissKnife>
        <SwissKnife Name="Ratio"><Formula>7 / 2.0</Formula></SwissKnife>
        <SwissKnife Name="UsesRatio"><Formula>Ratio * 10</Formula></SwissKnife>
        <SwissKnife Name="Diamond"><pVariable Name="A">Width</pVariable><pVariable Name="B">Width</pVariable>
          <Formula>A + B</Formula></SwissKnife>
        <SwissKnife Name="Bad"><Formula>(1 + 2</Formula></SwissKnife>
        <SwissKnife Name="DivZero"><Formula>1 / 0</Formula></SwissKnife>)");
    EXPECT_EQ(f.get_int("Pixels"), 640 * 480);
    EXPECT_EQ(f.get_int("Own"), 480);  // the node's own variable wins over the name index
    EXPECT_EQ(f.get_float("Scaled"), 5.0);  // a Float node contributes its float value
    EXPECT_EQ(f.get_int("Ratio"), 4);       // 3.5 rounded
    EXPECT_EQ(f.get_float("Ratio"), 3.5);
    EXPECT_EQ(f.get_float("UsesRatio"), 35.0);  // a SwissKnife variable keeps its float value
    EXPECT_EQ(f.get_int("Diamond"), 1280);  // one node reached twice on separate paths is no cycle
    EXPECT_EQ(error_of(f.get_int("OwnLost")), "dangling reference 'Nowhere'");
    EXPECT_EQ(error_of(f.get_int("Bad")), "formula in 'Bad': unbalanced parenthesis");
    EXPECT_EQ(error_of(f.get_int("DivZero")), "formula in 'DivZero': result is not finite");

    const NodeId s = id_of(f.g, "S");
    for (int attempt = 0; attempt < 2; ++attempt) {
        EXPECT_EQ(error_of(f.get_int("S")), "formula in 'S': unbound variable 'Foo'");
        EXPECT_EQ(std::get<SwissKnife>(f.g[s].node).formula.compiled, nullptr);
    }
    EXPECT_EQ(std::get<SwissKnife>(f.g[id_of(f.g, "DivZero")].node).formula.compiled, nullptr);
    const auto& pixels = std::get<SwissKnife>(f.g[id_of(f.g, "Pixels")].node).formula;
    ASSERT_NE(pixels.compiled, nullptr);
    const Expr* compiled = pixels.compiled.get();
    EXPECT_EQ(f.get_int("Pixels"), 640 * 480);
    EXPECT_EQ(pixels.compiled.get(), compiled);
}

TEST(NodeRead, ConvertersComputeFromTheirUnderlyingValue) {
    Fixture f(R"(
        <Converter Name="Doubled"><pValue>Raw</pValue><FormulaTo>FROM / 2</FormulaTo>
          <FormulaFrom>TO * 2</FormulaFrom></Converter>
        <IntReg Name="Raw"><Address>0x60</Address><Length>4</Length><Cachable>NoCache</Cachable></IntReg>
        <Converter Name="FromFloat"><pValue>F</pValue><FormulaFrom>TO * 2</FormulaFrom></Converter>
        <Float Name="F"><Value>1.25</Value></Float>
        <Converter Name="Constant"><FormulaFrom>TO + 1</FormulaFrom></Converter>
        <Converter Name="Lost"><pValue>Gone</pValue><FormulaFrom>TO</FormulaFrom></Converter>)");
    f.port.store(0x60, hex_bytes("64 00 00 00"));
    EXPECT_EQ(f.get_int("Doubled"), 200);
    EXPECT_EQ(f.get_float("Doubled"), 200.0);
    EXPECT_EQ(f.port.reads(), 2u);  // once per read
    EXPECT_EQ(f.get_float("FromFloat"), 2.5);
    EXPECT_EQ(f.get_int("FromFloat"), 3);
    EXPECT_EQ(error_of(f.get_int("Constant")), "node '<value reference>' does not support this access");
    EXPECT_EQ(error_of(f.get_int("Lost")), "dangling reference 'Gone'");
    EXPECT_EQ(access_mode(f.g, id_of(f.g, "Doubled"), f.port), AccessMode::RW);
}

TEST(NodeRead, CyclesFailAndLeaveTheStackClean) {
    Fixture f(R"(
        <Integer Name="A"><pValue>B</pValue></Integer>
        <Integer Name="B"><pValue>A</pValue></Integer>
        <Converter Name="C1"><pValue>C2</pValue><FormulaFrom>TO</FormulaFrom></Converter>
        <Converter Name="C2"><pValue>C1</pValue><FormulaFrom>TO</FormulaFrom></Converter>
        <SwissKnife Name="Self"><Formula>Self + 1</Formula></SwissKnife>
        <Integer Name="Fine"><Value>3</Value></Integer>)");
    EXPECT_EQ(error_of(f.get_int("A")), "circular reference through 'A'");
    EXPECT_EQ(f.get_int("Fine"), 3);
    EXPECT_EQ(error_of(f.get_float("C1")), "circular reference through 'C1'");
    EXPECT_EQ(f.get_int("Fine"), 3);
    EXPECT_EQ(error_of(f.get_bool("C2")), "circular reference through 'C2'");
    EXPECT_EQ(error_of(f.get_int("Self")), "circular reference through 'Self'");
    EXPECT_EQ(f.get_int("Fine"), 3);
}

TEST(NodeRead, BoundsAndIncrements) {
    Fixture f(R"(
        <Integer Name="Plain"><Value>1</Value></Integer>
        <Integer Name="Ranged"><Value>1</Value><Min>-4</Min><pMax>Top</pMax><Inc>0</Inc></Integer>
        <Integer Name="Top"><Value>99</Value></Integer>
        <Integer Name="BadMax"><Value>1</Value><pMin>Gone</pMin><pMax>Worse</pMax></Integer>
        <IntReg Name="R"><Address>0</Address><Length>1</Length></IntReg>
        <FloatReg Name="FR"><Address>0</Address><Length>4</Length></FloatReg>
        <Float Name="F"><Value>1</Value><Min>-0.5</Min></Float>)");
    Genicam& g = f.g;
    MemoryPort& port = f.port;
    EXPECT_EQ(int_bounds(g, id_of(g, "Plain"), port), (std::pair{kMin, kMax}));
    EXPECT_EQ(int_increment(g, id_of(g, "Plain"), port), 1);
    EXPECT_EQ(int_bounds(g, id_of(g, "Ranged"), port), (std::pair<std::int64_t, std::int64_t>{-4, 99}));
    EXPECT_EQ(int_increment(g, id_of(g, "Ranged"), port), 0);
    EXPECT_EQ(error_of(int_bounds(g, id_of(g, "BadMax"), port)), "dangling reference 'Gone'");
    EXPECT_EQ(int_bounds(g, id_of(g, "R"), port), (std::pair<std::int64_t, std::int64_t>{0, 255}));
    EXPECT_EQ(error_of(int_bounds(g, id_of(g, "F"), port)), "node 'F' does not support this access: F is a float feature");
    EXPECT_EQ(int_increment(g, id_of(g, "R"), port), 1);
    EXPECT_EQ(float_bounds(g, id_of(g, "F"), port), (std::pair{-0.5, std::numeric_limits<double>::max()}));
    constexpr double kLargest = std::numeric_limits<double>::max();
    EXPECT_EQ(float_bounds(g, id_of(g, "FR"), port), (std::pair{-kLargest, kLargest}));
    EXPECT_TRUE(port.log.empty());
    EXPECT_TRUE(g.stack.empty());
}

TEST(NodeRead, AccessModesFollowValueLinksAndEndOnLoops) {
    MemoryPort port;
    Genicam g = build_graph(R"(
        <Integer Name="Const"><Value>5</Value></Integer>
        <Float Name="FConst"><Value>0x10</Value></Float>
        <Integer Name="Empty"/>
        <Integer Name="Lost"><pValue>Gone</pValue></Integer>
        <Command Name="Go"><pValue>Reg</pValue></Command>
        <SwissKnife Name="SK"><Formula>1</Formula></SwissKnife>
        <IntReg Name="Reg"><Address>0</Address><AccessMode>RO</AccessMode></IntReg>
        <Boolean Name="ToReg"><pValue>Enum</pValue></Boolean>
        <Enumeration Name="Enum"><pValue>Reg</pValue></Enumeration>
        <Integer Name="ToConst"><pValue>Const</pValue></Integer>
        <Integer Name="Loop1"><pValue>Loop2</pValue></Integer>
        <Float Name="Loop2"><pValue>Loop3</pValue></Float>
        <Boolean Name="Loop3"><pValue>Loop2</pValue></Boolean>
        <String Name="S"><Value>x</Value></String>)");
    struct Case {
        const char* name;
        AccessMode mode;
    } cases[] = {{"Const", AccessMode::RW}, {"FConst", AccessMode::RW}, {"Empty", AccessMode::RO},
                 {"Lost", AccessMode::RO},  {"Go", AccessMode::RO},     {"SK", AccessMode::RO},
                 {"ToReg", AccessMode::RO}, {"ToConst", AccessMode::RW}, {"S", AccessMode::RW}};
    for (const auto& c : cases) EXPECT_EQ(access_mode(g, id_of(g, c.name), port), c.mode) << c.name;
    EXPECT_EQ(error_of(access_mode(g, id_of(g, "Loop1"), port)), "circular reference through 'Loop2'");
    EXPECT_EQ(error_of(access_mode(g, id_of(g, "Loop3"), port)), "circular reference through 'Loop3'");
}

TEST(NodeRead, SelectorsPickIndexedValuesAndPlaceRegisters) {
    Fixture f(R"(
        <Integer Name="Sel"><Value>0</Value></Integer>
        <Integer Name="Picked"><pIndex>Sel</pIndex><ValueIndexed Index="1">10</ValueIndexed>
          <pValueIndexed Index="2">Reg</pValueIndexed><ValueDefault>7</ValueDefault></Integer>
        <Float Name="FPicked"><pIndex>Sel</pIndex><ValueIndexed Index="1">2.5</ValueIndexed>
          <pValueDefault>Reg</pValueDefault></Float>
        <IntReg Name="Reg"><Address>0x100</Address><Length>4</Length><pIndex Offset="8">Sel</pIndex></IntReg>
        <IntReg Name="ByLength"><Address>0x200</Address><Length>2</Length><pIndex>Sel</pIndex></IntReg>
        <IntReg Name="ByNode"><Address>0x300</Address><Length>4</Length><pIndex pOffset="Step">Sel</pIndex></IntReg>
        <Integer Name="Step"><Value>0x10</Value></Integer>
        <Boolean Name="BPicked"><pIndex>Sel</pIndex><ValueIndexed Index="1">1</ValueIndexed>
          <ValueDefault>0</ValueDefault></Boolean>)");
    f.port.store(0x100, hex_bytes("03 00 00 00"));
    f.port.store(0x110, hex_bytes("04 00 00 00"));
    struct Case {
        std::int64_t selector;
        std::int64_t picked;
        double float_picked;
        RegisterSpan reg, by_length, by_node;
    } cases[] = {
        {0, 7, 3.0, {0x100, 4}, {0x200, 2}, {0x300, 4}},
        {1, 10, 2.5, {0x108, 4}, {0x202, 2}, {0x310, 4}},
        {2, 4, 4.0, {0x110, 4}, {0x204, 2}, {0x320, 4}},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(set_int_value(f.g, id_of(f.g, "Sel"), c.selector, f.port));
        EXPECT_EQ(f.get_int("Picked"), c.picked) << c.selector;
        EXPECT_EQ(f.get_float("FPicked"), c.float_picked) << c.selector;
        EXPECT_EQ(f.get_bool("BPicked"), c.selector == 1) << c.selector;
        EXPECT_EQ(register_address(f.g, id_of(f.g, "Reg"), f.port), c.reg) << c.selector;
        EXPECT_EQ(register_address(f.g, id_of(f.g, "ByLength"), f.port), c.by_length) << c.selector;
        EXPECT_EQ(register_address(f.g, id_of(f.g, "ByNode"), f.port), c.by_node) << c.selector;
    }
}

TEST(NodeRead, FormulaConstantsAndExpressions) {
    Fixture f(R"(
        <Integer Name="X"><Value>4</Value></Integer>
        <IntSwissKnife Name="Named"><pVariable Name="X">X</pVariable><Constant Name="TEN">10</Constant>
          <Constant Name="HALF">0.5</Constant><Expression Name="SUM">TEN + X</Expression>
          <Expression Name="TWICE">SUM * 2</Expression><Formula>TWICE + HALF</Formula></IntSwissKnife>
        <SwissKnife Name="Loop"><Expression Name="EX">EX + 1</Expression><Formula>EX</Formula></SwissKnife>
        <IntSwissKnife Name="Shadow"><pVariable Name="X">X</pVariable><Constant Name="X">1</Constant>
          <Formula>X</Formula></IntSwissKnife>)");
    EXPECT_EQ(f.get_float("Named"), 28.5);  // (10 + 4) * 2 + 0.5
    EXPECT_EQ(error_of(f.get_int("Loop")), "formula in 'Loop': expressions nested too deeply at 'EX'");
    EXPECT_EQ(f.get_int("Shadow"), 1);  // a constant wins over a variable of the same name
}
