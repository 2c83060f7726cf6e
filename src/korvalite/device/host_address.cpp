#include "korvalite/device/host_address.hpp"

#include "korvalite/net/udp_socket.hpp"
#include "korvalite/try.hpp"

namespace korvalite::device {

CameraResult<net::Ipv4Address> host_address_towards(const net::Endpoint& control_local, const net::Endpoint& device) {
    if (control_local.address != net::Ipv4Address::any()) return control_local.address;
    auto scratch = net::UdpSocket::bind({net::Ipv4Address::any(), 0});
    if (!scratch) return std::unexpected(scratch.error());
    KORVALITE_TRY(scratch->connect(device));
    auto route = scratch->local_endpoint();
    if (!route) return std::unexpected(route.error());
    return route->address;
}

}  // namespace korvalite::device
