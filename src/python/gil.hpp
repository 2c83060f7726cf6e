#pragma once
// Running native code without the interpreter lock, also from destructors that Python's
// garbage collector runs (where the lock is held) and during interpreter shutdown (where it
// must not be given up).
#include <nanobind/nanobind.h>

namespace korvalite::py {

inline bool interpreter_is_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing();
#else
    return _Py_IsFinalizing();
#endif
}

// Runs `fn` with the interpreter lock released when this thread holds it, unless the
// interpreter is shutting down (then no other thread can need it).
template <class F>
void without_gil(F&& fn) {
    if (interpreter_is_finalizing() || !PyGILState_Check()) {
        fn();
        return;
    }
    nanobind::gil_scoped_release release;
    fn();
}

}  // namespace korvalite::py
