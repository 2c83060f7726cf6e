#include "gil.hpp"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace korvalite::py {

namespace {

std::atomic<bool> g_exit_started{false};
std::thread::id g_exiting_thread;  // written once, before g_exit_started is set

// Threads that released the lock before exit began and have not yet taken it back or parked.
std::mutex g_released_mutex;
std::condition_variable g_released_cv;
std::size_t g_released = 0;

void count_released() {
    std::lock_guard lock(g_released_mutex);
    ++g_released;
}

void uncount_released() {
    {
        std::lock_guard lock(g_released_mutex);
        --g_released;
    }
    g_released_cv.notify_all();
}

[[noreturn]] void park_forever() {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
}

}  // namespace

bool interpreter_exit_started() { return g_exit_started.load(std::memory_order_acquire); }

bool must_park_at_exit() { return interpreter_exit_started() && std::this_thread::get_id() != g_exiting_thread; }

void begin_interpreter_exit() {
    if (interpreter_exit_started()) return;
    g_exiting_thread = std::this_thread::get_id();
    g_exit_started.store(true, std::memory_order_release);
}

bool wait_for_released_threads(std::chrono::milliseconds limit) {
    std::unique_lock lock(g_released_mutex);
    return g_released_cv.wait_for(lock, limit, [] { return g_released == 0; });
}

GilRelease::GilRelease() {
    if (interpreter_is_finalizing() || !PyGILState_Check()) return;
    // Taken under the lock, like the exit hook's start: a thread counted here is waited for.
    counted_ = !interpreter_exit_started();
    if (counted_) count_released();
    state_ = PyEval_SaveThread();
}

GilRelease::~GilRelease() {
    if (!state_) return;
    if (must_park_at_exit()) {
        if (counted_) uncount_released();
        park_forever();
    }
    PyEval_RestoreThread(state_);
    if (counted_) uncount_released();
}

bool signal_raised() {
    if (must_park_at_exit()) return false;
    nanobind::gil_scoped_acquire gil;
    return PyErr_CheckSignals() != 0;
}

}  // namespace korvalite::py
