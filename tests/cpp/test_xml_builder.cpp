#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "graph_util.hpp"
#include "korvalite/genicam/literal_text.hpp"
#include "korvalite/genicam/xml.hpp"

using namespace korvalite::genicam;
using korvalite::GenicamError;
using korvalite::test_support::build_graph;
using korvalite::test_support::link_named;
using korvalite::test_support::link_to;
using korvalite::test_support::node_as;

namespace {

using Int = register_kind::Int;

ValueRef i64(std::int64_t v) { return v; }

std::string parse_error(std::string_view text) {
    auto g = parse_description(text);
    EXPECT_FALSE(g.has_value());
    if (g) return {};
    EXPECT_EQ(g.error().kind(), GenicamError::Kind::Description);
    return g.error().message();
}

}  // namespace

TEST(ParseI64, AcceptsExactlyItsGrammar) {
    constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
    const std::pair<const char*, std::optional<std::int64_t>> accepted[] = {
        {"7", 7},        {"+7", 7},      {"-7", -7},        {"0", 0},   {"0x1F", 31},
        {"0X+1F", 31},   {"0xd04", 0xD04}, {"0xFFFFFFFFFFFFFFFF", -1}, {"0x8000000000000000", kMin},
        {"9223372036854775807", std::numeric_limits<std::int64_t>::max()}, {"-9223372036854775808", kMin},
    };
    for (const auto& [text, expected] : accepted) EXPECT_EQ(parse_i64(text), expected) << '"' << text << '"';
    for (const char* text : {"0x", "0x+", "+", "-", "", "0x-1", "-0x1", "+-1", "++1", "7 ", " 7", "1_000", "0b101",
                             "1.0", "0x10000000000000000", "9223372036854775808", "0x0x1"})
        EXPECT_EQ(parse_i64(text), std::nullopt) << '"' << text << '"';
}

