#pragma once
// The host-side choices open_stream makes before it touches the device.
#include <cstddef>
#include <optional>

#include "korvalite/device/layers.hpp"
#include "korvalite/error.hpp"
#include "korvalite/gige/stream/options.hpp"
#include "korvalite/net/address.hpp"

namespace korvalite::device {

// The automatic receive buffer holds several frames, so that a receive thread held off the CPU
// for a few frame times loses nothing; kept within 1 MiB .. 64 MiB.
inline constexpr std::size_t kAutoReceiveBufferFrames = 4;
inline constexpr std::size_t kMinAutoReceiveBuffer = 1024 * 1024;
inline constexpr std::size_t kMaxAutoReceiveBuffer = 64 * 1024 * 1024;

// The SO_RCVBUF size a stream wants: `receive_buffer` when set, else the automatic size.
std::size_t receive_buffer_request(const stream::StreamOptions& options);

// What is asked of the socket: the size wanted, capped at the system limit (when known).
struct ReceiveBufferPlan {
    std::size_t wanted = 0;
    std::size_t request = 0;
    bool capped() const { return request < wanted; }
};
ReceiveBufferPlan plan_receive_buffer(const stream::StreamOptions& options, std::optional<std::size_t> system_limit);

// Where the stream socket binds: `local_addr` when given; else the control socket's IP with
// port 0, unless that is 0.0.0.0; else the host's address on the route to `device`. Io failures.
[[nodiscard]] CameraResult<net::Endpoint> stream_bind_address(const stream::StreamOptions& options, const net::Endpoint& control_local,
                                                const net::Endpoint& device);

}  // namespace korvalite::device
