#pragma once
// The host's own address on the way to a device: what the device is told to send its stream
// and its events to.
#include "korvalite/error.hpp"
#include "korvalite/net/address.hpp"

namespace korvalite::device {

// The control socket's bound address when it has one, else the address the host routes to
// `device` from, as a connected scratch socket learns it.
[[nodiscard]] CameraResult<net::Ipv4Address> host_address_towards(const net::Endpoint& control_local, const net::Endpoint& device);

}  // namespace korvalite::device
