#pragma once
// The control port as the feature model's device port: every read and write of a feature's
// registers becomes a blocking control-channel transaction. A write that reaches a stream
// channel's packet size register forgets that channel's negotiated size. Event ports read the
// newest event of their id the connection has received.
#include <algorithm>

#include "korvalite/device/layers.hpp"
#include "korvalite/device/packet_size_memo.hpp"
#include "korvalite/gige/control/last_events.hpp"
#include "korvalite/hex.hpp"

namespace korvalite::device {

class FeaturePort final : public genicam::PortIo {
public:
    FeaturePort(ControlPort port, PacketSizeMemo& packet_sizes, const gige::LastEvents& events)
        : port_(std::move(port)), packet_sizes_(&packet_sizes), events_(&events) {}

    [[nodiscard]] CameraResult<void> read(std::uint64_t address, std::span<std::byte> buffer) override {
        return port_.read(address, buffer);
    }
    [[nodiscard]] CameraResult<void> write(std::uint64_t address, std::span<const std::byte> data) override {
        packet_sizes_->forget_written(address, data.size());
        return port_.write(address, data);
    }

    [[nodiscard]] CameraResult<void> read_event(std::uint16_t event_id, std::uint64_t address, std::span<std::byte> buffer) override {
        auto payload = events_->payload(event_id);
        if (!payload)
            return std::unexpected(CameraError::malformed("no event " + hex_code(event_id, 4) + " received yet"));
        if (address > payload->size() || buffer.size() > payload->size() - address)
            return std::unexpected(CameraError::malformed("event " + hex_code(event_id, 4) + " carries " +
                                                          std::to_string(payload->size()) + " bytes, fewer than read"));
        std::copy_n(payload->begin() + static_cast<std::ptrdiff_t>(address), buffer.size(), buffer.begin());
        return {};
    }
    bool has_event(std::uint16_t event_id) const override { return events_->has(event_id); }

private:
    ControlPort port_;  // a copy: it shares the worker's channel and never stops it
    PacketSizeMemo* packet_sizes_;  // the connection's, which outlives every feature call
    const gige::LastEvents* events_;  // the connection's shared record, likewise
};

}  // namespace korvalite::device
