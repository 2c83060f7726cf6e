// The private submodule `_introspect`: what kind of value a feature holds and which features a
// category lists, for the command line's feature tree. Not part of the Camera API.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include "camera.hpp"
#include "errors.hpp"
#include "gil.hpp"
#include "korvalite/overloaded.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace korvalite::py {

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

// Runs `op(graph, id)` on the named node under the device lock; the model must be loaded.
template <class F>
auto with_node(const CameraShared& shared, const std::string& name, F&& op) {
    using R = decltype(op(std::declval<const Genicam&>(), NodeId{}));
    auto result = [&]() -> GenicamResult<R> {
        GilRelease release;
        std::lock_guard lock(shared.device->mutex);
        const Genicam* model = shared.device->camera.gige().model();
        if (!model) return std::unexpected(GenicamError::description("feature model not loaded"));
        auto id = model->lookup(name);
        if (!id) return std::unexpected(id.error());
        return op(*model, *id);
    }();
    return unwrap(std::move(result));
}

}  // namespace

void bind_introspect(nb::module_& m) {
    nb::module_ im = m.def_submodule("_introspect", "Feature kinds and the category tree, for tools.");
    im.def(
        "feature_kind",
        [](const CameraShared& camera, const std::string& name) {
            return with_node(camera, name, [](const Genicam& g, NodeId id) { return std::string(kind_name(g[id].node)); });
        },
        "camera"_a, "name"_a);
    im.def(
        "category_features",
        [](const CameraShared& camera, const std::string& name) {
            return with_node(camera, name, [](const Genicam& g, NodeId id) {
                std::vector<std::string> out;
                if (const auto* category = std::get_if<Category>(&g[id].node))
                    for (const auto& link : category->features) {
                        if (const NodeId* target = link.id()) out.push_back(g[*target].name);
                        else if (const std::string* missing = link.name()) out.push_back(*missing);
                    }
                return out;
            });
        },
        "camera"_a, "name"_a);
}

}  // namespace korvalite::py
