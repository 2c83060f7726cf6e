// Writes along value links to constants and registers, checking the bytes the device saw.
#include <gtest/gtest.h>

#include "bytes_util.hpp"
#include "graph_util.hpp"
#include "korvalite/genicam/node_read.hpp"
#include "korvalite/genicam/node_write.hpp"
#include "memory_port.hpp"

using namespace korvalite;
using namespace korvalite::genicam;
using namespace korvalite::test_support;

namespace {

using Access = MemoryPort::Access;
using Log = std::vector<Access>;

Access wrote(std::uint64_t address, const char* bytes) { return MemoryPort::write_of(address, hex_bytes(bytes)); }
Access read(std::uint64_t address, const char* bytes) { return MemoryPort::read_of(address, hex_bytes(bytes)); }

// A graph and a port; every write checks that the evaluation stack is empty afterwards.
struct Fixture {
    explicit Fixture(std::string_view body) : g(build_graph(body)) {}

    GenicamResult<void> checked(GenicamResult<void> result) {
        EXPECT_TRUE(g.stack.empty());
        return result;
    }
    GenicamResult<void> set_int(std::string_view name, std::int64_t v) {
        return checked(set_int_value(g, id_of(g, name), v, port));
    }
    GenicamResult<void> set_float(std::string_view name, double v) {
        return checked(set_float_value(g, id_of(g, name), v, port));
    }
    GenicamResult<void> set_bool(std::string_view name, bool v) {
        return checked(set_bool_value(g, id_of(g, name), v, port));
    }
    GenicamResult<void> set_string(std::string_view name, std::string_view v) {
        return checked(set_string_value(g, id_of(g, name), v, port));
    }
    GenicamResult<void> run(std::string_view name) { return checked(execute(g, id_of(g, name), port)); }
    std::int64_t get_int(std::string_view name) { return int_value(g, id_of(g, name), port).value_or(-999); }

    Genicam g;
    MemoryPort port;
};

}  // namespace

TEST(NodeWrite, IntegerRegistersTakeTheValuesLowBytes) {
    Fixture f(R"(
        <Integer Name="Small"><pValue>Byte</pValue></Integer>
        <IntReg Name="Byte"><Address>0x10</Address><Length>1</Length></IntReg>
        <IntReg Name="Half"><Address>0x20</Address><Length>2</Length><Endianess>BigEndian</Endianess></IntReg>
        <Integer Name="Rounded"><pValue>Word</pValue></Integer>
        <IntReg Name="Word"><Address>0x30</Address><Length>4</Length><Cachable>NoCache</Cachable></IntReg>
        <IntReg Name="NoLength"><Address>0x40</Address><Cachable>NoCache</Cachable></IntReg>
        <IntReg Name="Wide"><Address>0x50</Address><Length>9</Length></IntReg>
        <Integer Name="Empty"/>)");
    ASSERT_TRUE(f.set_int("Small", 300));
    ASSERT_TRUE(f.set_int("Half", -1));
    ASSERT_TRUE(f.set_float("Rounded", 2.5));
    ASSERT_TRUE(f.set_float("Rounded", -2.5));
    // Without Length a register is read as 4 bytes and written as 4 bytes.
    ASSERT_TRUE(f.set_int("NoLength", 0x01020304));
    EXPECT_EQ(f.get_int("NoLength"), 0x01020304);
    EXPECT_EQ(f.port.log, (Log{wrote(0x10, "2C"), wrote(0x20, "FF FF"), wrote(0x30, "03 00 00 00"),
                               wrote(0x30, "FD FF FF FF"), wrote(0x40, "04 03 02 01"), read(0x40, "04 03 02 01")}));

    f.port.log.clear();
    EXPECT_EQ(error_of(f.set_int("Wide", 1)), "formula in 'Wide': unsupported integer register length 9");
    EXPECT_EQ(error_of(f.set_int("Empty", 1)), "node 'Empty' is not accessible this way (access mode)");
    EXPECT_TRUE(f.port.log.empty());
}

TEST(NodeWrite, BitFieldsMergeIntoTheCurrentBytes) {
    Fixture f(R"(
        <MaskedIntReg Name="Low"><Address>0</Address><Length>4</Length><LSB>31</LSB><MSB>16</MSB>
          <Endianess>BigEndian</Endianess><Cachable>NoCache</Cachable></MaskedIntReg>
        <MaskedIntReg Name="Cached"><Address>8</Address><Length>4</Length><LSB>31</LSB><MSB>16</MSB>
          <Endianess>BigEndian</Endianess><Cachable>WriteThrough</Cachable></MaskedIntReg>
        <MaskedIntReg Name="WriteOnly"><Address>16</Address><Length>4</Length><Bit>3</Bit>
          <AccessMode>WO</AccessMode></MaskedIntReg>)");
    f.port.store(0, hex_bytes("12 34 56 78"));
    f.port.store(8, hex_bytes("12 34 56 78"));
    EXPECT_EQ(f.get_int("Low"), 0x5678);
    ASSERT_TRUE(f.set_int("Low", 1));
    EXPECT_EQ(f.port.log, (Log{read(0, "12 34 56 78"), read(0, "12 34 56 78"), wrote(0, "12 34 00 01")}));

    // A cached register merges into its cached bytes: no device read before the write.
    EXPECT_EQ(f.get_int("Cached"), 0x5678);
    f.port.log.clear();
    ASSERT_TRUE(f.set_int("Cached", 0xABCD));
    EXPECT_EQ(f.port.log, (Log{wrote(8, "12 34 AB CD")}));

    f.port.log.clear();
    EXPECT_EQ(error_of(f.set_int("WriteOnly", 1)), "node 'WriteOnly' is not accessible this way (access mode)");
    EXPECT_TRUE(f.port.log.empty());
}

