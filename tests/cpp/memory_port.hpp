#pragma once
// An in-memory device port for feature-model tests: a sparse byte space that reads zero where
// nothing was stored, and a record of every read and write the model made.
#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "korvalite/genicam/port.hpp"

namespace korvalite::test_support {

class MemoryPort : public genicam::PortIo {
public:
    struct Access {
        bool is_write;
        std::uint64_t address;
        std::vector<std::byte> bytes;  // bytes written, or bytes read (empty unless recorded)

        bool operator==(const Access&) const = default;
    };

    static Access read_of(std::uint64_t address, std::vector<std::byte> bytes) { return {false, address, bytes}; }
    static Access write_of(std::uint64_t address, std::vector<std::byte> bytes) { return {true, address, bytes}; }

    // Stores bytes in the device without recording an access.
    void store(std::uint64_t address, const std::vector<std::byte>& bytes) {
        for (std::size_t i = 0; i < bytes.size(); ++i) memory_[address + i] = bytes[i];
    }
    std::vector<std::byte> load(std::uint64_t address, std::size_t n) const {
        std::vector<std::byte> out(n);
        for (auto it = memory_.lower_bound(address); it != memory_.end() && it->first - address < n; ++it)
            out[it->first - address] = it->second;
        return out;
    }

    CameraResult<void> read(std::uint64_t address, std::span<std::byte> buffer) override {
        log.push_back({false, address, {}});
        if (failure) return std::unexpected(*failure);
        const auto bytes = load(address, buffer.size());
        std::copy(bytes.begin(), bytes.end(), buffer.begin());
        if (record_bytes) log.back().bytes = bytes;
        return {};
    }

    CameraResult<void> write(std::uint64_t address, std::span<const std::byte> data) override {
        log.push_back({true, address, std::vector<std::byte>(data.begin(), data.end())});
        if (failure) return std::unexpected(*failure);
        store(address, log.back().bytes);
        if (!record_bytes) log.back().bytes.clear();
        return {};
    }

    // Event ports read `events` (payload by event id); they never touch the memory or the log.
    CameraResult<void> read_event(std::uint16_t event_id, std::uint64_t address, std::span<std::byte> buffer) override {
        auto it = events.find(event_id);
        if (it == events.end() || address + buffer.size() > it->second.size())
            return std::unexpected(CameraError::malformed("no such event data"));
        std::copy_n(it->second.begin() + static_cast<std::ptrdiff_t>(address), buffer.size(), buffer.begin());
        return {};
    }
    bool has_event(std::uint16_t event_id) const override { return events.contains(event_id); }

    std::size_t reads() const { return count(false); }
    std::size_t writes() const { return count(true); }

    // Every access fails with this error while it is set (the attempt is still recorded).
    std::optional<CameraError> failure;
    // Off: accesses are recorded without their bytes (for sweeps over large registers).
    bool record_bytes = true;
    std::vector<Access> log;
    std::map<std::uint16_t, std::vector<std::byte>> events;

private:
    std::size_t count(bool writes) const {
        std::size_t n = 0;
        for (const auto& a : log) n += a.is_write == writes;
        return n;
    }

    std::map<std::uint64_t, std::byte> memory_;
};

}  // namespace korvalite::test_support
