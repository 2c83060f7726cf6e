#include "korvalite/sim/register_space.hpp"

#include <algorithm>
#include <array>
#include <cstring>

namespace korvalite::sim {

bool RegisterSpace::map(std::uint32_t base, std::uint32_t size, Access access) {
    if (size == 0 || std::uint64_t{base} + size > (std::uint64_t{1} << 32)) return false;
    auto next = regions_.lower_bound(base);
    if (next != regions_.end() && next->first < std::uint64_t{base} + size) return false;
    if (next != regions_.begin()) {
        auto prev = std::prev(next);
        if (std::uint64_t{prev->first} + prev->second.bytes.size() > base) return false;
    }
    regions_.emplace(base, Region{access, gige::proto::ByteVec(size)});
    return true;
}

std::map<std::uint32_t, RegisterSpace::Region>::const_iterator RegisterSpace::find(std::uint32_t address) const {
    auto it = regions_.upper_bound(address);
    if (it == regions_.begin()) return regions_.end();
    --it;
    if (std::uint64_t{it->first} + it->second.bytes.size() <= address) return regions_.end();
    return it;
}

template <class Visit>
bool RegisterSpace::walk(std::uint32_t address, std::uint64_t size, Visit&& visit) const {
    if (size == 0) return false;
    std::uint64_t at = address;
    const std::uint64_t end = std::uint64_t{address} + size;
    while (at < end) {
        if (at > 0xFFFFFFFFu) return false;
        auto it = find(static_cast<std::uint32_t>(at));
        if (it == regions_.end()) return false;
        const std::uint64_t region_end = std::uint64_t{it->first} + it->second.bytes.size();
        const std::uint64_t chunk_end = std::min(region_end, end);
        if (!visit(it->second, static_cast<std::size_t>(at - it->first), static_cast<std::size_t>(chunk_end - at)))
            return false;
        at = chunk_end;
    }
    return true;
}

bool RegisterSpace::is_mapped(std::uint32_t address, std::uint64_t size) const {
    return walk(address, size, [](const Region&, std::size_t, std::size_t) { return true; });
}

bool RegisterSpace::is_writable(std::uint32_t address, std::uint64_t size) const {
    return walk(address, size, [](const Region& r, std::size_t, std::size_t) { return r.access == Access::ReadWrite; });
}

void RegisterSpace::load(std::uint32_t address, gige::proto::MutableBytes out) const {
    std::size_t done = 0;
    walk(address, out.size(), [&](const Region& r, std::size_t offset, std::size_t n) {
        std::memcpy(out.data() + done, r.bytes.data() + offset, n);
        done += n;
        return true;
    });
}

void RegisterSpace::store(std::uint32_t address, gige::proto::ByteView data) {
    std::size_t done = 0;
    walk(address, data.size(), [&](const Region& r, std::size_t offset, std::size_t n) {
        // walk hands out const regions; the space itself is not const here.
        auto& bytes = const_cast<Region&>(r).bytes;
        std::memcpy(bytes.data() + offset, data.data() + done, n);
        done += n;
        return true;
    });
}

std::uint32_t RegisterSpace::load_u32(std::uint32_t address) const {
    std::array<std::byte, 4> b{};
    load(address, b);
    return gige::proto::u32_at(b, 0);
}

void RegisterSpace::store_u32(std::uint32_t address, std::uint32_t value) {
    std::array<std::byte, 4> b{};
    gige::proto::put_u32(b, 0, value);
    store(address, b);
}

}  // namespace korvalite::sim
