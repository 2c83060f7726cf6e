#include "korvalite/thread_util.hpp"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <cstring>

#include "korvalite/log.hpp"

namespace korvalite {

std::expected<void, std::string> ThreadConfig::apply() const {
    if (!cpu && priority <= 0) return {};
    if (cpu) {
        const long configured = ::sysconf(_SC_NPROCESSORS_CONF);
        const std::size_t n = configured > 0 ? static_cast<std::size_t>(configured) : 0;
        // The CPU set holds 1024 bits; indices beyond it are rejected like out-of-range ones.
        if (*cpu >= n || *cpu >= CPU_SETSIZE)
            return std::unexpected("CPU " + std::to_string(*cpu) + " out of range 0.." +
                                   std::to_string(n == 0 ? 0 : n - 1));
        cpu_set_t set;
        CPU_ZERO(&set);
        CPU_SET(*cpu, &set);
        if (int rc = ::pthread_setaffinity_np(::pthread_self(), sizeof set, &set); rc != 0)
            return std::unexpected(std::string(std::strerror(rc)));
    }
    if (priority > 0) {
        const int min = ::sched_get_priority_min(SCHED_FIFO);
        const int max = ::sched_get_priority_max(SCHED_FIFO);
        if (priority < min || priority > max)
            return std::unexpected("SCHED_FIFO priority " + std::to_string(priority) + " out of range [" +
                                   std::to_string(min) + "..=" + std::to_string(max) + "]");
        sched_param param{};
        param.sched_priority = priority;
        if (int rc = ::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &param); rc != 0)
            return std::unexpected(std::string(std::strerror(rc)));
    }
    return {};
}

void ThreadConfig::apply_logged() const {
    if (auto r = apply(); !r)
        KORVALITE_LOG(log::targets::thread_util, log::Level::Warn, "thread scheduling not applied: " + r.error());
}

void set_current_thread_name(const std::string& name) {
    // Linux allows 15 bytes plus the terminating zero.
    ::pthread_setname_np(::pthread_self(), name.substr(0, 15).c_str());
}

ThreadHandle ThreadHandle::create() {
    ThreadHandle h;
    h.alive_ = std::make_shared<std::atomic<bool>>(true);
    h.stop_ = std::make_shared<std::atomic<bool>>(false);
    h.armed_ = true;
    return h;
}

ThreadHandle& ThreadHandle::operator=(ThreadHandle&& other) noexcept {
    if (this != &other) {
        stop_and_join();
        alive_ = std::move(other.alive_);
        stop_ = std::move(other.stop_);
        thread_ = std::move(other.thread_);
        waker_ = std::move(other.waker_);
        armed_ = std::exchange(other.armed_, false);
    }
    return *this;
}

ThreadHandle::~ThreadHandle() { stop_and_join(); }

void ThreadHandle::set_handle(std::thread thread) {
    if (thread_.joinable()) thread_.detach();
    thread_ = std::move(thread);
}

void ThreadHandle::stop_and_join() {
    if (!armed_) return;
    if (stop_) stop_->store(true);
    if (waker_) (void)waker_->wake();
    if (thread_.joinable()) {
        if (thread_.get_id() == std::this_thread::get_id()) thread_.detach();  // never join oneself
        else thread_.join();
    }
}

}  // namespace korvalite
