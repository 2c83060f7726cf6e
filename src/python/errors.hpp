#pragma once
// Error conversion for the Python host: CameraError -> korvalite.CameraException,
// GenicamError -> korvalite.GenicamException (Transport -> CameraException with the inner text).
// A time-out raises the subclass CameraTimeoutError or GenicamTimeoutError, which is also the
// built-in TimeoutError. A busy camera raises CameraBusyError, a CameraException that is also the
// built-in ValueError.
#include <nanobind/nanobind.h>

#include <exception>
#include <expected>
#include <string>

#include "korvalite/error.hpp"

namespace korvalite::py {

// Thrown inside binding code only; a registered translator raises the Python class.
struct PyCameraError : std::exception {
    PyCameraError(std::string m, bool t) : message(std::move(m)), timeout(t) {}
    const char* what() const noexcept override { return message.c_str(); }
    std::string message;
    bool timeout;
};

struct PyGenicamError : std::exception {
    PyGenicamError(std::string m, bool t) : message(std::move(m)), timeout(t) {}
    const char* what() const noexcept override { return message.c_str(); }
    std::string message;
    bool timeout;
};

// A long activity refused because another is in progress.
struct PyBusyError : std::exception {
    explicit PyBusyError(std::string m) : message(std::move(m)) {}
    const char* what() const noexcept override { return message.c_str(); }
    std::string message;
};

[[noreturn]] void raise(const CameraError& error);
[[noreturn]] void raise(const GenicamError& error);

// Unwraps a result or raises its error.
template <class T, class E>
T unwrap(std::expected<T, E> result) {
    if (!result) raise(result.error());
    if constexpr (!std::is_void_v<T>) return std::move(*result);
}

// The exception classes, created once per process on first use.
nanobind::handle camera_exception_class();
nanobind::handle genicam_exception_class();
nanobind::handle camera_timeout_class();
nanobind::handle genicam_timeout_class();
nanobind::handle camera_busy_class();

void bind_errors(nanobind::module_& m);

}  // namespace korvalite::py
