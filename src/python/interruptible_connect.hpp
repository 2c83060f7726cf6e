#pragma once
// Camera.connect() that Ctrl-C ends: the connect runs on a helper thread (`korvalite-connect`)
// with the device record locked, while the calling thread, holding no lock of ours and with the
// interpreter lock released, waits in 100 ms slices and runs pending signal handlers between
// them. A handler that raises aborts the connect (its control worker is shut down, so its waits
// end at once), the helper is joined and the exception propagates.
#include "device_record.hpp"

namespace korvalite::py {

// Raises the connect's error, or the signal handler's exception.
void interruptible_connect(CameraShared& self);

}  // namespace korvalite::py
