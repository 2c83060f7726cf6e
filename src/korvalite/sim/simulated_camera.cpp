#include "korvalite/sim/simulated_camera.hpp"

#include <cstdio>
#include <optional>

#include "korvalite/log.hpp"
#include "korvalite/net/udp_socket.hpp"
#include "korvalite/sim/bootstrap_map.hpp"
#include "korvalite/sim/control_server.hpp"
#include "korvalite/sim/description.hpp"
#include "korvalite/sim/device.hpp"
#include "korvalite/sim/feature_map.hpp"
#include "korvalite/sim/resend_queue.hpp"
#include "korvalite/sim/stream_sender.hpp"
#include "korvalite/sim/zip_writer.hpp"
#include "korvalite/thread_util.hpp"

namespace korvalite::sim {

struct SimulatedCamera::Live final : FrameEventSink {
    explicit Live(SimulatedCamera& camera) : camera(camera) {}
    void frame_event(std::uint16_t event_id, std::uint64_t block_id, std::uint64_t timestamp) override {
        camera.frame_event(event_id, block_id, timestamp);
    }

    SimulatedCamera& camera;
    std::optional<net::UdpSocket> device_port;
    std::vector<net::UdpSocket> broadcast;
    std::optional<net::UdpSocket> message_channel;
    std::vector<net::UdpSocket> stream_sockets;
    ResendQueue resends;
    std::unique_ptr<StreamSender> sender;
    ThreadHandle control_thread;
    ThreadHandle stream_thread;
};

namespace {

using gige::proto::ByteVec;

constexpr std::size_t kStreamSendBuffer = 4u << 20;

bool is_zip_archive(const std::string& text) { return text.size() >= 4 && text.compare(0, 4, "PK\x03\x04") == 0; }

std::string upper_hex(std::uint64_t v) {
    char buf[20];
    std::snprintf(buf, sizeof buf, "%llX", static_cast<unsigned long long>(v));
    return buf;
}

struct ServedDescription {
    ByteVec file;
    std::string xml;
    std::string file_name;
};

SimulatedCamera::Result<ServedDescription> serve_description(const SimConfig& config) {
    const std::string base(kDescriptionFileName);
    ServedDescription d;
    if (is_zip_archive(config.description)) {
        const auto archive = gige::proto::as_bytes(config.description);
        d.file.assign(archive.begin(), archive.end());
        d.file_name = base + ".zip";
        return d;
    }
    d.xml = config.description.empty() ? std::string(builtin_description()) : config.description;
    const auto xml_bytes = gige::proto::as_bytes(d.xml);
    if (config.packing == DescriptionPacking::Plain) {
        d.file.assign(xml_bytes.begin(), xml_bytes.end());
        d.file_name = base + ".xml";
        return d;
    }
    const ZipMethod method =
        config.packing == DescriptionPacking::ZipDeflated ? ZipMethod::Deflated : ZipMethod::Stored;
    auto zip = make_zip(base + ".xml", xml_bytes, method);
    if (!zip) return std::unexpected("cannot zip the description: " + zip.error());
    d.file = std::move(*zip);
    d.file_name = base + ".zip";
    return d;
}

std::string url_text(const std::string& configured, const std::string& local) {
    return configured == "local" ? local : configured;
}

}  // namespace

SimulatedCamera::Result<std::unique_ptr<SimulatedCamera>> SimulatedCamera::create(SimConfig config) {
    if (auto problem = validate(config)) return std::unexpected(*problem);
    auto served = serve_description(config);
    if (!served) return std::unexpected(served.error());
    const std::string local = "Local:" + served->file_name + ";" + upper_hex(features::kDescriptionAddress) + ";" +
                              upper_hex(served->file.size());
    std::string first = url_text(config.first_url, local);
    std::string second = url_text(config.second_url, local);
    if (first.size() > 511 || second.size() > 511)
        return std::unexpected(std::string("URLs must be at most 511 bytes"));
    const net::Ipv4Address ip = config.identity.ip.value_or(config.bind.address);
    auto device = std::make_unique<Device>(config, ip, served->file, first, second);
    return std::unique_ptr<SimulatedCamera>(new SimulatedCamera(std::move(config), std::move(device),
                                                                std::move(served->file), std::move(served->xml),
                                                                std::move(first), std::move(second)));
}

SimulatedCamera::SimulatedCamera(SimConfig config, std::unique_ptr<Device> device, ByteVec description_file,
                                 std::string description_xml, std::string first_url, std::string second_url)
    : config_(std::move(config)),
      device_(std::move(device)),
      description_file_(std::move(description_file)),
      description_xml_(std::move(description_xml)),
      first_url_(std::move(first_url)),
      second_url_(std::move(second_url)),
      endpoint_(config_.bind),
      extended_ids_(config_.extended_ids),
      live_(std::make_unique<Live>(*this)) {}

SimulatedCamera::~SimulatedCamera() { stop(); }

SimulatedCamera::Result<void> SimulatedCamera::start() {
    std::lock_guard lock(lifecycle_);
    if (running()) return std::unexpected(std::string("simulated camera is already running"));
    if (auto bound = bind_sockets(); !bound) {
        live_->device_port.reset();
        live_->broadcast.clear();
        live_->message_channel.reset();
        live_->stream_sockets.clear();
        return bound;
    }
    if (auto started = start_threads(); !started) {
        live_->control_thread.stop_and_join();
        live_->stream_thread.stop_and_join();
        live_->control_thread = ThreadHandle();
        live_->stream_thread = ThreadHandle();
        return started;
    }
    running_.store(true, std::memory_order_release);
    KORVALITE_LOG(log::targets::sim, log::Level::Debug, "simulated camera started", {{"addr", endpoint_.to_string()}});
    return {};
}

void SimulatedCamera::stop() {
    std::lock_guard lock(lifecycle_);
    if (!running()) return;
    live_->control_thread.stop_and_join();
    live_->stream_thread.stop_and_join();
    live_->control_thread = ThreadHandle();
    live_->stream_thread = ThreadHandle();
    device_->set_stream_waker(nullptr);
    live_->resends.set_waker(nullptr);
    live_->sender.reset();
    live_->device_port.reset();
    live_->broadcast.clear();
    live_->message_channel.reset();
    live_->stream_sockets.clear();
    running_.store(false, std::memory_order_release);
    KORVALITE_LOG(log::targets::sim, log::Level::Debug, "simulated camera stopped", {{"addr", endpoint_.to_string()}});
}

SimulatedCamera::Result<void> SimulatedCamera::bind_sockets() {
    const net::Ipv4Address ip = config_.bind.address;
    auto port = net::UdpSocket::bind(config_.bind);
    if (!port) return std::unexpected("cannot bind " + config_.bind.to_string() + ": " + port.error().message());
    (void)port->set_nonblocking(true);
    endpoint_ = port->local_endpoint().value_or(config_.bind);
    live_->device_port = std::move(*port);

    if (config_.answer_broadcast && ip != net::Ipv4Address::any()) {
        // Broadcasts reach sockets bound to the broadcast address, not to the device's own.
        const net::Ipv4Address subnet{ip.value | ~config_.identity.subnet_mask.value};
        for (net::Ipv4Address b : {net::Ipv4Address::broadcast(), subnet}) {
            if (b == ip || (b == subnet && subnet == net::Ipv4Address::broadcast())) continue;
            auto s = net::UdpSocket::bind_shared({b, endpoint_.port});
            if (!s) {
                KORVALITE_LOG(log::targets::sim, log::Level::Debug, "broadcast address not bound",
                              {{"addr", b.to_string()}, {"error", s.error().message()}});
                continue;
            }
            (void)s->set_nonblocking(true);
            live_->broadcast.push_back(std::move(*s));
        }
    }

    auto message = net::UdpSocket::bind({ip, 0});
    if (!message) return std::unexpected("cannot bind the message channel: " + message.error().message());
    (void)message->set_nonblocking(true);
    device_->set_message_source_port(message->local_endpoint().value_or(net::Endpoint{}).port);
    live_->message_channel = std::move(*message);

    for (std::uint32_t c = 0; c < config_.stream_channels; ++c) {
        auto s = net::UdpSocket::bind({ip, 0});
        if (!s) return std::unexpected("cannot bind a stream channel: " + s.error().message());
        (void)s->set_send_buffer(kStreamSendBuffer);
        device_->set_stream_source_port(c, s->local_endpoint().value_or(net::Endpoint{}).port);
        live_->stream_sockets.push_back(std::move(*s));
    }
    return {};
}

SimulatedCamera::Result<void> SimulatedCamera::start_threads() {
    std::vector<int> channel_fds;
    for (const auto& s : live_->stream_sockets) channel_fds.push_back(s.fd());

    auto control_poller = net::Poller::create();
    auto control_waker = net::Waker::create();
    auto stream_poller = net::Poller::create();
    auto stream_waker = net::Waker::create();
    if (!control_poller || !control_waker || !stream_poller || !stream_waker)
        return std::unexpected(std::string("cannot create the simulated camera's pollers"));
    bool registered = control_poller->add_readable(live_->device_port->fd(), ControlServer::kDeviceToken).has_value() &&
                      control_poller->add_readable(live_->message_channel->fd(), ControlServer::kMessageToken).has_value() &&
                      control_poller->add_readable((*control_waker)->fd(), net::kWakerToken).has_value() &&
                      stream_poller->add_readable((*stream_waker)->fd(), net::kWakerToken).has_value();
    std::vector<const net::UdpSocket*> broadcast;
    for (std::size_t i = 0; i < live_->broadcast.size(); ++i) {
        registered = registered &&
                     control_poller->add_readable(live_->broadcast[i].fd(), ControlServer::kFirstBroadcastToken + i);
        broadcast.push_back(&live_->broadcast[i]);
    }
    if (!registered) return std::unexpected(std::string("cannot register the simulated camera's sockets"));

    auto server = std::make_unique<ControlServer>(*device_, live_->resends, *live_->device_port, std::move(broadcast),
                                                  *live_->message_channel, channel_fds);
    live_->control_thread = ThreadHandle::create();
    live_->control_thread.set_waker(*control_waker);
    auto control = spawn_named("kvsim-gvcp", [server = std::move(server), poller = std::move(*control_poller),
                                              waker = *control_waker, stop = live_->control_thread.stop_flag(),
                                              alive = live_->control_thread.alive_flag(), gone = &gone_]() mutable {
        server->run(*stop, *gone, poller, *waker);
        alive->store(false);
    });
    if (!control) return std::unexpected(control.error().message());
    live_->control_thread.set_handle(std::move(*control));

    FrameEventSink& events = *live_;
    live_->sender = std::make_unique<StreamSender>(*device_, live_->resends, channel_fds, config_, events);
    live_->sender->set_gone(gone());
    live_->sender->set_extended_ids(extended_ids());
    device_->set_stream_waker(*stream_waker);
    live_->resends.set_waker(*stream_waker);
    live_->stream_thread = ThreadHandle::create();
    live_->stream_thread.set_waker(*stream_waker);
    auto stream = spawn_named("kvsim-gvsp", [sender = live_->sender.get(), poller = std::move(*stream_poller),
                                             waker = *stream_waker, stop = live_->stream_thread.stop_flag(),
                                             alive = live_->stream_thread.alive_flag()]() mutable {
        sender->run(*stop, poller, *waker);
        alive->store(false);
    });
    if (!stream) return std::unexpected(stream.error().message());
    live_->stream_thread.set_handle(std::move(*stream));
    return {};
}

void SimulatedCamera::set_gone(bool gone) {
    gone_.store(gone, std::memory_order_release);
    std::lock_guard lock(lifecycle_);
    if (live_->sender) live_->sender->set_gone(gone);
}

void SimulatedCamera::set_extended_ids(bool on) {
    extended_ids_.store(on, std::memory_order_release);
    std::lock_guard lock(lifecycle_);
    if (live_->sender) live_->sender->set_extended_ids(on);
}

bool SimulatedCamera::extended_ids() const { return extended_ids_.load(std::memory_order_acquire); }

SimulatedCamera::Result<gige::proto::ByteVec> SimulatedCamera::peek(std::uint32_t address, std::uint64_t size) const {
    return device_->peek(address, size);
}

SimulatedCamera::Result<void> SimulatedCamera::poke(std::uint32_t address, gige::proto::ByteView data) {
    return device_->poke(address, data);
}

Counters& SimulatedCamera::counters() { return device_->counters(); }
WriteLog& SimulatedCamera::writes() { return device_->writes(); }
FaultConfig SimulatedCamera::faults() const { return device_->faults(); }
void SimulatedCamera::set_faults(const FaultConfig& faults) { device_->set_faults(faults); }
void SimulatedCamera::start_acquisition() { device_->start_acquisition(); }
void SimulatedCamera::stop_acquisition() { device_->stop_acquisition(); }
bool SimulatedCamera::acquiring() const { return device_->acquiring(); }
bool SimulatedCamera::pulse_line(std::uint32_t line) { return device_->pulse_line(line); }
std::optional<net::Endpoint> SimulatedCamera::privilege_holder() const { return device_->privilege_holder(); }
void SimulatedCamera::release_privilege() { device_->release_privilege(); }

std::uint16_t SimulatedCamera::next_event_id() {
    // Request ids of device commands run 1 .. 0xFFFF; 0 is never used.
    std::uint16_t id = static_cast<std::uint16_t>(event_request_id_.fetch_add(1) + 1);
    if (id == 0) id = static_cast<std::uint16_t>(event_request_id_.fetch_add(1) + 1);
    return id;
}

SimulatedCamera::Result<std::uint16_t> SimulatedCamera::send_event(const DeviceEvent& event) {
    if (event.with_data && event.data.size() > kMaxEventData)
        return std::unexpected("event data is longer than " + std::to_string(kMaxEventData) + " bytes");
    std::lock_guard lock(lifecycle_);
    if (!running()) return std::unexpected(std::string("simulated camera is not running"));
    if (gone()) return std::unexpected(std::string("simulated camera is gone"));
    const auto to = event.destination ? event.destination : device_->event_destination();
    if (!to)
        return std::unexpected(std::string("no event destination: no message channel and no controlling application"));
    if (!device_->may_send_to(*to))
        return std::unexpected("a camera on a loopback address sends to loopback addresses only, not " + to->to_string());
    const std::uint16_t id = next_event_id();
    const auto packet = encode_event(event, id, event.timestamp.value_or(device_->ticks(Clock::now())));
    if (auto sent = live_->message_channel->send_to(packet, *to); !sent)
        return std::unexpected("event send failed: " + sent.error().message());
    device_->counters().add(Counter::EventsSent);
    return id;
}

void SimulatedCamera::frame_event(std::uint16_t event_id, std::uint64_t block_id, std::uint64_t timestamp) {
    // Runs on the stream thread, which stop() joins while holding the lifecycle lock: send
    // directly, without that lock. The message socket lives until the threads are joined.
    const auto to = device_->event_destination();
    if (!to || gone()) return;
    DeviceEvent event;
    event.event_id = event_id;
    event.stream_channel = 0;
    event.block_id = static_cast<std::uint16_t>(block_id & 0xFFFF);
    const auto packet = encode_event(event, next_event_id(), timestamp);
    if (live_->message_channel->send_to(packet, *to)) device_->counters().add(Counter::EventsSent);
}

SimulatedCamera::Result<void> SimulatedCamera::stream_to(const net::Endpoint& to, std::uint32_t packet_size) {
    const std::uint32_t base = boot::stream_channel_base(0);
    std::array<std::byte, 4> word{};
    auto put = [&](std::uint32_t address, std::uint32_t value) {
        gige::proto::put_u32(word, 0, value);
        return device_->poke(address, word);
    };
    if (packet_size < 64 || packet_size > 65535) return std::unexpected(std::string("packet_size must be 64 to 65535"));
    if (!device_->may_send_to(to))
        return std::unexpected("a camera on a loopback address sends to loopback addresses only, not " + to.to_string());
    for (auto r : {put(base + boot::kScdaOffset, to.address.value), put(base + boot::kScpsOffset, packet_size),
                   put(base + boot::kScpdOffset, 0), put(features::kAcquisitionFrameRateEnable, 0),
                   put(features::kAcquisitionMode, features::kModeContinuous), put(base + boot::kScpOffset, to.port)})
        if (!r) return std::unexpected(r.error());
    device_->start_acquisition();
    return {};
}

}  // namespace korvalite::sim
