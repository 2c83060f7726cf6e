#include "korvalite/sim/privilege.hpp"

namespace korvalite::sim {

namespace {
constexpr std::uint32_t kPrivilegeBits = 0x3;
}

ControlPrivilege::Change ControlPrivilege::write(const net::Endpoint& peer, std::uint32_t value,
                                                 Clock::time_point now) {
    if (held() && !is_holder(peer)) return Change::Denied;
    const std::uint32_t bits = value & kPrivilegeBits;
    if (bits == 0) {
        if (!held()) return Change::None;
        release();
        return Change::Released;
    }
    const bool was_held = held();
    holder_ = peer;
    value_ = bits;
    last_heartbeat_ = now;
    return was_held ? Change::None : Change::Taken;
}

void ControlPrivilege::heartbeat(const net::Endpoint& peer, Clock::time_point now) {
    if (is_holder(peer)) last_heartbeat_ = now;
}

bool ControlPrivilege::expired(Clock::time_point now, std::chrono::milliseconds timeout) const {
    return held() && now - last_heartbeat_ > timeout;
}

void ControlPrivilege::release() {
    holder_.reset();
    value_ = 0;
}

}  // namespace korvalite::sim
