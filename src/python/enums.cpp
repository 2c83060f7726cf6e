#include "enums.hpp"

#include <nanobind/stl/string.h>

#include <array>
#include <string>
#include <utility>

namespace nb = nanobind;

namespace korvalite::py {

namespace {

using gige::stream::FrameStatus;
using genicam::AccessMode;

// The Python-side instances; distinct C++ types give distinct Python classes.
struct FrameStatusValue {
    FrameStatus value;
};
struct AccessModeValue {
    AccessMode value;
};

constexpr std::array<std::pair<const char*, FrameStatus>, 11> kFrameStatusMembers = {{
    {"Complete", FrameStatus::Complete},
    {"MissingPackets", FrameStatus::MissingPackets},
    {"Timeout", FrameStatus::Timeout},
    {"Aborted", FrameStatus::Aborted},
    {"WrongPacketId", FrameStatus::WrongPacketId},
    {"PayloadUnsupported", FrameStatus::PayloadUnsupported},
    {"SizeMismatch", FrameStatus::SizeMismatch},
    {"OversizedPacket", FrameStatus::OversizedPacket},
    {"EarlyTrailer", FrameStatus::EarlyTrailer},
    {"MalformedChunks", FrameStatus::MalformedChunks},
    {"IncompletePayload", FrameStatus::IncompletePayload},
}};

constexpr std::array<std::pair<const char*, AccessMode>, 5> kAccessModeMembers = {{
    {"RO", AccessMode::RO},
    {"WO", AccessMode::WO},
    {"RW", AccessMode::RW},
    {"NA", AccessMode::NA},
    {"NI", AccessMode::NI},
}};

template <class E, std::size_t N>
const char* member_name(const std::array<std::pair<const char*, E>, N>& members, E value) {
    for (const auto& [name, member] : members)
        if (member == value) return name;
    return "?";
}

// Equal to an instance of the same class with the same value, or to an integer of that value;
// anything else is not ours to judge.
template <class Wrapper>
nb::object equals(const Wrapper& self, nb::handle other) {
    const nb::int_ own(static_cast<int>(self.value));
    if (nb::isinstance<Wrapper>(other))
        return nb::bool_(static_cast<int>(nb::cast<const Wrapper&>(other).value) == static_cast<int>(self.value));
    if (PyLong_Check(other.ptr())) return nb::bool_(own.equal(other));
    return nb::borrow(Py_NotImplemented);
}

template <class Wrapper>
nb::object not_equals(const Wrapper& self, nb::handle other) {
    nb::object equal = equals(self, other);
    if (equal.is(Py_NotImplemented)) return equal;
    return nb::bool_(!nb::cast<bool>(equal));
}

// Each class holds its own instances as attributes, and each instance refers to its class: the
// instances take part in garbage collection so that cycle is collected when the module goes.
int visit_class(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    return 0;
}
int clear_nothing(PyObject*) { return 0; }

PyType_Slot collectable_slots[] = {
    {Py_tp_traverse, reinterpret_cast<void*>(&visit_class)},
    {Py_tp_clear, reinterpret_cast<void*>(&clear_nothing)},
    {0, nullptr},
};

template <class Wrapper, class E, std::size_t N>
void bind_enumeration(nb::module_& m, const char* class_name, const char* doc,
                      const std::array<std::pair<const char*, E>, N>& members) {
    nb::class_<Wrapper> cls(m, class_name, doc, nb::type_slots(collectable_slots));
    const std::string prefix = std::string(class_name) + ".";
    cls.def("__int__", [](const Wrapper& self) { return static_cast<int>(self.value); }, "The member's integer value.")
        .def("__hash__", [](const Wrapper& self) { return nb::hash(nb::int_(static_cast<int>(self.value))); },
             "The hash of the member's integer value, so members and integers find the same dict keys.")
        .def("__eq__", &equals<Wrapper>, nb::arg("other").none(),
             nb::sig("def __eq__(self, other: object, /) -> bool"), "Equal to the same member or to its integer value.")
        .def("__ne__", &not_equals<Wrapper>, nb::arg("other").none(),
             nb::sig("def __ne__(self, other: object, /) -> bool"), "The negation of `==`.")
        .def("__repr__", [prefix, members](const Wrapper& self) { return prefix + member_name(members, self.value); },
             "The class and member name, e.g. `FrameStatus.Complete`.");
    for (const auto& [name, value] : members) cls.attr(name) = nb::cast(Wrapper{value});
}

}  // namespace

void bind_frame_status(nb::module_& m) {
    bind_enumeration<FrameStatusValue>(m, "FrameStatus", "How a frame ended.", kFrameStatusMembers);
}

void bind_access_mode(nb::module_& m) {
    bind_enumeration<AccessModeValue>(m, "AccessMode", "How a feature may be accessed: read-only, write-only, read-write, not available now "
                                      "(NA) or not implemented on this device (NI).",
                                      kAccessModeMembers);
}

nb::object to_python(FrameStatus status) {
    return nb::type<FrameStatusValue>().attr(member_name(kFrameStatusMembers, status));
}

nb::object to_python(AccessMode mode) { return nb::type<AccessModeValue>().attr(member_name(kAccessModeMembers, mode)); }

}  // namespace korvalite::py
