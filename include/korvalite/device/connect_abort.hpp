#pragma once
// Ending a connect from another thread: the connect registers how to shut down the control
// worker it started, and abort() does so, so every wait of the connect (privilege, identity,
// description download) ends at once with NotConnected.
#include <functional>
#include <mutex>

namespace korvalite::device {

class ConnectAbort {
public:
    // Any thread: ends the connect in progress, or the next one to attach, at once.
    void abort() {
        std::lock_guard lock(mutex_);
        aborted_ = true;
        if (shutdown_) shutdown_();
    }
    bool aborted() const {
        std::lock_guard lock(mutex_);
        return aborted_;
    }

    // For the connect: how to shut down the worker of the connection being made (done at once
    // when the abort came first), and its release once the connect is over.
    void attach(std::function<void()> shutdown) {
        std::lock_guard lock(mutex_);
        shutdown_ = std::move(shutdown);
        if (aborted_) shutdown_();
    }
    void detach() {
        std::lock_guard lock(mutex_);
        shutdown_ = nullptr;
    }

private:
    mutable std::mutex mutex_;  // a leaf lock
    std::function<void()> shutdown_;
    bool aborted_ = false;
};

}  // namespace korvalite::device
