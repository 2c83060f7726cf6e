#include "scripted_device.hpp"

#include <poll.h>

#include <cerrno>
#include <stdexcept>

#include "korvalite/gige/proto/bootstrap.hpp"

namespace korvalite::test_support {

namespace {

net::UdpSocket bind_or_throw(const char* ip) {
    auto address = net::Ipv4Address::parse(ip);
    if (!address) throw std::runtime_error(std::string("bad test address ") + ip);
    auto socket = net::UdpSocket::bind({*address, 0});
    if (!socket) throw std::runtime_error("scripted device bind: " + socket.error().message());
    return std::move(*socket);
}

}  // namespace

Received::Received(proto::ByteVec bytes, net::Endpoint sender, Via via)
    : raw(std::move(bytes)), from(sender), at(via), parsed(proto::parse_datagram(raw)) {}

Received& Received::operator=(const Received& other) {
    raw = other.raw;
    from = other.from;
    at = other.at;
    when = other.when;
    parsed = proto::parse_datagram(raw);
    return *this;
}

std::vector<std::uint32_t> Received::read_addresses() const {
    std::vector<std::uint32_t> out;
    if (!is_command(proto::code::kReadRegCmd)) return out;
    for (std::size_t i = 0; i + 4 <= parsed->payload.size(); i += 4) out.push_back(proto::u32_at(parsed->payload, i));
    return out;
}

bool Received::is_heartbeat() const {
    return read_addresses() == std::vector<std::uint32_t>{proto::reg::kControlChannelPrivilege};
}

std::pair<std::uint32_t, std::uint32_t> Received::memory_request() const {
    if (is_command(proto::code::kReadMemCmd) && parsed->payload.size() >= 8)
        return {proto::u32_at(parsed->payload, 0), proto::u32_at(parsed->payload, 4)};
    if (is_command(proto::code::kWriteMemCmd) && parsed->payload.size() >= 4)
        return {proto::u32_at(parsed->payload, 0), static_cast<std::uint32_t>(parsed->payload.size() - 4)};
    return {0, 0};
}

std::vector<std::pair<std::uint32_t, std::uint32_t>> Received::write_pairs() const {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> out;
    if (!is_command(proto::code::kWriteRegCmd)) return out;
    for (std::size_t i = 0; i + 8 <= parsed->payload.size(); i += 8)
        out.emplace_back(proto::u32_at(parsed->payload, i), proto::u32_at(parsed->payload, i + 4));
    return out;
}

ScriptedDevice::ScriptedDevice(const char* ip, const char* other_ip)
    : socket_(bind_or_throw(ip)), other_port_(bind_or_throw(ip)), image_(kMemorySize) {
    if (other_ip) other_address_.emplace(bind_or_throw(other_ip));
    endpoint_ = *socket_.local_endpoint();
    set_register(proto::reg::kControlChannelPrivilege, proto::reg::kCcpControl);
    // It answers several registers per command and WRITEMEM, and says so.
    set_register(proto::reg::kGvcpCapability, proto::capability::kConcatenation | proto::capability::kWriteMem);
    thread_ = std::thread([this] { serve(); });
}

ScriptedDevice::~ScriptedDevice() {
    stop_ = true;
    thread_.join();
}

void ScriptedDevice::set_script(Script script) {
    std::lock_guard lock(mutex_);
    script_ = std::move(script);
}

void ScriptedDevice::set_register(std::uint32_t address, std::uint32_t value) {
    std::lock_guard lock(mutex_);
    proto::put_u32(image_, address, value);
}

std::uint32_t ScriptedDevice::get_register(std::uint32_t address) const {
    std::lock_guard lock(mutex_);
    return proto::u32_at(image_, address);
}

void ScriptedDevice::set_memory(std::uint32_t address, proto::ByteView bytes) {
    std::lock_guard lock(mutex_);
    std::copy(bytes.begin(), bytes.end(), image_.begin() + address);
}

proto::ByteVec ScriptedDevice::memory(std::uint32_t address, std::size_t length) const {
    std::lock_guard lock(mutex_);
    return proto::ByteVec(image_.begin() + address, image_.begin() + address + length);
}

proto::ByteVec ScriptedDevice::ack(const Received& command, std::uint16_t code, proto::ByteView payload) {
    return proto::encode_ack(proto::status::kSuccess, code, command.id(), payload);
}

proto::ByteVec ScriptedDevice::nak(const Received& command, std::uint16_t status) {
    const std::uint16_t code = command.parsed ? static_cast<std::uint16_t>(command.parsed->code + 1) : 0;
    return proto::encode_ack(status, code, command.id());
}

proto::ByteVec ScriptedDevice::pending(const Received& command, std::uint32_t milliseconds) {
    proto::ByteVec payload(4);
    proto::put_u32(payload, 0, milliseconds);
    return proto::encode_ack(proto::status::kSuccess, proto::code::kPendingAck, command.id(), payload);
}

proto::ByteVec ScriptedDevice::answer(const Received& command) {
    const auto in_image = [](std::uint64_t address, std::uint64_t length) { return address + length <= kMemorySize; };
    const std::uint16_t code = command.parsed->code;
    std::lock_guard lock(mutex_);
    proto::ByteVec payload;
    if (code == proto::code::kReadRegCmd) {
        for (std::uint32_t address : command.read_addresses()) {
            if (!in_image(address, 4)) return nak(command, proto::status::kInvalidAddress);
            payload.resize(payload.size() + 4);
            proto::put_u32(payload, payload.size() - 4, proto::u32_at(image_, address));
        }
    } else if (code == proto::code::kWriteRegCmd) {
        for (auto [address, value] : command.write_pairs()) {
            if (!in_image(address, 4)) return nak(command, proto::status::kInvalidAddress);
            proto::put_u32(image_, address, value);
        }
        payload.resize(4);
    } else if (code == proto::code::kReadMemCmd) {
        auto [address, count] = command.memory_request();
        if (!in_image(address, count)) return nak(command, proto::status::kInvalidAddress);
        payload.resize(4 + count);
        proto::put_u32(payload, 0, address);
        std::copy_n(image_.begin() + address, count, payload.begin() + 4);
    } else if (code == proto::code::kWriteMemCmd) {
        auto [address, count] = command.memory_request();
        if (!in_image(address, count)) return nak(command, proto::status::kInvalidAddress);
        std::copy_n(command.parsed->payload.begin() + 4, count, image_.begin() + address);
        payload.resize(4);
    } else if (code == proto::code::kDiscoveryCmd) {
        payload.assign(image_.begin(), image_.begin() + proto::DISCOVERY_DATA_SIZE);
    } else {
        return nak(command, proto::status::kNotImplemented);
    }
    return ack(command, static_cast<std::uint16_t>(code + 1), payload);
}

const net::UdpSocket& ScriptedDevice::socket_for(Via via) const {
    if (via == Via::OtherPort) return other_port_;
    if (via == Via::OtherAddress && other_address_) return *other_address_;
    return socket_;
}

void ScriptedDevice::send(proto::ByteView bytes, const net::Endpoint& to, Via via) {
    (void)socket_for(via).send_to(bytes, to);
}

void ScriptedDevice::serve() {
    std::vector<pollfd> fds = {{socket_.fd(), POLLIN, 0}, {other_port_.fd(), POLLIN, 0}};
    if (other_address_) fds.push_back({other_address_->fd(), POLLIN, 0});
    std::vector<std::byte> buffer(65535);
    while (!stop_) {
        if (::poll(fds.data(), fds.size(), 5) <= 0) continue;
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (!(fds[i].revents & POLLIN)) continue;
            const Via via = i == 0 ? Via::Device : i == 1 ? Via::OtherPort : Via::OtherAddress;
            auto datagram = socket_for(via).receive_from(buffer);
            if (!datagram) continue;
            handle(Received(proto::ByteVec(buffer.begin(), buffer.begin() + datagram->size), datagram->from, via));
        }
    }
}

