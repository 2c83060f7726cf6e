// A device description's text, built into the feature graph. A failure must carry a message; a
// graph must hold together: every resolved link and every invalidation entry names a node that
// exists, links left by name name no node, and the name index holds exactly the last node of
// each name, built-in nodes included.
#include <string>
#include <string_view>
#include <unordered_map>

#include "fuzz_support.hpp"
#include "korvalite/genicam/xml.hpp"

using namespace korvalite::genicam;

namespace {

void check_links(const Genicam& graph) {
    for (const NodeData& data : graph.nodes) {
        for_each_link(data.node, [&](const Link& link) {
            if (const NodeId* id = link.id()) KORVALITE_FUZZ_CHECK(*id < graph.size());
            else KORVALITE_FUZZ_CHECK(!graph.by_name.contains(*link.name()));
        });
        if (const auto* knife = std::get_if<SwissKnife>(&data.node)) KORVALITE_FUZZ_CHECK(!knife->formula.compiled);
    }
    for (const auto& [key, invalidated] : graph.invalidators) {
        KORVALITE_FUZZ_CHECK(key < graph.size());
        KORVALITE_FUZZ_CHECK(!invalidated.empty());
        for (NodeId id : invalidated) KORVALITE_FUZZ_CHECK(id < graph.size());
    }
}

void check_names(const Genicam& graph) {
    std::unordered_map<std::string_view, NodeId> last;
    for (NodeId id = 0; id < graph.size(); ++id) last[graph[id].name] = id;
    KORVALITE_FUZZ_CHECK(last.size() == graph.by_name.size());
    for (const auto& [name, id] : graph.by_name) {
        const auto it = last.find(name);
        KORVALITE_FUZZ_CHECK(it != last.end() && it->second == id);
        const auto found = graph.lookup(name);
        KORVALITE_FUZZ_CHECK(found && *found == id);
    }
    for (const char* builtin : {"TLParamsLocked", "GevSCPSPacketSize", "GevTimestampTickFrequency"})
        KORVALITE_FUZZ_CHECK(graph.lookup(builtin).has_value());
    KORVALITE_FUZZ_CHECK(graph.stack.empty());
    KORVALITE_FUZZ_CHECK(graph.node_names().size() == graph.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto graph = parse_description(text);
    if (!graph) {
        KORVALITE_FUZZ_CHECK(graph.error().message().starts_with("device description: "));
        KORVALITE_FUZZ_CHECK(graph.error().message().size() > std::string_view("device description: ").size());
        return 0;
    }
    KORVALITE_FUZZ_CHECK(graph->size() >= 3);
    check_links(*graph);
    check_names(*graph);
    return 0;
}
