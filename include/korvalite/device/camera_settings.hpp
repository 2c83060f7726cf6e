#pragma once
// How to reach one GigE Vision device and how its control worker behaves.
#include <chrono>
#include <cstdint>
#include <optional>

#include "korvalite/net/address.hpp"
#include "korvalite/thread_util.hpp"

namespace korvalite::device {

using Duration = std::chrono::steady_clock::duration;

struct CameraSettings {
    net::Endpoint device;                     // GVCP endpoint, port 3956 unless given
    std::optional<net::Ipv4Address> local_ip;  // control socket bind address; absent: any
    Duration gvcp_timeout = std::chrono::milliseconds(500);
    std::uint8_t retries = 4;
    std::uint32_t heartbeat_timeout_ms = 3000;
    bool exclusive = false;
    ThreadConfig thread;
};

}  // namespace korvalite::device
