#include "korvalite/genicam/name_index.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

namespace korvalite::genicam {

namespace {

// Names are copied into blocks of at least this size (a block per name only for longer names).
constexpr std::size_t kBlockBytes = 16 * 1024;
constexpr std::size_t kMinSlots = 16;

std::uint32_t tag_of(std::size_t hash) { return static_cast<std::uint32_t>(hash >> 32); }

std::size_t slots_for(std::size_t names) { return std::max(kMinSlots, std::bit_ceil(names * 2)); }

}  // namespace

// Eight bytes at a time (the last eight overlapping the rest), each mixed in by a multiply and
// shift; short names byte by byte. Node names are mostly 10 to 30 characters long.
std::size_t NameIndex::hash(std::string_view name) {
    constexpr std::uint64_t kMultiplier = 0x9E3779B97F4A7C15;
    auto mix = [](std::uint64_t h, std::uint64_t word) {
        h = (h ^ word) * kMultiplier;
        return h ^ (h >> 29);
    };
    std::uint64_t h = name.size() * kMultiplier;
    const char* p = name.data();
    if (name.size() < 8) {
        std::uint64_t word = 0;
        for (std::size_t i = 0; i < name.size(); ++i) word = (word << 8) | static_cast<unsigned char>(p[i]);
        h = mix(h, word);
    } else {
        std::uint64_t word;
        for (std::size_t i = 0; i + 8 < name.size(); i += 8) {
            std::memcpy(&word, p + i, sizeof word);
            h = mix(h, word);
        }
        std::memcpy(&word, p + name.size() - 8, sizeof word);
        h = mix(h, word);
    }
    h = (h ^ (h >> 32)) * kMultiplier;
    return static_cast<std::size_t>(h ^ (h >> 32));
}

NameIndex::NameIndex(const NameIndex& other) {
    std::size_t bytes = 0;
    for (const auto& [name, id] : other.entries_) bytes += name.size();
    reserve(other.size(), bytes);
    for (const auto& [name, id] : other.entries_) insert_or_assign(name, id);
}

NameIndex& NameIndex::operator=(const NameIndex& other) {
    if (this != &other) *this = NameIndex(other);
    return *this;
}

NameIndex::NameIndex(NameIndex&& other) noexcept
    : entries_(std::move(other.entries_)),
      slots_(std::move(other.slots_)),
      blocks_(std::move(other.blocks_)),
      block_free_(std::exchange(other.block_free_, nullptr)),
      block_room_(std::exchange(other.block_room_, 0)) {
    other.entries_.clear();
    other.slots_.clear();
    other.blocks_.clear();
}

NameIndex& NameIndex::operator=(NameIndex&& other) noexcept {
    if (this != &other) {
        entries_ = std::move(other.entries_);
        slots_ = std::move(other.slots_);
        blocks_ = std::move(other.blocks_);
        block_free_ = std::exchange(other.block_free_, nullptr);
        block_room_ = std::exchange(other.block_room_, 0);
        other.entries_.clear();
        other.slots_.clear();
        other.blocks_.clear();
    }
    return *this;
}

void NameIndex::reserve(std::size_t names, std::size_t bytes) {
    entries_.reserve(names);
    if (slots_for(names) > slots_.size()) rehash(slots_for(names));
    if (bytes > block_room_) {
        blocks_.push_back(std::make_unique_for_overwrite<char[]>(bytes));
        block_free_ = blocks_.back().get();
        block_room_ = bytes;
    }
}

void NameIndex::insert_or_assign(std::string_view name, NodeId id) {
    if (slots_.empty() || (entries_.size() + 1) * 2 > slots_.size()) rehash(slots_for(entries_.size() + 1));
    const std::size_t name_hash = hash(name);
    Slot& slot = slots_[slot_of(name, name_hash)];
    if (slot.entry != kNoEntry) {
        entries_[slot.entry].second = id;
        return;
    }
    slot = Slot{tag_of(name_hash), static_cast<std::uint32_t>(entries_.size())};
    entries_.emplace_back(keep(name), id);
}

NameIndex::const_iterator NameIndex::find(std::string_view name, std::size_t name_hash) const {
    if (slots_.empty()) return end();
    const Slot& slot = slots_[slot_of(name, name_hash)];
    return slot.entry == kNoEntry ? end() : entries_.begin() + slot.entry;
}

std::size_t NameIndex::slot_of(std::string_view name, std::size_t name_hash) const {
    const std::size_t mask = slots_.size() - 1;
    const std::uint32_t tag = tag_of(name_hash);
    for (std::size_t i = name_hash & mask;; i = (i + 1) & mask) {
        const Slot& slot = slots_[i];
        if (slot.entry == kNoEntry) return i;
        if (slot.tag == tag && entries_[slot.entry].first == name) return i;
    }
}

void NameIndex::rehash(std::size_t slot_count) {
    slots_.assign(slot_count, Slot{});
    const std::size_t mask = slot_count - 1;
    for (std::uint32_t e = 0; e < entries_.size(); ++e) {
        const std::size_t name_hash = hash(entries_[e].first);
        std::size_t i = name_hash & mask;
        while (slots_[i].entry != kNoEntry) i = (i + 1) & mask;
        slots_[i] = Slot{tag_of(name_hash), e};
    }
}

std::string_view NameIndex::keep(std::string_view name) {
    if (name.empty()) return {};
    if (name.size() > block_room_) {
        const std::size_t bytes = std::max(kBlockBytes, name.size());
        blocks_.push_back(std::make_unique_for_overwrite<char[]>(bytes));
        block_free_ = blocks_.back().get();
        block_room_ = bytes;
    }
    char* copy = block_free_;
    std::memcpy(copy, name.data(), name.size());
    block_free_ += name.size();
    block_room_ -= name.size();
    return std::string_view(copy, name.size());
}

}  // namespace korvalite::genicam
