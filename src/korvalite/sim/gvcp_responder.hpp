#pragma once
// The device side of GVCP: answers DISCOVERY, READREG, WRITEREG, READMEM and WRITEMEM with the
// proper acknowledges, forwards PACKETRESEND to the stream sender, repeats the last acknowledge
// for a retransmitted command, and injects the configured control-channel faults. It owns no
// socket: datagrams come in, datagrams to send go out.
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "korvalite/gige/proto/bytes.hpp"
#include "korvalite/net/address.hpp"
#include "korvalite/sim/device.hpp"
#include "korvalite/sim/fault_dice.hpp"
#include "korvalite/sim/resend_queue.hpp"

namespace korvalite::sim {

struct Outgoing {
    gige::proto::ByteVec bytes;
    net::Endpoint to;
};

// What handling a datagram produced: replies to send, and fire tests to run.
struct ResponderOutput {
    std::vector<Outgoing> replies;
    std::vector<FireTest> fire_tests;
};

// Limits of one command: the largest READREG and WRITEREG a device accepts in one packet.
inline constexpr std::size_t kMaxReadRegisters = 135;
inline constexpr std::size_t kMaxWriteRegisters = 67;

class GvcpResponder {
public:
    GvcpResponder(Device& device, ResendQueue& resends);

    // Handles one datagram that arrived on the control port from `peer`.
    void handle(gige::proto::ByteView datagram, const net::Endpoint& peer, Clock::time_point now,
                ResponderOutput& out);
    // Runs the commands held back behind a PENDING_ACK whose time has come.
    void run_due(Clock::time_point now, ResponderOutput& out);
    // When the next held-back command is due, if any.
    std::optional<Clock::time_point> next_due() const;

private:
    struct Remembered {
        gige::proto::ByteVec command;
        gige::proto::ByteVec ack;
    };
    struct Deferred {
        gige::proto::ByteVec command;
        net::Endpoint peer;
        Clock::time_point due;
    };
    struct EndpointLess {
        bool operator()(const net::Endpoint& a, const net::Endpoint& b) const {
            return a.address.value != b.address.value ? a.address.value < b.address.value : a.port < b.port;
        }
    };

    void refresh_faults();
    // A register or memory command: held back, repeated from memory, or run now.
    void answer(const gige::proto::GvcpDatagram& cmd, gige::proto::ByteView command, const net::Endpoint& peer,
                Clock::time_point now, ResponderOutput& out);
    // Executes a register or memory command and returns its acknowledge.
    gige::proto::ByteVec execute(const gige::proto::GvcpDatagram& cmd, gige::proto::ByteView command,
                                 const net::Endpoint& peer, Clock::time_point now, ResponderOutput& out);
    gige::proto::ByteVec read_registers(const gige::proto::GvcpDatagram& cmd, const net::Endpoint& peer);
    gige::proto::ByteVec write_registers(const gige::proto::GvcpDatagram& cmd, const net::Endpoint& peer,
                                         Clock::time_point now, ResponderOutput& out);
    gige::proto::ByteVec read_memory(const gige::proto::GvcpDatagram& cmd, const net::Endpoint& peer);
    gige::proto::ByteVec write_memory(const gige::proto::GvcpDatagram& cmd, const net::Endpoint& peer,
                                      Clock::time_point now, ResponderOutput& out);
    void handle_resend(const gige::proto::GvcpDatagram& cmd);
    bool pending_for(const gige::proto::GvcpDatagram& cmd) const;
    bool is_deferred(gige::proto::ByteView datagram, const net::Endpoint& peer) const;
    gige::proto::ByteVec pending_ack(std::uint16_t request_id) const;
    // Queues an acknowledge unless the command asked for none or the ack-drop fault takes it.
    void reply(const gige::proto::GvcpDatagram& cmd, gige::proto::ByteVec ack, const net::Endpoint& to,
               ResponderOutput& out);

    Device& device_;
    ResendQueue& resends_;
    FaultConfig faults_;
    std::uint64_t faults_version_ = ~std::uint64_t{0};
    FaultDice ack_dice_;
    std::map<net::Endpoint, Remembered, EndpointLess> last_;
    std::vector<Deferred> deferred_;
};

}  // namespace korvalite::sim
