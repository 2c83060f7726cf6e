#pragma once
// The busy record of a camera: at most one long activity (connect, disconnect, acquisition,
// snapshot session, snap) at a time. A claim is a token; releasing or dropping it frees the camera.
#include <memory>
#include <mutex>
#include <string>

namespace korvalite::py {

struct BusyRecord {
    std::mutex mutex;
    const char* label = nullptr;  // the activity in progress, if any
};

class ClaimToken {
public:
    ClaimToken() = default;
    explicit ClaimToken(std::shared_ptr<BusyRecord> busy) : busy_(std::move(busy)) {}
    ClaimToken(ClaimToken&&) noexcept = default;
    ClaimToken& operator=(ClaimToken&& other) noexcept {
        release();
        busy_ = std::move(other.busy_);
        return *this;
    }
    ClaimToken(const ClaimToken&) = delete;
    ClaimToken& operator=(const ClaimToken&) = delete;
    ~ClaimToken() { release(); }

    void release() {
        if (!busy_) return;
        std::lock_guard lock(busy_->mutex);
        busy_->label = nullptr;
        busy_.reset();
    }
    bool held() const { return busy_ != nullptr; }

private:
    std::shared_ptr<BusyRecord> busy_;
};

// Claims the camera for `label` ("an acquisition", ...) or raises CameraBusyError
// "camera is busy (<label in progress>); stop it first".
ClaimToken claim(const std::shared_ptr<BusyRecord>& busy, const char* label);

}  // namespace korvalite::py
