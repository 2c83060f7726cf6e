#include <gtest/gtest.h>

#include "graph_util.hpp"
#include "korvalite/genicam/graph.hpp"

using namespace korvalite::genicam;
using korvalite::GenicamError;
using korvalite::test_support::build_graph;
using korvalite::test_support::link_to;
using korvalite::test_support::node_as;

namespace {

const std::vector<std::string> kDefaultNames = {"TLParamsLocked", "GevSCPSPacketSize", "GevTimestampTickFrequency"};

Genicam three_nodes() {
    return build_graph(R"(<Integer Name="A"><pValue>B</pValue></Integer>
                          <Integer Name="B"><pValue>C</pValue></Integer>
                          <Integer Name="C"><pValue>A</pValue></Integer>)");
}

}  // namespace

TEST(Graph, LookupIsExactAndCaseSensitive) {
    const Genicam g = three_nodes();
    ASSERT_TRUE(g.lookup("B").has_value());
    EXPECT_EQ(g[*g.lookup("B")].name, "B");
    for (const char* missing : {"b", "B ", "", "Missing"}) {
        auto r = g.lookup(missing);
        ASSERT_FALSE(r.has_value()) << missing;
        EXPECT_EQ(r.error().kind(), GenicamError::Kind::FeatureNotFound);
        EXPECT_EQ(r.error().message(), std::string("feature '") + missing + "' not found");
    }
}

TEST(Graph, EnterDetectsCyclesAndClearsTheStack) {
    Genicam g = three_nodes();
    const NodeId a = *g.lookup("A"), b = *g.lookup("B"), c = *g.lookup("C");
    ASSERT_TRUE(g.enter(a).has_value());
    ASSERT_TRUE(g.enter(b).has_value());
    ASSERT_TRUE(g.enter(c).has_value());
    EXPECT_EQ(g.stack, (std::vector<NodeId>{a, b, c}));

    auto again = g.enter(b);
    ASSERT_FALSE(again.has_value());
    EXPECT_EQ(again.error().kind(), GenicamError::Kind::CircularReference);
    EXPECT_EQ(again.error().message(), "circular reference through 'B'");
    EXPECT_TRUE(g.stack.empty());

    // Unwinding after a cycle leaves the cleared stack alone; the next evaluation starts clean.
    g.leave();
    g.leave();
    EXPECT_TRUE(g.stack.empty());
    ASSERT_TRUE(g.enter(b).has_value());
    g.leave();
    EXPECT_TRUE(g.stack.empty());
}

TEST(Graph, DuplicateNamesShadowEarlierNodes) {
    const Genicam g = build_graph(R"(<Integer Name="Gain"><Value>1</Value></Integer>
                                     <Integer Name="User"><pValue>Gain</pValue></Integer>
                                     <Float Name="Gain"><Value>2.5</Value></Float>)");
    const NodeId later = *g.lookup("Gain");
    EXPECT_EQ(later, 2u);
    EXPECT_TRUE(std::holds_alternative<Float>(g[later].node));
    EXPECT_TRUE(std::holds_alternative<Integer>(g[0].node));  // still there under its id
    EXPECT_EQ(node_as<Integer>(g, "User").value, link_to(later));

    std::vector<std::string> expected = {"Gain", "User", "Gain"};
    expected.insert(expected.end(), kDefaultNames.begin(), kDefaultNames.end());
    EXPECT_EQ(g.node_names(), expected);
}

TEST(Graph, EmptyRootHasOnlyTheDefaultNodes) {
    EXPECT_EQ(build_graph("").node_names(), kDefaultNames);
}

TEST(Graph, ForEachLinkVisitsEveryReference) {
    const Genicam g = build_graph(R"(
        <Category Name="Cat"><pFeature>a</pFeature><pFeature>b</pFeature></Category>
        <Integer Name="I"><pValue>a</pValue><pMin>b</pMin><pMax>c</pMax><pInc>d</pInc></Integer>
        <Float Name="F"><pValue>a</pValue><pMin>b</pMin><pMax>c</pMax></Float>
        <Boolean Name="B"><pValue>a</pValue></Boolean>
        <String Name="S"><pValue>a</pValue></String>
        <Enumeration Name="E"><pValue>a</pValue></Enumeration>
        <Command Name="C"><pValue>a</pValue><pCommandValue>b</pCommandValue></Command>
        <Register Name="R"><pAddress>a</pAddress><Address>4</Address><pAddress>b</pAddress><pLength>c</pLength></Register>
        <Converter Name="V"><pValue>a</pValue><pVariable Name="X">b</pVariable><pVariable Name="Y">c</pVariable></Converter>
        <SwissKnife Name="K"><pVariable Name="X">a</pVariable></SwissKnife>
        <Port Name="P"/>)");
    const std::pair<const char*, int> expected[] = {
        {"Cat", 2}, {"I", 4}, {"F", 3}, {"B", 1}, {"S", 1}, {"E", 1},
        {"C", 2},   {"R", 3}, {"V", 3}, {"K", 1}, {"P", 0},
    };
    for (const auto& [name, count] : expected) {
        int seen = 0;
        for_each_link(g[*g.lookup(name)].node, [&](const Link& link) {
            ++seen;
            EXPECT_NE(link.name(), nullptr) << name << ": no node is called a, b, c or d";
        });
        EXPECT_EQ(seen, count) << name;
    }
}
