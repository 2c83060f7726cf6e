#pragma once
// The packet sizes negotiated on one connection, per stream channel, so that later streams on
// the same channel skip the fire-test search. The memo belongs to the connection (a disconnect
// forgets it); a write that touches a channel's packet size register, or a failed stream,
// forgets that channel's entry.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "korvalite/gige/proto/bootstrap.hpp"

namespace korvalite::device {

class PacketSizeMemo {
public:
    std::optional<std::uint16_t> find(std::uint16_t channel) const {
        auto it = std::ranges::find(entries_, channel, &Entry::first);
        if (it == entries_.end()) return std::nullopt;
        return it->second;
    }

    void remember(std::uint16_t channel, std::uint16_t size) {
        forget(channel);
        entries_.emplace_back(channel, size);
    }

    void forget(std::uint16_t channel) { std::erase_if(entries_, [&](const Entry& e) { return e.first == channel; }); }

    // Forgets every channel whose packet size register lies within [address, address + length).
    void forget_written(std::uint64_t address, std::uint64_t length) {
        std::erase_if(entries_, [&](const Entry& e) {
            const std::uint64_t scps = gige::proto::reg::stream_channel_base(e.first) + gige::proto::reg::kScpsOffset;
            return scps + 4 > address && scps < address + length;
        });
    }

private:
    using Entry = std::pair<std::uint16_t, std::uint16_t>;  // channel, packet size
    std::vector<Entry> entries_;
};

}  // namespace korvalite::device
