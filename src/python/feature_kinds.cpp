// The private submodule `_introspect`: what kind of value a feature holds and which features a
// category lists, for the command line's feature tree. Not part of the Camera API.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <utility>

#include "camera.hpp"
#include "errors.hpp"
#include "gil.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace korvalite::py {

namespace {

// Runs `op(camera)` under the device lock, then unwraps its result or raises.
template <class F>
auto with_model(const CameraShared& shared, F&& op) {
    auto result = [&] {
        GilRelease release;
        std::lock_guard lock(shared.device->mutex);
        return op(std::as_const(shared.device->camera));
    }();
    return unwrap(std::move(result));
}

}  // namespace

void bind_introspect(nb::module_& m) {
    nb::module_ im = m.def_submodule("_introspect", "Feature kinds and the category tree, for tools.");
    im.def(
        "feature_kind",
        [](const CameraShared& camera, const std::string& name) {
            return with_model(camera, [&](const device::GenICamera& c) { return c.value_kind(name); });
        },
        "camera"_a, "name"_a);
    im.def(
        "category_features",
        [](const CameraShared& camera, const std::string& name) {
            return with_model(camera, [&](const device::GenICamera& c) { return c.category_features(name); });
        },
        "camera"_a, "name"_a);
}

}  // namespace korvalite::py
