#pragma once
// A GVCP device for tests that misbehaves on demand. It listens on its own loopback address,
// records every datagram it receives, and answers each command from a memory image unless the
// test's script decides otherwise: stay silent, refuse, send PENDING_ACK, answer late, twice,
// malformed, from another port or from another address.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "korvalite/gige/proto/gvcp.hpp"
#include "korvalite/net/address.hpp"
#include "korvalite/net/udp_socket.hpp"

namespace korvalite::test_support {

namespace proto = gige::proto;

// Which of the device's sockets sends (or received) a datagram.
enum class Via { Device, OtherPort, OtherAddress };

// One datagram the device received.
struct Received {
    proto::ByteVec raw;
    net::Endpoint from;
    Via at = Via::Device;
    std::chrono::steady_clock::time_point when = std::chrono::steady_clock::now();
    std::optional<proto::GvcpDatagram> parsed;  // views into `raw`; nullopt when malformed

    bool is_command(std::uint16_t code) const { return parsed && parsed->is_command && parsed->code == code; }
    std::uint16_t id() const { return parsed ? parsed->id : 0; }
    // READREG: the addresses asked for.
    std::vector<std::uint32_t> read_addresses() const;
    // A heartbeat: READREG of the privilege register alone.
    bool is_heartbeat() const;
    // READMEM: (address, byte count). WRITEMEM: (address, data size).
    std::pair<std::uint32_t, std::uint32_t> memory_request() const;
    // WRITEREG: the (address, value) pairs.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> write_pairs() const;

    Received() = default;
    Received(proto::ByteVec bytes, net::Endpoint sender, Via via);
    Received(const Received& other) : Received(other.raw, other.from, other.at) { when = other.when; }
    Received& operator=(const Received& other);
};

struct Reply {
    proto::ByteVec bytes;
    Via via = Via::Device;
    std::chrono::milliseconds delay{0};  // waited before sending (the device thread sleeps)
};

class ScriptedDevice {
public:
    static constexpr std::size_t kMemorySize = 0x10000;

    // Decides the replies to a command; nullopt means the default answer from the image.
    using Script = std::function<std::optional<std::vector<Reply>>(const Received&)>;

    // Binds `ip` (and `other_ip`, when given, for answers from another address).
    explicit ScriptedDevice(const char* ip, const char* other_ip = nullptr);
    ~ScriptedDevice();
    ScriptedDevice(const ScriptedDevice&) = delete;
    ScriptedDevice& operator=(const ScriptedDevice&) = delete;

    net::Endpoint endpoint() const { return endpoint_; }
    void set_script(Script script);

    // The memory image the default answers come from; registers are big-endian words in it.
    // The privilege register starts at 0x2 (control access), so heartbeats succeed.
    void set_register(std::uint32_t address, std::uint32_t value);
    std::uint32_t get_register(std::uint32_t address) const;
    void set_memory(std::uint32_t address, proto::ByteView bytes);
    proto::ByteVec memory(std::uint32_t address, std::size_t length) const;

    // The correct acknowledge for `command` from the image (NAK invalid address outside it);
    // DISCOVERY is answered with the identity block at the bottom of the image.
    proto::ByteVec answer(const Received& command);
    static proto::ByteVec nak(const Received& command, std::uint16_t status);
    static proto::ByteVec pending(const Received& command, std::uint32_t milliseconds);
    static proto::ByteVec ack(const Received& command, std::uint16_t code, proto::ByteView payload = {});

    // Sends a datagram (an event, a stray acknowledge) to `to` from one of the device's sockets.
    void send(proto::ByteView bytes, const net::Endpoint& to, Via via = Via::Device);

    std::vector<Received> received() const;
    // Received commands other than heartbeats, and the number of heartbeats seen.
    std::vector<Received> commands() const;
    std::size_t heartbeats() const;
    // Waits until `pred(received())` holds; false on timeout.
    bool wait_until(const std::function<bool(const std::vector<Received>&)>& pred,
                    std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;

private:
    void serve();
    void handle(Received datagram);
    const net::UdpSocket& socket_for(Via via) const;

    net::UdpSocket socket_;
    net::UdpSocket other_port_;
    std::optional<net::UdpSocket> other_address_;
    net::Endpoint endpoint_;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<Received> received_;
    proto::ByteVec image_;
    Script script_;

    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Polls `pred` until it holds or `timeout` passes.
bool eventually(const std::function<bool()>& pred, std::chrono::milliseconds timeout = std::chrono::seconds(5));

}  // namespace korvalite::test_support
