#pragma once
// Ending a connect from another thread: the connect registers the control worker it started,
// and abort() tells that worker to shut down, so every wait of the connect (privilege,
// identity, description download) ends at once with NotConnected.
#include <mutex>
#include <optional>

#include "korvalite/device/layers.hpp"

namespace korvalite::device {

class ConnectAbort {
public:
    // Any thread: ends the connect in progress, or the next one to attach, at once.
    void abort() {
        std::lock_guard lock(mutex_);
        aborted_ = true;
        if (port_) (void)port_->request_shutdown();
    }
    bool aborted() const {
        std::lock_guard lock(mutex_);
        return aborted_;
    }

    // For the connect: the worker of the connection being made (shut down at once when the
    // abort came first), and its release once the connect is over.
    void attach(const ControlPort& port) {
        std::lock_guard lock(mutex_);
        port_ = port;
        if (aborted_) (void)port_->request_shutdown();
    }
    void detach() {
        std::lock_guard lock(mutex_);
        port_.reset();
    }

private:
    mutable std::mutex mutex_;  // a leaf lock
    std::optional<ControlPort> port_;
    bool aborted_ = false;
};

}  // namespace korvalite::device