TEST(ParseFloatLiteral, AcceptsDecimalFormsOnly) {
    const double inf = std::numeric_limits<double>::infinity();
    const std::pair<const char*, std::optional<double>> cases[] = {
        {"1.5", 1.5},      {"-2.5", -2.5},   {"+3", 3.0},       {"1.", 1.0},      {".5", 0.5},
        {"1e+06", 1e6},    {"2E-3", 2e-3},   {"1.e2", 100.0},   {"0.000000001", 1e-9},
        {"inf", inf},      {"-Infinity", -inf}, {"1e400", inf}, {"-1e400", -inf}, {"1e-400", 0.0},
        {"0x10", std::nullopt}, {".", std::nullopt}, {"", std::nullopt}, {"e5", std::nullopt},
        {"1e", std::nullopt},   {"1e+", std::nullopt}, {" 1", std::nullopt}, {"1 ", std::nullopt},
        {"1_0", std::nullopt},  {"1.2.3", std::nullopt}, {"infinit", std::nullopt}, {"nan(1)", std::nullopt},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(parse_float_literal(text), expected) << '"' << text << '"';
    ASSERT_TRUE(parse_float_literal("NaN").has_value());
    EXPECT_TRUE(std::isnan(*parse_float_literal("NaN")));
}

TEST(TrimWhiteSpace, StripsUnicodeWhiteSpace) {
    EXPECT_EQ(trim_white_space("\r\n\t  Width \n"), "Width");
    EXPECT_EQ(trim_white_space("\xC2\xA0" "Gain\xE3\x80\x80"), "Gain");  // U+00A0, U+3000
    EXPECT_EQ(trim_white_space("a b"), "a b");
    EXPECT_EQ(trim_white_space("\xC2\xB5s"), "\xC2\xB5s");  // µ is not space
    EXPECT_EQ(trim_white_space(" \t "), "");
}

TEST(XmlBuilder, DefaultNodesFromTheirSnippets) {
    const Genicam g = build_graph("");
    const auto& locked = node_as<Integer>(g, "TLParamsLocked");
    EXPECT_EQ(locked.value, i64(0));
    EXPECT_EQ(locked.min, i64(0));
    EXPECT_EQ(locked.max, i64(1));
    EXPECT_EQ(locked.inc, ValueRef{Absent{}});

    const auto& packet = node_as<Register>(g, "GevSCPSPacketSize");
    EXPECT_EQ(packet.common.addresses, (std::vector<ValueRef>{i64(0xD04)}));
    EXPECT_EQ(packet.common.length, i64(4));
    EXPECT_EQ(packet.common.access, AccessMode::RW);
    EXPECT_EQ(packet.common.cache_mode, CacheMode::NoCache);
    EXPECT_FALSE(packet.common.cache.has_value());
    EXPECT_EQ(packet.kind, RegisterKind{(Int{31u, 16u, true, true})});

    const auto& tick = node_as<Register>(g, "GevTimestampTickFrequency");
    EXPECT_EQ(tick.common.addresses, (std::vector<ValueRef>{i64(0x93C)}));
    EXPECT_EQ(tick.common.length, i64(8));
    EXPECT_EQ(tick.common.access, AccessMode::RO);
    EXPECT_EQ(tick.common.cache_mode, CacheMode::WriteAround);
    EXPECT_EQ(tick.kind, RegisterKind{(Int{std::nullopt, std::nullopt, true, true})});
}

TEST(XmlBuilder, DescriptionDefinitionsReplaceDefaults) {
    const Genicam g = build_graph(R"(<Integer Name="TLParamsLocked"><Value>5</Value></Integer>
                                     <Port Name="Device"/>)");
    EXPECT_EQ(g.node_names(),
              (std::vector<std::string>{"TLParamsLocked", "Device", "GevSCPSPacketSize", "GevTimestampTickFrequency"}));
    EXPECT_EQ(node_as<Integer>(g, "TLParamsLocked").value, i64(5));
    EXPECT_EQ(node_as<Integer>(g, "TLParamsLocked").max, ValueRef{Absent{}});
}

TEST(XmlBuilder, ValueRefsReferenceWinsAndLiteralsParse) {
    const Genicam g = build_graph(R"(
        <Integer Name="I"><Value>5</Value><pValue>Y</pValue><Min>0x10</Min><Max>big</Max><pInc> </pInc></Integer>
        <Float Name="F"><Value>2.5</Value><Min>0x10</Min><Max>1e+06</Max></Float>
        <Float Name="G"><Value>7</Value><Min>-inf</Min><Max>x</Max></Float>
        <Integer Name="Y"><Value>1</Value></Integer>)");
    const auto& i = node_as<Integer>(g, "I");
    EXPECT_EQ(i.value, link_to(*g.lookup("Y")));
    EXPECT_EQ(i.min, i64(16));
    EXPECT_EQ(i.max, ValueRef{Absent{}});
    EXPECT_EQ(i.inc, link_named(""));  // white space only: an (empty) reference
    const auto& f = node_as<Float>(g, "F");
    EXPECT_EQ(f.value, ValueRef{2.5});
    EXPECT_EQ(f.min, i64(16));
    EXPECT_EQ(f.max, ValueRef{1e6});
    const auto& g2 = node_as<Float>(g, "G");
    EXPECT_EQ(g2.value, ValueRef{7.0});
    EXPECT_EQ(g2.min, ValueRef{-std::numeric_limits<double>::infinity()});
    EXPECT_EQ(g2.max, ValueRef{Absent{}});
}

TEST(XmlBuilder, KindsReadTheirChildren) {
    const Genicam g = build_graph(R"(
        <Boolean Name="B1"><Value>1</Value><OnValue>on</OnValue><OffValue>0x5</OffValue></Boolean>
        <Boolean Name="B2"><pValue>R</pValue><OnValue>3</OnValue></Boolean>
        <String Name="S1"><Value>  hello world </Value></String>
        <String Name="S2"><Value>x</Value><pValue>R</pValue></String>
        <String Name="S3"/>
        <Enumeration Name="E"><pValue>R</pValue>
            <EnumEntry Name="Mono8"><Value>0x01080001</Value></EnumEntry>
            <EnumEntry><Value>2</Value></EnumEntry>
            <EnumEntry Name="Bad"><Value>two</Value></EnumEntry>
            <EnumEntry Name="NoValue"/>
            <EnumEntry Name="Last"><Value>-1</Value><Value>9</Value></EnumEntry>
        </Enumeration>
        <Command Name="C"><pValue>R</pValue><CommandValue>4</CommandValue></Command>
        <IntConverter Name="V"><pValue>R</pValue><FormulaTo> FROM / 2 </FormulaTo>
            <pVariable Name="A">R</pVariable><pVariable>R</pVariable><pVariable Name="E"/></IntConverter>
        <SwissKnife Name="K"><pVariable Name="W">Nowhere</pVariable></SwissKnife>
        <Category Name="Cat"><pFeature>R</pFeature><pFeature/><pFeature> Nowhere </pFeature></Category>
        <IntReg Name="R"><Address>0</Address></IntReg>)");
    const ValueRef r = link_to(*g.lookup("R"));

    EXPECT_EQ(node_as<Boolean>(g, "B1").on_value, 1);
    EXPECT_EQ(node_as<Boolean>(g, "B1").off_value, 5);
    EXPECT_EQ(node_as<Boolean>(g, "B2").value, r);
    EXPECT_EQ(node_as<Boolean>(g, "B2").on_value, 3);
    EXPECT_EQ(node_as<Boolean>(g, "B2").off_value, 0);

    EXPECT_EQ(node_as<String>(g, "S1").value, ValueRef{std::string("hello world")});
    EXPECT_EQ(node_as<String>(g, "S2").value, r);
    EXPECT_EQ(node_as<String>(g, "S3").value, ValueRef{Absent{}});

    EXPECT_EQ(node_as<Enumeration>(g, "E").value, r);
    EXPECT_EQ(node_as<Enumeration>(g, "E").entries, (std::vector<EnumEntry>{{"Mono8", 0x01080001}, {"Last", -1}}));
    EXPECT_FALSE(g.lookup("Mono8").has_value());  // entries are not nodes

    EXPECT_EQ(node_as<Command>(g, "C").value, r);
    EXPECT_EQ(node_as<Command>(g, "C").command_value, i64(4));

    const auto& v = node_as<Converter>(g, "V");
    EXPECT_EQ(v.value, r);
    EXPECT_EQ(v.formula_to.source, "FROM / 2");
    EXPECT_EQ(v.formula_from.source, "");
    EXPECT_EQ(v.formula_to.compiled, nullptr);
    EXPECT_EQ(v.variables, (std::vector<Variable>{{"A", Link::to(*g.lookup("R"))}}));

    const auto& k = node_as<SwissKnife>(g, "K");
    EXPECT_EQ(k.formula.source, "");
    EXPECT_EQ(k.variables, (std::vector<Variable>{{"W", Link::named("Nowhere")}}));

    EXPECT_EQ(node_as<Category>(g, "Cat").features,
              (std::vector<Link>{Link::to(*g.lookup("R")), Link::named("Nowhere")}));
}

TEST(XmlBuilder, RegisterChildren) {
    const Genicam g = build_graph(R"(
        <Integer Name="Base"><Value>256</Value></Integer>
        <IntReg Name="A"><Address>0x10</Address><pAddress>Base</pAddress><Address>junk</Address>
            <pLength>Base</pLength><Sign>Signed</Sign><Endianess>BigEndian</Endianess><LSB>3</LSB></IntReg>
        <MaskedIntReg Name="M1"><Bit>5</Bit><Endianess>LittleEndian</Endianess><Sign> Unsigned </Sign></MaskedIntReg>
        <MaskedIntReg Name="M2"><LSB>0x100000007</LSB><Bit>5</Bit><MSB>x</MSB><Sign>Signed</Sign></MaskedIntReg>
        <FloatReg Name="F"><Endianess>BigEndian</Endianess><Length>8</Length></FloatReg>
        <StringReg Name="S"/><Register Name="B"><pPort>Device</pPort></Register>)");
    const auto& a = node_as<Register>(g, "A");
    EXPECT_EQ(a.common.addresses, (std::vector<ValueRef>{i64(16), link_to(*g.lookup("Base"))}));
    EXPECT_EQ(a.common.length, link_to(*g.lookup("Base")));
    EXPECT_EQ(a.kind, RegisterKind{(Int{std::nullopt, std::nullopt, false, true})});

    EXPECT_EQ(node_as<Register>(g, "M1").kind, RegisterKind{(Int{5u, 5u, true, false})});
    EXPECT_EQ(node_as<Register>(g, "M2").kind, RegisterKind{(Int{7u, 5u, false, false})});
    EXPECT_EQ(node_as<Register>(g, "F").kind, RegisterKind{register_kind::Float{true}});
    EXPECT_EQ(node_as<Register>(g, "F").common.length, i64(8));
    EXPECT_EQ(node_as<Register>(g, "S").kind, RegisterKind{register_kind::String{}});
    const auto& b = node_as<Register>(g, "B");
    EXPECT_EQ(b.kind, RegisterKind{register_kind::Bytes{}});
    EXPECT_TRUE(b.common.addresses.empty());
    EXPECT_EQ(b.common.length, ValueRef{Absent{}});
}

TEST(XmlBuilder, AccessAndCacheModeTexts) {
    const std::tuple<const char*, AccessMode, CacheMode> cases[] = {
        {"<AccessMode>RO</AccessMode><Cachable>NoCache</Cachable>", AccessMode::RO, CacheMode::NoCache},
        {"<AccessMode>WO</AccessMode><Cachable>WriteThrough</Cachable>", AccessMode::WO, CacheMode::WriteThrough},
        {"<AccessMode>RW</AccessMode><Cachable>WriteAround</Cachable>", AccessMode::RW, CacheMode::WriteAround},
        {"<AccessMode>ro</AccessMode><Cachable>nocache</Cachable>", AccessMode::RW, CacheMode::WriteAround},
        {"<AccessMode>rw</AccessMode><Cachable>Sometimes</Cachable>", AccessMode::RW, CacheMode::WriteAround},
        {"<AccessMode> WO </AccessMode>", AccessMode::WO, CacheMode::WriteAround},
        {"", AccessMode::RW, CacheMode::WriteAround},
    };
    for (const auto& [children, access, cache] : cases) {
        const Genicam g = build_graph(std::string("<IntReg Name=\"R\">") + children + "</IntReg>");
        EXPECT_EQ(node_as<Register>(g, "R").common.access, access) << children;
        EXPECT_EQ(node_as<Register>(g, "R").common.cache_mode, cache) << children;
    }
}

TEST(XmlBuilder, InlineSwissKnivesAndAnonymousNames) {
    const Genicam g = build_graph(R"(
        <Integer><Value>1</Value></Integer>
        <Unknown/>
        <IntReg Name="R"><Address>0x100</Address>
            <IntSwissKnife><pVariable Name="X">Off</pVariable><Formula>X * 4</Formula></IntSwissKnife>
            <SwissKnife Name="NotATerm"><Formula>1</Formula></SwissKnife></IntReg>
        <IntReg><IntSwissKnife Name="Named"><Formula>8</Formula></IntSwissKnife></IntReg>
        <Group Comment="x"><Port/></Group>)");
    EXPECT_EQ(g.node_names(),
              (std::vector<std::string>{"__anonymous_Integer_1", "__anonymous_IntSwissKnife_3", "R", "Named",
                                        "__anonymous_IntReg_4", "__anonymous_Port_5", "TLParamsLocked",
                                        "GevSCPSPacketSize", "GevTimestampTickFrequency"}));
    const auto& r = node_as<Register>(g, "R");
    EXPECT_EQ(r.common.addresses, (std::vector<ValueRef>{i64(0x100), link_to(1)}));
    EXPECT_EQ(std::get<SwissKnife>(g[1].node).formula.source, "X * 4");
    EXPECT_EQ(node_as<Register>(g, "__anonymous_IntReg_4").common.addresses, (std::vector<ValueRef>{link_to(3)}));
}

TEST(XmlBuilder, InlineTermLinksHoldTheirIdEvenWhenShadowed) {
    const Genicam g = build_graph(R"(<IntReg Name="R"><IntSwissKnife Name="Off"><Formula>4</Formula></IntSwissKnife></IntReg>
                                     <Integer Name="Off"><Value>9</Value></Integer>)");
    EXPECT_EQ(node_as<Register>(g, "R").common.addresses, (std::vector<ValueRef>{link_to(0)}));
    EXPECT_EQ(*g.lookup("Off"), 2u);
}

TEST(XmlBuilder, StructEntriesShareTheStructRegister) {
    const Genicam g = build_graph(R"(
        <Integer Name="Base"><Value>0</Value></Integer>
        <StructReg Comment="s"><Address>0x20</Address><IntSwissKnife><Formula>4</Formula></IntSwissKnife>
            <Length>4</Length><AccessMode>RO</AccessMode><Cachable>NoCache</Cachable>
            <Endianess>BigEndian</Endianess><Sign>Signed</Sign><pInvalidator>Base</pInvalidator>
            <StructEntry Name="Lo"><Bit>0</Bit><pInvalidator>Base</pInvalidator></StructEntry>
            <StructEntry><Bit>1</Bit></StructEntry>
            <StructEntry Name="Hi"><LSB>8</LSB><MSB>15</MSB><AccessMode>RW</AccessMode>
                <Endianess>LittleEndian</Endianess><Sign>Unsigned</Sign></StructEntry>
            <StructEntry Name="Odd"><AccessMode>rw</AccessMode></StructEntry>
        </StructReg>)");
    EXPECT_EQ(g.node_names(), (std::vector<std::string>{"Base", "__anonymous_IntSwissKnife_2", "Lo", "Hi", "Odd",
                                                        "TLParamsLocked", "GevSCPSPacketSize",
                                                        "GevTimestampTickFrequency"}));
    const std::vector<ValueRef> terms = {i64(0x20), link_to(1)};
    const std::tuple<const char*, AccessMode, Int> expected[] = {
        {"Lo", AccessMode::RO, Int{0u, 0u, false, true}},
        {"Hi", AccessMode::RW, Int{8u, 15u, true, false}},
        {"Odd", AccessMode::RO, Int{std::nullopt, std::nullopt, false, true}},
    };
    for (const auto& [name, access, kind] : expected) {
        const auto& reg = node_as<Register>(g, name);
        EXPECT_EQ(reg.common.addresses, terms) << name;
        EXPECT_EQ(reg.common.length, i64(4)) << name;
        EXPECT_EQ(reg.common.cache_mode, CacheMode::NoCache) << name;
        EXPECT_EQ(reg.common.access, access) << name;
        EXPECT_EQ(reg.kind, RegisterKind{kind}) << name;
    }
    // Only the entry's own pInvalidator counts, not the struct's.
    EXPECT_EQ(g.invalidators, (InvalidationIndex{{0u, {2u}}}));
}

TEST(XmlBuilder, InvalidationIndexKeepsOrderAndDropsUnknownNames) {
    const Genicam g = build_graph(R"(
        <IntReg Name="A"><pInvalidator>Trigger</pInvalidator><pInvalidator>Nowhere</pInvalidator>
            <pInvalidator>Trigger</pInvalidator></IntReg>
        <IntReg Name="B"><pInvalidator> Trigger </pInvalidator><pInvalidator>A</pInvalidator><pInvalidator/></IntReg>
        <Command Name="Trigger"/>)");
    EXPECT_EQ(g.invalidators, (InvalidationIndex{{2u, {0u, 0u, 1u}}, {0u, {1u}}}));
}

TEST(XmlBuilder, OnlyRootAndGroupChildrenAreRead) {
    const Genicam g = build_graph(R"(
        <Group><Group><Group><Integer Name="Deep"/></Group></Group><Integer Name="After"/></Group>
        <Extension><Integer Name="Hidden"/></Extension>
        <Integer Name="Outer"><Integer Name="Nested"/></Integer>
        <Category Name="C"><Group><pFeature>Deep</pFeature></Group></Category>)");
    EXPECT_TRUE(g.lookup("Deep").has_value());
    EXPECT_TRUE(g.lookup("After").has_value());
    EXPECT_TRUE(g.lookup("Outer").has_value());
    EXPECT_FALSE(g.lookup("Hidden").has_value());
    EXPECT_FALSE(g.lookup("Nested").has_value());
    EXPECT_TRUE(node_as<Category>(g, "C").features.empty());
    EXPECT_EQ(*g.lookup("Deep"), 0u);
    EXPECT_EQ(*g.lookup("After"), 1u);
}

TEST(XmlBuilder, DeeplyNestedGroupsDoNotExhaustTheStack) {
    constexpr int kDepth = 200000;
    std::string body;
    for (int i = 0; i < kDepth; ++i) body += "<Group>";
    body += "<Port Name=\"P\"/>";
    for (int i = 0; i < kDepth; ++i) body += "</Group>";
    EXPECT_EQ(*build_graph(body).lookup("P"), 0u);
}

TEST(XmlBuilder, NamespacesAreIgnored) {
    const Genicam g = parse_description(R"(<?xml version="1.0" encoding="utf-8"?>
        <g:RegisterDescription xmlns:g="http://www.genicam.org/GenApi/Version_1_1" xmlns="urn:x">
          <g:Group><g:Integer g:Name="I"><g:Value>3</g:Value></g:Integer></g:Group>
          <Integer Name="J"><pValue>I</pValue></Integer>
        </g:RegisterDescription>)").value();
    EXPECT_EQ(node_as<Integer>(g, "I").value, i64(3));
    EXPECT_EQ(node_as<Integer>(g, "J").value, link_to(0));
}

TEST(XmlBuilder, TextRules) {
    const Genicam g = build_graph(R"(
        <Integer Name="Cdata"><pValue>  Ga<![CDATA[in]]>  </pValue></Integer>
        <Integer Name="OnlyCdata"><pValue><![CDATA[ Gain ]]></pValue></Integer>
        <Integer Name="CommentFirst"><Value><!-- c -->5</Value></Integer>
        <Integer Name="CommentAfter"><Value>5<!-- c -->6</Value></Integer>
        <Integer Name="OnlyComment"><Value><!-- 5 --></Value></Integer>
        <Integer Name="ElementInside"><Value>1<x>2</x>3<?pi 4?></Value></Integer>
        <Integer Name="Entities"><pValue>&#x47;ain</pValue></Integer>
        <Integer Name="FirstOnly"><Value/><Value>8</Value></Integer>
        <Integer Name="Untrimmed Name "><Value>
            0x10
        </Value></Integer>
        <Integer Name="Gain"/>
        <SwissKnife Name="K"><Formula>A &lt; B &amp;&amp; C</Formula></SwissKnife>
        <SwissKnife Name="Commented"><Formula>(((<!-- A &amp;&amp; -->B )) )? 1 : 0</Formula></SwissKnife>)");
    const ValueRef gain = link_to(*g.lookup("Gain"));
    EXPECT_EQ(node_as<Integer>(g, "Cdata").value, gain);
    EXPECT_EQ(node_as<Integer>(g, "OnlyCdata").value, gain);
    EXPECT_EQ(node_as<Integer>(g, "CommentFirst").value, i64(5));
    EXPECT_EQ(node_as<Integer>(g, "CommentAfter").value, i64(56));
    EXPECT_EQ(node_as<Integer>(g, "OnlyComment").value, ValueRef{Absent{}});
    EXPECT_EQ(node_as<Integer>(g, "ElementInside").value, i64(13));
    EXPECT_EQ(node_as<Integer>(g, "Entities").value, gain);
    EXPECT_EQ(node_as<Integer>(g, "FirstOnly").value, ValueRef{Absent{}});
    EXPECT_EQ(node_as<Integer>(g, "Untrimmed Name ").value, i64(16));
    EXPECT_EQ(node_as<SwissKnife>(g, "K").formula.source, "A < B && C");
    EXPECT_EQ(node_as<SwissKnife>(g, "Commented").formula.source, "(((B )) )? 1 : 0");
}

TEST(XmlBuilder, DanglingReferencesBuild) {
    const Genicam g = build_graph(R"(<Integer Name="Width"><pValue>WidthReg</pValue><pMax>Gone</pMax></Integer>
                                     <Integer Name="Height"><Value>480</Value></Integer>)");
    EXPECT_EQ(node_as<Integer>(g, "Width").value, link_named("WidthReg"));
    EXPECT_EQ(node_as<Integer>(g, "Width").max, link_named("Gone"));
    EXPECT_EQ(node_as<Integer>(g, "Height").value, i64(480));
}

TEST(XmlBuilder, MalformedXmlReportsTheParserMessageAndPosition) {
    EXPECT_EQ(parse_error(""), "device description: No document element found at line 1, column 1");
    EXPECT_EQ(parse_error("<!-- only -->"), "device description: No document element found at line 1, column 14");
    EXPECT_EQ(parse_error("<R>\n  <Integer></Value>\n</R>"),
              "device description: Start-end tags mismatch at line 2, column 14");
    EXPECT_EQ(parse_error("<R><1/></R>"), "device description: Could not determine tag type at line 1, column 5");
    // A document type declaration is no error.
    auto g = parse_description("<?xml version=\"1.0\"?>\n<!DOCTYPE R [\n<!ELEMENT R ANY>\n]>\n<R><Port Name=\"P\"/></R>");
    ASSERT_TRUE(g.has_value());
    EXPECT_EQ(*g->lookup("P"), 0u);
}
