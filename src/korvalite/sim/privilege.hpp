#pragma once
// Control channel privilege: which application controls the device, whether exclusively, and
// when its heartbeat runs out. Not synchronised: the device model holds its own mutex.
#include <chrono>
#include <cstdint>
#include <optional>

#include "korvalite/net/address.hpp"

namespace korvalite::sim {

class ControlPrivilege {
public:
    using Clock = std::chrono::steady_clock;

    // The outcome of a write to the privilege register.
    enum class Change { None, Taken, Released, Denied };

    bool held() const { return holder_.has_value(); }
    const std::optional<net::Endpoint>& holder() const { return holder_; }
    bool exclusive() const { return held() && (value_ & 0x1) != 0; }
    // The register's value: 0 when nobody holds control.
    std::uint32_t value() const { return held() ? value_ : 0; }

    bool is_holder(const net::Endpoint& peer) const { return holder_ && *holder_ == peer; }
    // Reads are refused to others only under exclusive access.
    bool may_read(const net::Endpoint& peer) const { return !exclusive() || is_holder(peer); }
    // Only the controlling application writes (the privilege register has its own rule).
    bool may_write(const net::Endpoint& peer) const { return is_holder(peer); }

    // A write of `value` (exclusive 0x1, control 0x2; 0 gives control back) by `peer`.
    Change write(const net::Endpoint& peer, std::uint32_t value, Clock::time_point now);
    // Any command from the controlling application counts as a heartbeat.
    void heartbeat(const net::Endpoint& peer, Clock::time_point now);
    // True when control is held and no heartbeat came for `timeout`.
    bool expired(Clock::time_point now, std::chrono::milliseconds timeout) const;
    void release();

private:
    std::optional<net::Endpoint> holder_;
    std::uint32_t value_ = 0;
    Clock::time_point last_heartbeat_{};
};

}  // namespace korvalite::sim
