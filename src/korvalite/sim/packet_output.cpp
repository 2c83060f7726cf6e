#include "korvalite/sim/packet_output.hpp"

#include <cstring>
#include <thread>

#include "korvalite/log.hpp"

namespace korvalite::sim {

namespace {
constexpr std::size_t kIpUdpHeaders = 28;
}

void PacketOutput::retarget(int fd, const net::Endpoint& to) {
    finish();
    fd_ = fd;
    batch_.set_destination(to);
}

void PacketOutput::set_faults(const FaultConfig& faults) {
    faults_ = faults;
    stream_dice_ = FaultDice(faults.seed ^ dice_salt::kStream);
    resend_dice_ = FaultDice(faults.seed ^ dice_salt::kResend);
}

void PacketOutput::set_gap(std::chrono::nanoseconds gap) {
    if (gap != gap_) flush();
    gap_ = gap;
}

void PacketOutput::emit(const PacketParts& packet, bool resend) {
    if (packet.size() + kIpUdpHeaders > path_mtu_) {
        device_.counters().add(Counter::PacketsOverMtu);
        return;
    }
    FaultDice& dice = resend ? resend_dice_ : stream_dice_;
    const double drop = resend ? faults_.resend_drop : faults_.stream_drop;
    const double reorder = resend ? faults_.resend_reorder : faults_.stream_reorder;
    const double duplicate = resend ? faults_.resend_duplicate : faults_.stream_duplicate;
    if (dice.roll(drop)) {
        device_.counters().add(resend ? Counter::ResendsDropped : Counter::PacketsDropped);
        return;
    }
    if (held_) {
        // The packet held back goes out right behind this one.
        push(packet, resend);
        push(*held_, held_resend_);
        held_.reset();
        device_.counters().add(Counter::PacketsReordered);
    } else if (dice.roll(reorder)) {
        held_ = packet;
        held_resend_ = resend;
        return;
    } else {
        push(packet, resend);
    }
    if (dice.roll(duplicate)) {
        device_.counters().add(Counter::PacketsDuplicated);
        push(packet, resend);
    }
}

void PacketOutput::finish() {
    // A packet held back with no successor yet goes out in its own place.
    if (held_) {
        push(*held_, held_resend_);
        held_.reset();
    }
    flush();
}

void PacketOutput::push(const PacketParts& packet, bool resend) {
    if (!batch_.empty() && (batch_.full() || resend != batch_resend_)) flush();
    if (gap_.count() > 0) {
        std::this_thread::sleep_until(next_send_);
        next_send_ = std::chrono::steady_clock::now() + gap_;
    }
    batch_resend_ = resend;
    batch_.add(packet);
    if (gap_.count() > 0) flush();
}

void PacketOutput::flush() {
    if (batch_.empty()) return;
    const PacketBatch::Flushed r = batch_.flush(fd_);
    device_.counters().add(batch_resend_ ? Counter::PacketsResent : Counter::PacketsSent, r.sent);
    device_.counters().add(Counter::BytesSent, r.bytes);
    if (r.failed > 0) {
        device_.counters().add(Counter::SendErrors, r.failed);
        KORVALITE_LOG(log::targets::sim, log::Level::Warn,
                      std::string("stream send failed: ") + std::strerror(r.first_error),
                      {{"datagrams", std::uint64_t{r.failed}}});
    }
}

}  // namespace korvalite::sim
