#pragma once
// The host-side choices open_stream makes before it touches the device.
#include <cstddef>

#include "korvalite/device/layers.hpp"
#include "korvalite/error.hpp"
#include "korvalite/gige/stream/options.hpp"
#include "korvalite/net/address.hpp"

namespace korvalite::device {

// Automatic receive buffer bounds: payload plus 1 KiB, kept within 256 KiB .. 8 MiB.
inline constexpr std::size_t kMinAutoReceiveBuffer = 256 * 1024;
inline constexpr std::size_t kMaxAutoReceiveBuffer = 8 * 1024 * 1024;

// The SO_RCVBUF request for a stream: `receive_buffer` when set, else the automatic size.
std::size_t receive_buffer_request(const stream::StreamOptions& options);

// Where the stream socket binds: `local_addr` when given; else the control socket's IP with
// port 0, unless that is 0.0.0.0; else the host's address on the route to `device`. Io failures.
CameraResult<net::Endpoint> stream_bind_address(const stream::StreamOptions& options, const net::Endpoint& control_local,
                                                const net::Endpoint& device);

}  // namespace korvalite::device