TEST(NodeWrite, FloatsStringsAndBooleans) {
    Fixture f(R"(
        <Float Name="F"><pValue>FR</pValue></Float>
        <FloatReg Name="FR"><Address>0</Address><Length>4</Length><Endianess>BigEndian</Endianess></FloatReg>
        <FloatReg Name="Short"><Address>0</Address><Length>2</Length></FloatReg>
        <FloatReg Name="Double"><Address>8</Address><Length>8</Length></FloatReg>
        <StringReg Name="SR"><Address>0x20</Address><Length>8</Length></StringReg>
        <String Name="Linked"><pValue>SR</pValue></String>
        <String Name="Const"><Value>a</Value></String>
        <String Name="NoValue"/>
        <Boolean Name="B"><pValue>BR</pValue><OnValue>5</OnValue><OffValue>2</OffValue></Boolean>
        <IntReg Name="BR"><Address>0x30</Address><Length>1</Length></IntReg>
        <Integer Name="I"><pValue>BR</pValue></Integer>)");
    ASSERT_TRUE(f.set_float("F", 1.0));
    ASSERT_TRUE(f.set_float("Double", 0.5));
    ASSERT_TRUE(f.set_string("SR", "abcdefghij"));
    ASSERT_TRUE(f.set_string("Linked", "xy"));
    ASSERT_TRUE(f.set_bool("B", true));
    ASSERT_TRUE(f.set_bool("B", false));
    ASSERT_TRUE(f.set_bool("I", true));
    EXPECT_EQ(f.port.log, (Log{wrote(0, "3F 80 00 00"), wrote(8, "00 00 00 00 00 00 E0 3F"),
                               wrote(0x20, "61 62 63 64 65 66 67 68"), wrote(0x20, "78 79 00 00 00 00 00 00"),
                               wrote(0x30, "05"), wrote(0x30, "02"), wrote(0x30, "01")}));

    f.port.log.clear();
    ASSERT_TRUE(f.set_string("Const", "changed"));
    EXPECT_EQ(string_value(f.g, id_of(f.g, "Const"), f.port), "changed");
    EXPECT_EQ(error_of(f.set_int("F", 1)), "node 'F' does not support this access: F is a float feature");
    EXPECT_EQ(error_of(f.set_float("Short", 1.0)), "formula in 'Short': unsupported float register length 2");
    EXPECT_EQ(error_of(f.set_string("NoValue", "x")), "node 'NoValue' is not accessible this way (access mode)");
    EXPECT_EQ(error_of(f.set_string("B", "x")), "node 'B' does not support this access: B is a boolean feature");
    EXPECT_EQ(error_of(f.set_float("B", 1.0)), "node 'B' does not support this access: B is a boolean feature");
    EXPECT_TRUE(f.port.log.empty());
}

TEST(NodeWrite, InlineConstantsAreReplacedWithoutDeviceTraffic) {
    Fixture f(R"(
        <Integer Name="I"><Value>5</Value></Integer>
        <Float Name="F"><Value>1.5</Value></Float>
        <Float Name="Hex"><Value>0x10</Value></Float>
        <Integer Name="ToI"><pValue>I</pValue></Integer>
        <Float Name="Lost"><pValue>Gone</pValue></Float>)");
    ASSERT_TRUE(f.set_int("ToI", 9));
    EXPECT_EQ(f.get_int("I"), 9);
    ASSERT_TRUE(f.set_float("F", -0.25));
    EXPECT_EQ(float_value(f.g, id_of(f.g, "F"), f.port), -0.25);
    // An integer constant of a Float (written in hexadecimal) is replaced like a float one.
    ASSERT_TRUE(f.set_float("Hex", 2.75));
    EXPECT_EQ(float_value(f.g, id_of(f.g, "Hex"), f.port), 2.75);
    EXPECT_EQ(error_of(f.set_float("Lost", 1.0)), "dangling reference 'Gone'");
    EXPECT_TRUE(f.port.log.empty());
}

