#pragma once
// The last step before the wire: stream packets pass the path-MTU check and the injected faults
// (drop, duplicate, reorder; separate odds for resends), are paced by the packet delay, and go
// out in sendmmsg batches. Counts what it sends and withholds.
#include <chrono>
#include <optional>

#include "korvalite/sim/device.hpp"
#include "korvalite/sim/fault_dice.hpp"
#include "korvalite/sim/packet_batch.hpp"

namespace korvalite::sim {

class PacketOutput {
public:
    PacketOutput(Device& device, std::uint32_t path_mtu) : device_(device), path_mtu_(path_mtu) {}

    // Switches to another socket and destination; anything gathered goes out first.
    void retarget(int fd, const net::Endpoint& to);
    // Fault odds and their dice, reseeded from the configuration's seed.
    void set_faults(const FaultConfig& faults);
    // Pause between packets; zero sends in batches.
    void set_gap(std::chrono::nanoseconds gap);

    void emit(const PacketParts& packet, bool resend);
    // Sends a packet held back for reordering, then everything gathered.
    void finish();

private:
    void push(const PacketParts& packet, bool resend);
    void flush();

    Device& device_;
    std::uint32_t path_mtu_;
    int fd_ = -1;
    PacketBatch batch_;
    bool batch_resend_ = false;
    std::optional<PacketParts> held_;
    bool held_resend_ = false;
    FaultConfig faults_;
    FaultDice stream_dice_;
    FaultDice resend_dice_;
    std::chrono::nanoseconds gap_{0};
    std::chrono::steady_clock::time_point next_send_{};
};

}  // namespace korvalite::sim
