#pragma once
// The control port as the feature model's device port: every read and write of a feature's
// registers becomes a blocking control-channel transaction.
#include "korvalite/device/layers.hpp"

namespace korvalite::device {

class FeaturePort final : public genicam::PortIo {
public:
    explicit FeaturePort(ControlPort port) : port_(std::move(port)) {}

    CameraResult<void> read(std::uint64_t address, std::span<std::byte> buffer) override {
        return port_.read(address, buffer);
    }
    CameraResult<void> write(std::uint64_t address, std::span<const std::byte> data) override {
        return port_.write(address, data);
    }

private:
    ControlPort port_;  // a copy: it shares the worker's channel and never stops it
};

}  // namespace korvalite::device