TEST(NodeWrite, EnumerationsAndCommands) {
    Fixture f(R"(
        <Enumeration Name="Mode"><pValue>ModeReg</pValue>
          <EnumEntry Name="Off"><Value>0</Value></EnumEntry>
          <EnumEntry Name="On"><Value>7</Value></EnumEntry></Enumeration>
        <IntReg Name="ModeReg"><Address>0</Address><Length>4</Length></IntReg>
        <String Name="ModeText"><pValue>Mode</pValue></String>
        <Command Name="Go"><pValue>GoReg</pValue></Command>
        <Command Name="Fire"><pValue>GoReg</pValue><pCommandValue>Code</pCommandValue></Command>
        <Integer Name="Code"><Value>0x55</Value></Integer>
        <IntReg Name="GoReg"><Address>4</Address><Length>4</Length></IntReg>
        <Command Name="Inline"><Value>0</Value><CommandValue>3</CommandValue></Command>
        <Integer Name="I"><Value>1</Value></Integer>)");
    ASSERT_TRUE(f.set_string("Mode", "On"));
    ASSERT_TRUE(f.set_string("ModeText", "Off"));
    ASSERT_TRUE(f.set_int("Mode", 99));  // any integer goes to the device
    ASSERT_TRUE(f.run("Go"));
    ASSERT_TRUE(f.run("Fire"));
    EXPECT_EQ(f.port.log, (Log{wrote(0, "07 00 00 00"), wrote(0, "00 00 00 00"), wrote(0, "63 00 00 00"),
                               wrote(4, "01 00 00 00"), wrote(4, "55 00 00 00")}));

    f.port.log.clear();
    EXPECT_EQ(error_of(f.set_string("Mode", "on")), "enumeration 'Mode' has no entry 'on'; available entries: Off, On");
    EXPECT_EQ(error_of(f.checked(set_enum_entry(f.g, id_of(f.g, "I"), "On", f.port))), "node 'I' does not support this access: I is an integer feature");
    EXPECT_EQ(error_of(f.run("I")), "node 'I' does not support this access: I is an integer feature");
    ASSERT_TRUE(f.run("Inline"));
    EXPECT_EQ(std::get<Command>(f.g[id_of(f.g, "Inline")].node).value, ValueRef{std::int64_t{3}});
    EXPECT_TRUE(f.port.log.empty());
}

TEST(NodeWrite, ConvertersTransformWithFormulaTo) {
    // A Converter computes in floating point; an IntConverter keeps integers exact.
    struct Case {
        const char* kind;
        const char* formula_to;
        bool as_float;
        const char* sent;
    } cases[] = {{"IntConverter", "FROM / 2", false, "03"},
                 {"IntConverter", "FROM / 2.0", false, "04"},
                 {"IntConverter", "FROM / 2", true, "04"},
                 {"Converter", "FROM / 2", false, "04"},
                 {"Converter", "FROM / 4", false, "02"}};
    for (const auto& c : cases) {
        Fixture f(std::string("<") + c.kind +
                  R"( Name="C"><pValue>R</pValue><FormulaFrom>TO</FormulaFrom><FormulaTo>)" + c.formula_to +
                  "</FormulaTo></" + c.kind + R"(><IntReg Name="R"><Address>0</Address><Length>1</Length></IntReg>)");
        ASSERT_TRUE(c.as_float ? f.set_float("C", 7.0) : f.set_int("C", 7)) << c.formula_to;
        EXPECT_EQ(f.port.log, (Log{wrote(0, c.sent)})) << c.formula_to << (c.as_float ? " float" : " int");
        EXPECT_NE(std::get<Converter>(f.g[id_of(f.g, "C")].node).formula_to.compiled, nullptr);
    }

    Fixture f(R"(
        <Converter Name="ToFloat"><pValue>F</pValue><FormulaTo>FROM * 1.5</FormulaTo></Converter>
        <Float Name="F"><Value>0</Value></Float>
        <Converter Name="NoLink"><Value>1</Value><FormulaTo>FROM</FormulaTo></Converter>
        <Converter Name="Lost"><pValue>Gone</pValue><FormulaTo>FROM</FormulaTo></Converter>
        <Converter Name="Bad"><pValue>F</pValue><FormulaTo>FROM +</FormulaTo></Converter>
        <Converter Name="Loop"><pValue>Loop</pValue><FormulaTo>FROM</FormulaTo></Converter>)");
    ASSERT_TRUE(f.set_int("ToFloat", 3));
    EXPECT_EQ(float_value(f.g, id_of(f.g, "F"), f.port), 4.5);
    EXPECT_EQ(error_of(f.set_int("NoLink", 1)), "node 'NoLink' is not accessible this way (access mode)");
    EXPECT_EQ(error_of(f.set_int("Lost", 1)), "dangling reference 'Gone'");
    EXPECT_EQ(error_of(f.set_int("Bad", 1)), "formula in 'Bad': expression stack underflow");
    EXPECT_EQ(std::get<Converter>(f.g[id_of(f.g, "Bad")].node).formula_to.compiled, nullptr);
    EXPECT_EQ(error_of(f.set_int("Loop", 1)), "circular reference through 'Loop'");
}
