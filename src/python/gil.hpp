#pragma once
// Running native code without the interpreter lock, also from destructors that Python's
// garbage collector runs (where the lock is held) and during interpreter shutdown (where it
// must not be given up).
//
// Every release goes through GilRelease, which counts the threads that will take the lock back.
// Once interpreter exit has begun (see exit_registry.hpp), a thread other than the exiting one
// never takes it back: taking the lock while the interpreter finalizes ends the thread from
// inside C++ frames, which aborts the process. Such a thread parks for good instead; it holds no
// lock of ours by then, and the process ends around it.
#include <nanobind/nanobind.h>

#include <chrono>

namespace korvalite::py {

inline bool interpreter_is_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing();
#else
    return _Py_IsFinalizing();
#endif
}

// True once the exit hook has started; read without the interpreter lock.
bool interpreter_exit_started();
// True on a thread that must never take the interpreter lock again: exit has begun and this is
// not the thread running the exit hook.
bool must_park_at_exit();

// For the exit hook, on the exiting thread with the lock held: exit begins now.
void begin_interpreter_exit();
// For the exit hook, with the lock released: waits up to `limit` until every thread that released
// the lock before exit began has taken it back or parked. False when some are still out.
bool wait_for_released_threads(std::chrono::milliseconds limit);

// Releases the interpreter lock for its scope when this thread holds it (and the interpreter is
// not finalizing); the destructor takes it back, or parks the thread forever after exit began.
// Declare it before any lock the scope takes, so those are let go before it ends.
class GilRelease {
public:
    GilRelease();
    ~GilRelease();
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;

private:
    PyThreadState* state_ = nullptr;
    bool counted_ = false;
};

// Called without the interpreter lock (and holding no korvalite lock) between the slices of a
// wait: takes the lock briefly and runs pending signal handlers; true when one raised (the
// exception is left set for this thread). Never at exit, where the thread parks once its wait
// is over instead.
bool signal_raised();

// Runs `fn` with the interpreter lock released when this thread holds it, unless the
// interpreter is shutting down (then no other thread can need it).
template <class F>
void without_gil(F&& fn) {
    GilRelease release;
    fn();
}

}  // namespace korvalite::py
