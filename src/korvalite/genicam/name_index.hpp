#pragma once
// The name index of a feature graph: node name -> id, one entry per distinct name.
//
// Entries sit in one flat list, in the order their names were first added, and an
// open-addressing table of positions finds them by hash. The names are copied into text blocks
// the index owns, which never move, so an entry holds a plain view; building an index of a few
// thousand names costs a handful of allocations rather than two per name.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "korvalite/genicam/node.hpp"

namespace korvalite::genicam {

class NameIndex {
public:
    using value_type = std::pair<std::string_view, NodeId>;
    using const_iterator = std::vector<value_type>::const_iterator;

    NameIndex() = default;
    NameIndex(const NameIndex& other);
    NameIndex& operator=(const NameIndex& other);
    NameIndex(NameIndex&& other) noexcept;
    NameIndex& operator=(NameIndex&& other) noexcept;
    ~NameIndex() = default;

    // Room for `names` distinct names of `bytes` characters in all, without growing.
    void reserve(std::size_t names, std::size_t bytes);
    // Maps `name` to `id`, replacing the id of an earlier entry of that name.
    void insert_or_assign(std::string_view name, NodeId id);

    const_iterator find(std::string_view name) const { return find(name, hash(name)); }
    // As find, with `name_hash` = hash(name) worked out beforehand.
    const_iterator find(std::string_view name, std::size_t name_hash) const;
    static std::size_t hash(std::string_view name);
    bool contains(std::string_view name) const { return find(name) != end(); }
    const_iterator begin() const { return entries_.begin(); }
    const_iterator end() const { return entries_.end(); }
    std::size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }

private:
    static constexpr std::uint32_t kNoEntry = UINT32_MAX;
    struct Slot {
        std::uint32_t tag = 0;  // high half of the name's hash, to skip most comparisons
        std::uint32_t entry = kNoEntry;
    };

    // The slot holding `name`, or the empty slot where it would go.
    std::size_t slot_of(std::string_view name, std::size_t name_hash) const;
    void rehash(std::size_t slot_count);
    std::string_view keep(std::string_view name);

    std::vector<value_type> entries_;
    std::vector<Slot> slots_;  // a power of two in size, at most half full
    std::vector<std::unique_ptr<char[]>> blocks_;
    char* block_free_ = nullptr;
    std::size_t block_room_ = 0;
};

}  // namespace korvalite::genicam
