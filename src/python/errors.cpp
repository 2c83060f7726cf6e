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

nb::handle make_class(const char* qualified_name, const char* doc) {
    PyObject* cls = PyErr_NewExceptionWithDoc(qualified_name, doc, PyExc_RuntimeError, nullptr);
    if (!cls) throw nb::python_error();
    return cls;  // owned for the life of the process
}

}  // namespace

nb::handle camera_exception_class() {
    static nb::handle cls = make_class("korvalite.CameraException", kCameraDoc);
    return cls;
}

nb::handle genicam_exception_class() {
    static nb::handle cls = make_class("korvalite.GenicamException", kGenicamDoc);
    return cls;
}

void raise(const CameraError& error) { throw PyCameraError(error.message()); }

void raise(const GenicamError& error) {
    // The message names the feature the transport failed for, when there is one.
    if (error.kind() == GenicamError::Kind::Transport && error.transport_error()) throw PyCameraError(error.message());
    throw PyGenicamError(error.message());
}

void bind_errors(nb::module_& m) {
    m.attr("CameraError") = camera_exception_class();
    m.attr("GenicamError") = genicam_exception_class();
    nb::register_exception_translator([](const std::exception_ptr& p, void*) {
        try {
            std::rethrow_exception(p);
        } catch (const PyCameraError& e) {
            PyErr_SetString(camera_exception_class().ptr(), e.message.c_str());
        } catch (const PyGenicamError& e) {
            PyErr_SetString(genicam_exception_class().ptr(), e.message.c_str());
        }
    });
}

}  // namespace korvalite::py
