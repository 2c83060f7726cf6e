// `Camera.feature_info(name)` and the `FeatureInfo` and `EnumEntryInfo` objects it returns.
#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include "device_record.hpp"
#include "enums.hpp"
#include "errors.hpp"
#include "gil.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace korvalite::py {

namespace {

using genicam::EntryDescription;
using genicam::FeatureInfo;

const char* visibility_name(genicam::Visibility visibility) {
    switch (visibility) {
        case genicam::Visibility::Beginner: return "Beginner";
        case genicam::Visibility::Expert: return "Expert";
        case genicam::Visibility::Guru: return "Guru";
        case genicam::Visibility::Invisible: return "Invisible";
    }
    return "";
}

nb::object number_pair(const FeatureInfo& info, bool upper) {
    if (info.int_bounds) return nb::int_(upper ? info.int_bounds->second : info.int_bounds->first);
    if (info.float_bounds) return nb::float_(upper ? info.float_bounds->second : info.float_bounds->first);
    return nb::none();
}

GenicamResult<FeatureInfo> read_info(CameraShared& self, const std::string& name) {
    GilRelease release;
    std::lock_guard lock(self.device->mutex);
    return self.device->camera.feature_info(name);
}

}  // namespace

void bind_camera_features(nb::module_& m, nb::class_<CameraShared>& cls) {
    nb::class_<EntryDescription>(m, "EnumEntryInfo", "One entry of an enumeration feature.")
        .def_ro("name", &EntryDescription::name)
        .def_ro("value", &EntryDescription::value)
        .def_ro("display_name", &EntryDescription::display_name)
        .def_ro("tooltip", &EntryDescription::tooltip)
        .def_ro("description", &EntryDescription::description)
        .def_ro("is_available", &EntryDescription::available, "Whether the entry may be selected now.")
        .def("__repr__", [](const EntryDescription& e) {
            return "EnumEntryInfo(" + e.name + " = " + std::to_string(e.value) + (e.available ? ")" : ", unavailable)");
        }, "`EnumEntryInfo(<name> = <value>)`, with `, unavailable` when it cannot be selected now.");
    nb::class_<FeatureInfo>(m, "FeatureInfo",
                            "What the description says about one feature, and its access mode, bounds and "
                            "entries at the time it was read.")
        .def_ro("name", &FeatureInfo::name)
        .def_prop_ro("kind", [](const FeatureInfo& f) { return std::string(genicam::feature_kind_name(f.kind)); },
                     "integer, float, boolean, enumeration, string, command, category, register or port.")
        .def_prop_ro("access_mode", [](const FeatureInfo& f) { return to_python(f.access_mode); },
                     nb::sig("def access_mode(self) -> AccessMode"))
        .def_ro("display_name", &FeatureInfo::display_name)
        .def_ro("tooltip", &FeatureInfo::tooltip)
        .def_ro("description", &FeatureInfo::description)
        .def_ro("unit", &FeatureInfo::unit)
        .def_ro("representation", &FeatureInfo::representation)
        .def_prop_ro("visibility", [](const FeatureInfo& f) { return std::string(visibility_name(f.visibility)); },
                     "Beginner, Expert, Guru or Invisible.")
        .def_ro("is_streamable", &FeatureInfo::streamable, "Whether the feature belongs in a settings file.")
        .def_ro("selected", &FeatureInfo::selected, "The features this selector selects.")
        .def_ro("locked_by", &FeatureInfo::locked_by,
                "The feature whose non-zero value makes this one read-only (empty when none).")
        .def_prop_ro("min", [](const FeatureInfo& f) { return number_pair(f, false); },
                     nb::sig("def min(self) -> int | float | None"))
        .def_prop_ro("max", [](const FeatureInfo& f) { return number_pair(f, true); },
                     nb::sig("def max(self) -> int | float | None"))
        .def_ro("inc", &FeatureInfo::increment, "The increment of an integer feature.")
        .def_ro("entries", &FeatureInfo::entries)
        .def_prop_ro("is_implemented", &FeatureInfo::is_implemented)
        .def_prop_ro("is_available", &FeatureInfo::is_available)
        .def("__repr__", [](const FeatureInfo& f) {
            return "FeatureInfo(" + f.name + ", " + genicam::feature_kind_name(f.kind) + ")";
        }, "`FeatureInfo(<name>, <kind>)`.");
    cls.def(
        "feature_info",
        [](CameraShared& self, const std::string& name) { return unwrap(read_info(self, name)); }, "name"_a,
        nb::sig("def feature_info(self, name: str) -> FeatureInfo"),
        "Kind, access mode, display name, tooltip, description, unit, visibility, representation, bounds and "
        "increment or entries of the feature `name`.");
}

}  // namespace korvalite::py
