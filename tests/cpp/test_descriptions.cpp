// Every real camera description in the shared corpus builds, and its graph keeps the invariants
// evaluation relies on.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>

#include "korvalite/genicam/event_names.hpp"
#include "korvalite/genicam/xml.hpp"
#include "shared_descriptions.hpp"

using namespace korvalite::genicam;
namespace fs = std::filesystem;

namespace {

std::vector<fs::path> descriptions() {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(korvalite::test_support::shared_descriptions()))
        if (entry.path().extension() == ".xml") files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Checks the structural invariants; returns the number of dangling links seen.
std::size_t check_invariants(const Genicam& g, const std::string& file) {
    const std::size_t n = g.size();
    std::size_t dangling = 0;
    for (NodeId id = 0; id < n; ++id) {
        for_each_link(g[id].node, [&](const Link& link) {
            if (const NodeId* target = link.id())
                EXPECT_LT(*target, n) << file << ": node " << g[id].name;
            else
                ++dangling;
        });
        if (const auto* reg = std::get_if<Register>(&g[id].node)) {
            EXPECT_FALSE(reg->common.cache.has_value()) << file << ": " << g[id].name;
        }
    }
    // Every name maps to the last node carrying it, and every node name is indexed.
    std::set<std::string> names;
    for (NodeId id = 0; id < n; ++id) names.insert(g[id].name);
    EXPECT_EQ(g.by_name.size(), names.size()) << file;
    for (const auto& [name, id] : g.by_name) {
        EXPECT_LT(id, n) << file;
        if (id >= n) continue;
        EXPECT_EQ(g[id].name, name) << file;
        for (NodeId later = id + 1; later < n; ++later)
            EXPECT_NE(g[later].name, name) << file << ": '" << name << "' maps to a shadowed node";
    }
    for (const auto& [key, targets] : g.invalidators) {
        EXPECT_LT(key, n) << file;
        EXPECT_FALSE(targets.empty()) << file;
        for (NodeId t : targets) EXPECT_LT(t, n) << file;
    }
    EXPECT_TRUE(g.stack.empty()) << file;
    return dangling;
}

}  // namespace

TEST(Descriptions, EveryCorpusFileBuildsWithSoundInvariants) {
    KORVALITE_REQUIRE_SHARED_DESCRIPTIONS();
    const auto files = descriptions();
    ASSERT_GE(files.size(), 30u);
    for (const auto& path : files) {
        const std::string file = path.filename().string();
        auto graph = parse_description(read_file(path));
        ASSERT_TRUE(graph.has_value()) << file << ": " << graph.error().message();
        EXPECT_GT(graph->size(), 3u) << file;
        for (const char* name : {"TLParamsLocked", "GevSCPSPacketSize", "GevTimestampTickFrequency"})
            EXPECT_TRUE(graph->lookup(name).has_value()) << file << ": " << name;
        check_invariants(*graph, file);
    }
}

// Spot checks against facts stated in the corpus notes.
TEST(Descriptions, CorpusQuirks) {
    KORVALITE_REQUIRE_SHARED_DESCRIPTIONS();
    const auto load = [](const char* name) {
        return parse_description(read_file(korvalite::test_support::shared_descriptions() / name)).value();
    };
    // References to nodes the file does not contain stay dangling.
    const Genicam v4l2 = load("AravisProject__aravis__arv-v4l2.xml");
    EXPECT_GT(check_invariants(v4l2, "arv-v4l2"), 0u);

    // Named IntSwissKnife address terms inside StructReg / IntReg come before their registers.
    const Genicam mako = load("jfrazao__GenICam__Mako_U-029B.xml");
    std::size_t inline_terms = 0;
    for (NodeId id = 0; id < mako.size(); ++id) {
        const auto* reg = std::get_if<Register>(&mako[id].node);
        if (!reg) continue;
        for (const auto& term : reg->common.addresses) {
            const auto* link = std::get_if<Link>(&term);
            if (link && link->id() && *link->id() < id && std::holds_alternative<SwissKnife>(mako[*link->id()].node))
                ++inline_terms;
        }
    }
    EXPECT_GE(inline_terms, 304u);
}

// Event ports name their events in both conventions the corpus uses.
TEST(Descriptions, EventPortsNameTheirEvents) {
    KORVALITE_REQUIRE_SHARED_DESCRIPTIONS();
    const auto names = [](const char* file) {
        return event_names(parse_description(read_file(korvalite::test_support::shared_descriptions() / file)).value());
    };
    const EventNames basler = names("areaDetector__ADGenICam__Basler-acA640-300gm.xml");  // ExposureEndEventPort
    const EventNames flir = names("jfrazao__GenICam__Blackfly_S_BFS-U3-16S2M.xml");       // EventExposureEndPort
    EXPECT_EQ(basler.at(0x0004), "ExposureEnd");
    EXPECT_EQ(basler.at(0x9000), "LineStartOvertrigger");
    EXPECT_EQ(flir.at(0x9C43), "ExposureEnd");
    EXPECT_EQ(flir.at(0x9C40), "Error");
}
