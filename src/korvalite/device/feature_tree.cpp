// What the feature tree shows of a node without reading the device: the kind of value it holds
// and, for a category, the features it lists.
#include "korvalite/device/genicamera.hpp"
#include "korvalite/device/gige_camera.hpp"
#include "korvalite/device/layers.hpp"
#include "korvalite/overloaded.hpp"

namespace korvalite::device {

namespace {

using namespace genicam;

const char* kind_name(const Node& node) {
    return std::visit(Overloaded{
                          [](const Category&) { return "category"; },
                          [](const Integer&) { return "integer"; },
                          [](const Float&) { return "float"; },
                          [](const Boolean&) { return "boolean"; },
                          [](const String&) { return "string"; },
                          [](const Enumeration&) { return "enumeration"; },
                          [](const Command&) { return "command"; },
                          [](const Register& r) {
                              return std::visit(Overloaded{
                                                    [](const register_kind::Int&) { return "integer"; },
                                                    [](const register_kind::Float&) { return "float"; },
                                                    [](const register_kind::String&) { return "string"; },
                                                    [](const register_kind::Bytes&) { return "register"; },
                                                },
                                                r.kind);
                          },
                          [](const Converter&) { return "number"; },
                          [](const SwissKnife&) { return "number"; },
                          [](const Port&) { return "port"; },
                      },
                      node);
}

// Runs `op(graph, id)` on the named node; the model must be loaded (a connection need not exist).
template <class F>
auto with_node(const GigECamera& camera, std::string_view name, F&& op)
    -> GenicamResult<decltype(op(std::declval<const Genicam&>(), NodeId{}))> {
    const Genicam* model = camera.model();
    if (!model) return std::unexpected(GenicamError::description("feature model not loaded"));
    auto id = model->lookup(name);
    if (!id) return std::unexpected(id.error());
    return op(*model, *id);
}

}  // namespace

GenicamResult<std::string> GenICamera::value_kind(std::string_view name) const {
    return with_node(*camera_, name, [](const Genicam& g, NodeId id) { return std::string(kind_name(g[id].node)); });
}

GenicamResult<std::vector<std::string>> GenICamera::category_features(std::string_view name) const {
    return with_node(*camera_, name, [](const Genicam& g, NodeId id) {
        std::vector<std::string> out;
        if (const auto* category = std::get_if<Category>(&g[id].node))
            for (const auto& link : category->features) {
                if (const NodeId* target = link.id()) out.push_back(g[*target].name);
                else if (const std::string* missing = link.name()) out.push_back(*missing);
            }
        return out;
    });
}

}  // namespace korvalite::device
