#pragma once
// The control port as the feature model's device port: every read and write of a feature's
// registers becomes a blocking control-channel transaction. A write that reaches a stream
// channel's packet size register forgets that channel's negotiated size.
#include "korvalite/device/layers.hpp"
#include "korvalite/device/packet_size_memo.hpp"

namespace korvalite::device {

class FeaturePort final : public genicam::PortIo {
public:
    FeaturePort(ControlPort port, PacketSizeMemo& packet_sizes) : port_(std::move(port)), packet_sizes_(&packet_sizes) {}

    CameraResult<void> read(std::uint64_t address, std::span<std::byte> buffer) override {
        return port_.read(address, buffer);
    }
    CameraResult<void> write(std::uint64_t address, std::span<const std::byte> data) override {
        packet_sizes_->forget_written(address, data.size());
        return port_.write(address, data);
    }

private:
    ControlPort port_;  // a copy: it shares the worker's channel and never stops it
    PacketSizeMemo* packet_sizes_;  // the connection's, which outlives every feature call
};

}  // namespace korvalite::device