void ScriptedDevice::handle(Received datagram) {
    Script script;
    {
        std::lock_guard lock(mutex_);
        received_.push_back(datagram);
        script = script_;
    }
    changed_.notify_all();
    // Only well-formed commands that ask for an acknowledge are answered; the host's event
    // acknowledges are recorded and nothing more.
    if (!datagram.parsed || !datagram.parsed->is_command || !(datagram.parsed->flags & proto::kFlagAckRequired))
        return;
    std::optional<std::vector<Reply>> replies = script ? script(datagram) : std::nullopt;
    if (!replies) replies = std::vector<Reply>{{answer(datagram)}};
    for (const auto& reply : *replies) {
        if (reply.delay.count() > 0) std::this_thread::sleep_for(reply.delay);
        send(reply.bytes, datagram.from, reply.via);
    }
}

std::vector<Received> ScriptedDevice::received() const {
    std::lock_guard lock(mutex_);
    return received_;
}

std::vector<Received> ScriptedDevice::commands() const {
    std::vector<Received> out;
    for (auto& r : received())
        if (r.parsed && r.parsed->is_command && !r.is_heartbeat()) out.push_back(r);
    return out;
}

std::size_t ScriptedDevice::heartbeats() const {
    std::size_t n = 0;
    for (auto& r : received()) n += r.is_heartbeat() ? 1 : 0;
    return n;
}

bool ScriptedDevice::wait_until(const std::function<bool(const std::vector<Received>&)>& pred,
                                std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return pred(received_); });
}

bool eventually(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

}  // namespace korvalite::test_support
