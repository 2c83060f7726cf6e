#pragma once
// Interpreter exit with capture threads still waiting. A first hook runs before the interpreter
// joins its non-daemon threads and stops every acquisition and snapshot session, so those threads
// see their streams end and return. An atexit hook (registered by the package, so it runs before
// the interpreter finalizes) then stops whatever started since and disconnects every camera,
// which gives control back to the devices at once and wakes every thread still waiting for
// frames; those threads then park (see gil.hpp).
#include <nanobind/nanobind.h>

#include <memory>
#include <optional>

#include "korvalite/error.hpp"

namespace korvalite::py {

struct DeviceRecord;

// A capture object the exit hook closes: tracked from construction until its destructor starts.
class ClosedAtExit {
public:
    ClosedAtExit();
    ClosedAtExit(const ClosedAtExit&) = delete;
    ClosedAtExit& operator=(const ClosedAtExit&) = delete;
    // Called with the interpreter lock released while the object is tracked: once before the
    // interpreter joins its threads and again at exit, so a second call finds nothing to do.
    virtual void close_at_exit() = 0;

protected:
    // The derived destructor calls this first, before it touches its own state.
    void untrack();
    ~ClosedAtExit();

private:
    bool tracked_ = true;
};

// On a thread that parks at exit (gil.hpp), once exit has begun: the error that stands in for
// starting anything new (a connection, a stream), so the camera stays free. Else nothing.
std::optional<GenicamError> refused_at_exit();

// Cameras the exit hook disconnects (held weakly).
void track_device(const std::shared_ptr<DeviceRecord>& device);

// The private submodule `_exit` with `stop_captures()` and `close_all(quiet_leaks)`, the exit hooks.
void bind_exit(nanobind::module_& m);

}  // namespace korvalite::py
