#pragma once
// The device's address space: mapped regions of bytes, each read-only or read-write. Accesses
// must fall on mapped bytes only (they may span adjacent regions). Not synchronised: the
// device model guards it with its own mutex.
#include <cstdint>
#include <map>

#include "korvalite/gige/proto/bytes.hpp"

namespace korvalite::sim {

enum class Access { ReadOnly, ReadWrite };

class RegisterSpace {
public:
    // Maps `size` zeroed bytes at `base`. Returns false (and maps nothing) when the range is
    // empty, wraps past 2^32 or overlaps a mapped region.
    bool map(std::uint32_t base, std::uint32_t size, Access access);

    // Whether every byte of [address, address + size) is mapped (size 0: never).
    bool is_mapped(std::uint32_t address, std::uint64_t size) const;
    // Whether every byte of the range is mapped and writable by the host.
    bool is_writable(std::uint32_t address, std::uint64_t size) const;

    // Raw copies; the caller checked is_mapped. Access modes do not apply.
    void load(std::uint32_t address, gige::proto::MutableBytes out) const;
    void store(std::uint32_t address, gige::proto::ByteView data);
    std::uint32_t load_u32(std::uint32_t address) const;
    void store_u32(std::uint32_t address, std::uint32_t value);

private:
    struct Region {
        Access access;
        gige::proto::ByteVec bytes;
    };
    // The region holding `address`, or end().
    std::map<std::uint32_t, Region>::const_iterator find(std::uint32_t address) const;
    // Visits the regions covering the range in address order; false when a byte is unmapped.
    template <class Visit>
    bool walk(std::uint32_t address, std::uint64_t size, Visit&& visit) const;

    std::map<std::uint32_t, Region> regions_;
};

}  // namespace korvalite::sim
