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

constexpr const char* kCameraTimeoutDoc =
    "A transport time-out (connect, acknowledge): a CameraException that is also a TimeoutError.";
constexpr const char* kGenicamTimeoutDoc =
    "No frame within a snap's timeout: a GenicamException that is also a TimeoutError.";

nb::handle make_class(const char* qualified_name, const char* doc, PyObject* base) {
    PyObject* cls = PyErr_NewExceptionWithDoc(qualified_name, doc, base, nullptr);
    if (!cls) throw nb::python_error();
    return cls;  // owned for the life of the process
}

// A subclass of `korvalite_class` and the built-in TimeoutError.
nb::handle make_timeout_class(const char* qualified_name, const char* doc, nb::handle korvalite_class) {
    nb::object bases = nb::make_tuple(korvalite_class, nb::handle(PyExc_TimeoutError));
    return make_class(qualified_name, doc, bases.ptr());
}

bool is_timeout(const CameraError& error) {
    return error.kind() == CameraError::Kind::ConnectTimeout || error.kind() == CameraError::Kind::AckTimeout;
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
        make_timeout_class("korvalite.CameraTimeoutError", kCameraTimeoutDoc, camera_exception_class());
    return cls;
}

nb::handle genicam_timeout_class() {
    static nb::handle cls =
        make_timeout_class("korvalite.GenicamTimeoutError", kGenicamTimeoutDoc, genicam_exception_class());
    return cls;
}

void raise(const CameraError& error) { throw PyCameraError(error.message(), is_timeout(error)); }

void raise(const GenicamError& error) {
    // The message names the feature the transport failed for, when there is one; the class is
    // the transport error's.
    if (error.kind() == GenicamError::Kind::Transport && error.transport_error())
        throw PyCameraError(error.message(), is_timeout(*error.transport_error()));
    throw PyGenicamError(error.message(), error.kind() == GenicamError::Kind::SnapTimeout);
}

void bind_errors(nb::module_& m) {
    m.attr("CameraError") = camera_exception_class();
    m.attr("GenicamError") = genicam_exception_class();
    m.attr("CameraTimeoutError") = camera_timeout_class();
    m.attr("GenicamTimeoutError") = genicam_timeout_class();
    nb::register_exception_translator([](const std::exception_ptr& p, void*) {
        try {
            std::rethrow_exception(p);
        } catch (const PyCameraError& e) {
            PyErr_SetString((e.timeout ? camera_timeout_class() : camera_exception_class()).ptr(), e.message.c_str());
        } catch (const PyGenicamError& e) {
            PyErr_SetString((e.timeout ? genicam_timeout_class() : genicam_exception_class()).ptr(), e.message.c_str());
        }
    });
}

}  // namespace korvalite::py
