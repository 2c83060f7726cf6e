#include "errors.hpp"

namespace nb = nanobind;

namespace korvalite::py {

namespace {

constexpr const char* kCameraDoc =
    "Raised when the transport link fails: connect/acknowledge timeout, I/O error, device NAK, lost "
    "control, or a malformed packet.";
constexpr const char* kGenicamDoc =
    "Raised by the GenICam feature layer: unknown feature, wrong type or access mode, value out of "
    "range, or a broken device description.";

constexpr const char* kCameraBusyDoc =
    "The camera is busy with another long activity (connect, acquisition, snapshot session, snap): "
    "a CameraException that is also a ValueError.";
constexpr const char* kCameraTimeoutDoc =
    "A transport time-out (connect, acknowledge): a CameraException that is also a TimeoutError.";
constexpr const char* kGenicamTimeoutDoc =
    "No frame within a snap's timeout: a GenicamException that is also a TimeoutError.";

nb::handle make_class(const char* qualified_name, const char* doc, PyObject* base) {
    PyObject* cls = PyErr_NewExceptionWithDoc(qualified_name, doc, base, nullptr);
    if (!cls) throw nb::python_error();
    return cls;  // owned for the life of the process
}

// A subclass of `korvalite_class` and the built-in `builtin_class`.
nb::handle make_subclass(const char* qualified_name, const char* doc, nb::handle korvalite_class,
                         PyObject* builtin_class) {
    nb::object bases = nb::make_tuple(korvalite_class, nb::handle(builtin_class));
    return make_class(qualified_name, doc, bases.ptr());
}

bool is_timeout(const CameraError& error) {
    return error.kind() == CameraError::Kind::ConnectTimeout || error.kind() == CameraError::Kind::AckTimeout;
}

// The Camera methods that fit a feature kind (as feature_kind_name gives it); empty for none.
std::string calls_for_kind(const std::string& kind) {
    if (kind == "integer") return "use get_integer, set_integer, integer_bounds (or get/set)";
    if (kind == "float") return "use get_float, set_float, float_bounds (or get/set)";
    if (kind == "boolean") return "use get_boolean/set_boolean (or get/set)";
    if (kind == "enumeration") return "use get_enum, set_enum, enum_entries (or get/set)";
    if (kind == "string") return "use get_string/set_string (or get/set)";
    if (kind == "command") return "run it with execute";
    if (kind == "category") return "it has no value; it groups features";
    return {};
}

// The message, with the Camera methods that fit the feature's kind when a call did not: only
// when the node at fault is the feature asked for, whose kind the caller can act on.
std::string python_message(const GenicamError& error) {
    std::string text = error.message();
    if (error.kind() != GenicamError::Kind::UnsupportedAccess) return text;
    if (!error.feature().empty() && error.feature() != error.name()) return text;
    const std::string calls = calls_for_kind(error.detail());
    return calls.empty() ? text : text + "; " + calls;
}

}  // namespace

nb::handle camera_exception_class() {
    static nb::handle cls = make_class("korvalite.CameraException", kCameraDoc, PyExc_RuntimeError);
    return cls;
}

nb::handle genicam_exception_class() {
    static nb::handle cls = make_class("korvalite.GenicamException", kGenicamDoc, PyExc_RuntimeError);
    return cls;
}

nb::handle camera_timeout_class() {
    static nb::handle cls =
        make_subclass("korvalite.CameraTimeoutError", kCameraTimeoutDoc, camera_exception_class(), PyExc_TimeoutError);
    return cls;
}

nb::handle camera_busy_class() {
    static nb::handle cls =
        make_subclass("korvalite.CameraBusyError", kCameraBusyDoc, camera_exception_class(), PyExc_ValueError);
    return cls;
}

nb::handle genicam_timeout_class() {
    static nb::handle cls =
        make_subclass("korvalite.GenicamTimeoutError", kGenicamTimeoutDoc, genicam_exception_class(), PyExc_TimeoutError);
    return cls;
}

void raise(const CameraError& error) { throw PyCameraError(error.message(), is_timeout(error)); }

void raise(const GenicamError& error) {
    // The message names the feature the transport failed for, when there is one; the class is
    // the transport error's.
    if (error.kind() == GenicamError::Kind::Transport && error.transport_error())
        throw PyCameraError(error.message(), is_timeout(*error.transport_error()));
    throw PyGenicamError(python_message(error), error.kind() == GenicamError::Kind::SnapTimeout);
}

void bind_errors(nb::module_& m) {
    m.attr("CameraError") = camera_exception_class();
    m.attr("GenicamError") = genicam_exception_class();
    m.attr("CameraTimeoutError") = camera_timeout_class();
    m.attr("GenicamTimeoutError") = genicam_timeout_class();
    m.attr("CameraBusyError") = camera_busy_class();
    nb::register_exception_translator([](const std::exception_ptr& p, void*) {
        try {
            std::rethrow_exception(p);
        } catch (const PyCameraError& e) {
            PyErr_SetString((e.timeout ? camera_timeout_class() : camera_exception_class()).ptr(), e.message.c_str());
        } catch (const PyBusyError& e) {
            PyErr_SetString(camera_busy_class().ptr(), e.message.c_str());
        } catch (const PyGenicamError& e) {
            PyErr_SetString((e.timeout ? genicam_timeout_class() : genicam_exception_class()).ptr(), e.message.c_str());
        }
    });
}

}  // namespace korvalite::py
