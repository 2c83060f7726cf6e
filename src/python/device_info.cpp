#include "device_info.hpp"

#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>

namespace nb = nanobind;

namespace korvalite::py {

namespace {

using gige::proto::DeviceInfo;
using gige::proto::dotted;

constexpr const char* kClassDoc =
    "Identity and addressing of a device, parsed from the first\n"
    "[`DISCOVERY_DATA_SIZE`] bytes of bootstrap register space (the discovery\n"
    "acknowledge payload, or the same block read via READMEM).";

std::string repr(const DeviceInfo& d) {
    return "DeviceInfo(" + d.manufacturer + " " + d.model + " serial=" + d.serial + " ip=" + dotted(d.ip) + ")";
}

}  // namespace

void bind_device_info(nb::module_& m) {
    // Attributes are defined in the order Python lists them.
    nb::class_<DeviceInfo>(m, "DeviceInfo", kClassDoc)
        .def_prop_ro("manufacturer", [](const DeviceInfo& d) { return d.manufacturer; }, "Manufacturer name.")
        .def_prop_ro("model", [](const DeviceInfo& d) { return d.model; }, "Model name.")
        .def_prop_ro("serial", [](const DeviceInfo& d) { return d.serial; }, "Serial number.")
        .def_prop_ro("device_version", [](const DeviceInfo& d) { return d.device_version; }, "Device version.")
        .def_prop_ro("manufacturer_info", [](const DeviceInfo& d) { return d.manufacturer_info; },
                     "Manufacturer-specific information.")
        .def_prop_ro("user_defined_name", [](const DeviceInfo& d) { return d.user_defined_name; },
                     "User-defined name.")
        .def_prop_ro("ip", [](const DeviceInfo& d) { return dotted(d.ip); }, "Current IP address, dotted decimal.")
        .def_prop_ro("subnet_mask", [](const DeviceInfo& d) { return dotted(d.subnet_mask); },
                     "Current subnet mask, dotted decimal.")
        .def_prop_ro("gateway", [](const DeviceInfo& d) { return dotted(d.gateway); },
                     "Current default gateway, dotted decimal.")
        .def_prop_ro("mac", [](const DeviceInfo& d) { return d.mac_text(); },
                     "MAC address as six lowercase hex pairs joined by ':'.")
        .def_prop_ro("spec_version", [](const DeviceInfo& d) { return d.spec_version; },
                     "GigE Vision spec version as `(major, minor)`.")
        .def("__repr__", &repr, "`DeviceInfo(<manufacturer> <model> serial=<serial> ip=<ip>)`.");
}

nb::object to_python(const DeviceInfo& info) { return nb::cast(info); }

}  // namespace korvalite::py
