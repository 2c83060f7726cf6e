#include "korvalite/sim/device.hpp"

#include <algorithm>
#include <bit>

#include "korvalite/hex.hpp"
#include "korvalite/log.hpp"
#include "korvalite/sim/bootstrap_map.hpp"
#include "korvalite/sim/feature_map.hpp"

namespace korvalite::sim {

namespace {

using gige::proto::ByteVec;
using gige::proto::ByteView;
namespace st = gige::proto::status;

constexpr std::uint32_t kMaxMemoryAccess = 512;

void map_feature_registers(RegisterSpace& space, const ImageDefaults& im) {
    namespace f = features;
    space.map(f::kWidth, f::kSensorWidth - f::kWidth, Access::ReadWrite);
    space.map(f::kSensorWidth, 8, Access::ReadOnly);
    space.map(f::kAcquisitionMode, f::kFeatureBlockEnd - f::kAcquisitionMode, Access::ReadWrite);
    space.store_u32(f::kWidth, im.width);
    space.store_u32(f::kHeight, im.height);
    space.store_u32(f::kOffsetX, im.offset_x);
    space.store_u32(f::kOffsetY, im.offset_y);
    space.store_u32(f::kPixelFormat, im.pixel_format);
    space.store_u32(f::kSensorWidth, im.sensor_width);
    space.store_u32(f::kSensorHeight, im.sensor_height);
    space.store_u32(f::kAcquisitionMode, im.acquisition_mode);
    space.store_u32(f::kAcquisitionFrameCount, im.frame_count);
    space.store_u32(f::kAcquisitionFrameRateEnable, im.frame_rate_enable ? 1 : 0);
    std::array<std::byte, 8> rate{};
    gige::proto::put_u64(rate, 0, std::bit_cast<std::uint64_t>(im.frame_rate));
    space.store(f::kAcquisitionFrameRate, rate);
    space.store_u32(f::kGain, std::bit_cast<std::uint32_t>(im.gain_db));
    space.store_u32(f::kExposureTimeRaw, static_cast<std::uint32_t>(im.exposure_us * 10.0 + 0.5));
    space.store_u32(f::kTestPattern, im.test_pattern);
    space.store_u32(f::kChunkEnable + 4 * static_cast<std::uint32_t>(ChunkSelector::Image), 1);  // as cameras ship
}

void map_description(RegisterSpace& space, const ByteVec& description) {
    const auto size = static_cast<std::uint32_t>((description.size() + 3) / 4 * 4);
    space.map(features::kDescriptionAddress, size == 0 ? 4 : size, Access::ReadOnly);
    if (!description.empty()) space.store(features::kDescriptionAddress, description);
}

std::string unmapped(std::uint32_t address, std::uint64_t size) {
    return "address range " + hex_code(address, 8) + " + " + std::to_string(size) + " is not mapped";
}

}  // namespace

Device::Device(const SimConfig& config, net::Ipv4Address current_ip, ByteVec description,
               const std::string& first_url, const std::string& second_url)
    : faults_(config.faults),
      tick_origin_(Clock::now()),
      tick_frequency_(config.tick_frequency),
      min_heartbeat_timeout_ms_(config.min_heartbeat_timeout_ms),
      stream_channels_(config.stream_channels),
      capability_{config.gvcp_capability},
      path_mtu_(config.path_mtu),
      loopback_only_(config.bind.address.is_loopback()),
      spare_memory_(config.spare_memory),
      writes_(config.max_recorded_writes) {
    boot::map_bootstrap(space_, config, current_ip, first_url, second_url);
    map_feature_registers(space_, config.image);
    map_description(space_, description);
}

// --- Checks ----------------------------------------------------------------------------------

std::uint16_t Device::refused(std::uint32_t address, std::uint64_t size) const {
    const std::uint64_t end = std::uint64_t{address} + size;
    for (const auto& [reg, status] : faults_.refused_registers) {
        const std::uint64_t start = reg & ~std::uint32_t{3};
        if (start < end && start + 4 > address) return status;
    }
    return st::kSuccess;
}

std::uint16_t Device::check_read(const net::Endpoint& peer, std::uint32_t address, std::uint64_t size) const {
    if (!privilege_.may_read(peer)) return st::kAccessDenied;
    if (auto r = refused(address, size)) return r;
    if (!space_.is_mapped(address, size)) return st::kInvalidAddress;
    return st::kSuccess;
}

std::uint16_t Device::check_write(const net::Endpoint& peer, std::uint32_t address, std::uint64_t size) const {
    if (!privilege_.may_write(peer)) return st::kAccessDenied;
    if (auto r = refused(address, size)) return r;
    if (!space_.is_mapped(address, size)) return st::kInvalidAddress;
    if (!space_.is_writable(address, size)) return st::kWriteProtect;
    return st::kSuccess;
}

void Device::map_spare(std::uint32_t address, std::uint64_t size) {
    if (!spare_memory_ || address % 4 != 0) return;
    const std::uint64_t end = std::min<std::uint64_t>(std::uint64_t{address} + size, std::uint64_t{1} << 32);
    for (std::uint64_t at = address; at < end; at += 4)
        if (!space_.is_mapped(static_cast<std::uint32_t>(at), 4))
            space_.map(static_cast<std::uint32_t>(at), 4, Access::ReadWrite);
}

// --- Host commands ---------------------------------------------------------------------------

HostReadResult Device::read_registers(const net::Endpoint& peer, std::span<const std::uint32_t> addresses) {
    Lock lock(mutex_);
    HostReadResult result;
    for (std::uint32_t address : addresses) {
        map_spare(address, 4);
        if (address % 4 != 0) result.status = st::kBadAlignment;
        else result.status = check_read(peer, address, 4);
        if (result.status != st::kSuccess) break;
        result.values.push_back(space_.load_u32(address));
    }
    return result;
}

HostWriteResult Device::write_registers(const net::Endpoint& peer,
                                        std::span<const std::pair<std::uint32_t, std::uint32_t>> pairs,
                                        Clock::time_point now) {
    Lock lock(mutex_);
    HostWriteResult result;
    for (const auto& [address, value] : pairs) {
        map_spare(address, 4);
        result.status = apply_register(peer, address, value, now, result);
        if (result.status != st::kSuccess) break;
        std::array<std::byte, 4> bytes{};
        gige::proto::put_u32(bytes, 0, value);
        writes_.record(gige::proto::code::kWriteRegCmd, address, bytes, peer);
        ++result.done;
    }
    bump();
    return result;
}

std::uint16_t Device::read_memory(const net::Endpoint& peer, std::uint32_t address, std::uint32_t count,
                                  ByteVec& out) {
    if (address % 4 != 0 || count % 4 != 0) return st::kBadAlignment;
    if (count == 0 || count > kMaxMemoryAccess) return st::kInvalidParameter;
    Lock lock(mutex_);
    map_spare(address, count);
    if (auto s = check_read(peer, address, count)) return s;
    out.resize(count);
    space_.load(address, out);
    return st::kSuccess;
}

HostWriteResult Device::write_memory(const net::Endpoint& peer, std::uint32_t address, ByteView data,
                                     Clock::time_point now) {
    HostWriteResult result;
    if (address % 4 != 0 || data.size() % 4 != 0) {
        result.status = st::kBadAlignment;
        return result;
    }
    if (data.empty() || data.size() > kMaxMemoryAccess) {
        result.status = st::kInvalidParameter;
        return result;
    }
    Lock lock(mutex_);
    map_spare(address, data.size());
    if (address != boot::kControlChannelPrivilege || data.size() != 4)
        result.status = check_write(peer, address, data.size());
    std::size_t offset = 0;
    while (result.status == st::kSuccess && offset < data.size()) {
        const std::uint32_t at = address + static_cast<std::uint32_t>(offset);
        if (at == features::kAcquisitionFrameRate && data.size() - offset >= 8) {
            result.status = apply_frame_rate(std::bit_cast<double>(gige::proto::u64_at(data, offset)));
            if (result.status == st::kSuccess) space_.store(at, data.subspan(offset, 8));
            if (result.status == st::kSuccess) offset += 8;
            continue;
        }
        result.status = apply_register(peer, at, gige::proto::u32_at(data, offset), now, result);
        if (result.status == st::kSuccess) offset += 4;
    }
    result.done = static_cast<std::uint32_t>(offset);
    if (offset > 0) writes_.record(gige::proto::code::kWriteMemCmd, address, data.first(offset), peer);
    bump();
    return result;
}

ByteVec Device::identity_block() const {
    Lock lock(mutex_);
    ByteVec out(gige::proto::DISCOVERY_DATA_SIZE);
    space_.load(0, out);
    return out;
}

void Device::heartbeat(const net::Endpoint& peer, Clock::time_point now) {
    Lock lock(mutex_);
    privilege_.heartbeat(peer, now);
}

bool Device::expire_privilege(Clock::time_point now) {
    Lock lock(mutex_);
    const std::chrono::milliseconds timeout{space_.load_u32(boot::kHeartbeatTimeout)};
    if (!privilege_.expired(now, timeout)) return false;
    KORVALITE_LOG(log::targets::sim, log::Level::Debug, "control privilege expired",
                  {{"holder", privilege_.holder()->to_string()}});
    privilege_.release();
    reset_after_control_loss();
    counters_.add(Counter::HeartbeatExpirations);
    return true;
}

// --- Direct access ---------------------------------------------------------------------------

std::expected<ByteVec, std::string> Device::peek(std::uint32_t address, std::uint64_t size) const {
    Lock lock(mutex_);
    if (!space_.is_mapped(address, size)) return std::unexpected(unmapped(address, size));
    ByteVec out(size);
    space_.load(address, out);
    return out;
}

std::expected<void, std::string> Device::poke(std::uint32_t address, ByteView data) {
    Lock lock(mutex_);
    if (!space_.is_mapped(address, data.size())) return std::unexpected(unmapped(address, data.size()));
    space_.store(address, data);
    bump();
    return {};
}

std::optional<net::Endpoint> Device::privilege_holder() const {
    Lock lock(mutex_);
    return privilege_.holder();
}

void Device::release_privilege() {
    Lock lock(mutex_);
    if (!privilege_.held()) return;
    privilege_.release();
    reset_after_control_loss();
}

// --- Privilege -------------------------------------------------------------------------------

std::uint16_t Device::apply_privilege(const net::Endpoint& peer, std::uint32_t value, Clock::time_point now) {
    if (auto r = refused(boot::kControlChannelPrivilege, 4)) return r;
    switch (privilege_.write(peer, value, now)) {
        case ControlPrivilege::Change::Denied: return st::kAccessDenied;
        case ControlPrivilege::Change::Released:
            KORVALITE_LOG(log::targets::sim, log::Level::Debug, "control privilege released",
                          {{"holder", peer.to_string()}});
            reset_after_control_loss();
            break;
        case ControlPrivilege::Change::Taken:
            KORVALITE_LOG(log::targets::sim, log::Level::Debug, "control privilege taken",
                          {{"holder", peer.to_string()}, {"value", std::uint64_t{value}}});
            break;
        case ControlPrivilege::Change::None: break;
    }
    publish_privilege();
    return st::kSuccess;
}

void Device::publish_privilege() {
    space_.store_u32(boot::kControlChannelPrivilege, privilege_.value());
    const auto& holder = privilege_.holder();
    space_.store_u32(boot::kPrimaryApplicationPort, holder ? holder->port : 0);
    space_.store_u32(boot::kPrimaryApplicationIp, holder ? holder->address.value : 0);
}

void Device::reset_after_control_loss() {
    for (std::uint32_t c = 0; c < stream_channels_; ++c)
        space_.store_u32(boot::stream_channel_base(c) + boot::kScpOffset, 0);
    space_.store_u32(boot::kMessageChannelPort, 0);
    space_.store_u32(features::kTLParamsLocked, 0);
    set_acquiring(false);
    publish_privilege();
    bump();
}

// --- Faults ----------------------------------------------------------------------------------

FaultConfig Device::faults() const {
    Lock lock(mutex_);
    return faults_;
}

void Device::set_faults(const FaultConfig& faults) {
    Lock lock(mutex_);
    faults_ = faults;
    space_.store_u32(boot::kPendingTimeout, faults.pending_ack_announce_ms);
    faults_version_.fetch_add(1, std::memory_order_acq_rel);
}

}  // namespace korvalite::sim
