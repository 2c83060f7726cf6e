#pragma once
// A scripted device with a control channel connected to it, for the control worker tests.
// The host side binds 127.0.0.20; each test picks its own device address in 127.0.0.21-29.
#include <chrono>

#include "korvalite/gige/control/control_channel.hpp"
#include "scripted_device.hpp"

namespace korvalite::test_support {

struct WorkerOptions {
    std::chrono::milliseconds gvcp_timeout{200};
    std::uint8_t retries = 2;
    std::uint32_t heartbeat_timeout_ms = 3000;  // heartbeats every second: rare in short tests
};

inline gige::WorkerSettings worker_settings(const ScriptedDevice& device, WorkerOptions options = {}) {
    gige::WorkerSettings settings;
    settings.gvcp_timeout = options.gvcp_timeout;
    settings.retries = options.retries;
    settings.heartbeat_timeout_ms = options.heartbeat_timeout_ms;
    settings.device = device.endpoint();
    settings.local = net::Endpoint{*net::Ipv4Address::parse("127.0.0.20"), 0};
    return settings;
}

struct Harness {
    explicit Harness(const char* device_ip, WorkerOptions options = {}, const char* other_ip = nullptr)
        : device(device_ip, other_ip), channel(gige::start_control_channel(worker_settings(device, options)).value()) {}

    gige::ControlPort& port() { return channel.port; }
    gige::LinkStats stats() const { return channel.shared->stats(); }

    ScriptedDevice device;
    gige::ControlChannel channel;  // destroyed first: the worker gives control back to a live device
};

// The worker's result as a message, or "ok" on success: lets tables compare outcomes as text.
template <class T>
std::string outcome(const gige::ResponseHandle<T>& handle,
                    std::chrono::steady_clock::duration wait = std::chrono::seconds(5)) {
    auto result = handle.wait_timeout(wait);
    return result ? "ok" : result.error()->message();
}

}  // namespace korvalite::test_support
