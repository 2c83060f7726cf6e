#pragma once
// Register nodes and the device: address and length from the node's references, reads and
// writes through the port, and the per-register byte cache with its invalidation.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "korvalite/error.hpp"
#include "korvalite/genicam/codec.hpp"
#include "korvalite/genicam/graph.hpp"
#include "korvalite/genicam/port.hpp"

namespace korvalite::genicam {

// The largest register this model transfers, the limit the description's archive reader keeps
// too: a length beyond it (or below zero) is refused before anything is allocated for it.
inline constexpr std::int64_t kMaxRegisterLength = std::int64_t{64} << 20;

// The length a register without Length/pLength has.
inline constexpr std::int64_t kDefaultRegisterLength = 4;

// The register kind K of a Register node, or null for other nodes and other kinds.
template <class K>
const K* register_as(const Node& node) {
    if (auto* reg = std::get_if<Register>(&node)) return std::get_if<K>(&reg->kind);
    return nullptr;
}

// The event id of the event port a register reads from, or nothing for any other register.
std::optional<std::uint16_t> register_event_id(const Genicam& graph, NodeId id);

struct RegisterSpan {
    std::int64_t address;  // handed to the port as the same 64 bits, unsigned
    std::int64_t length;
    bool operator==(const RegisterSpan&) const = default;
};

// The chunk port a register names with pPort (a Port with a ChunkID), else null.
const Port* register_chunk_port(const Genicam& graph, NodeId id);

// The chunk of the frame being read that a chunk port register reads (the last one with its
// id), or null when the register is on no chunk port or the frame has no such chunk.
const FrameChunk* register_chunk(const Genicam& graph, NodeId id);

// The register's length in bytes: its Length/pLength, or 4 without one. Outside 0 to
// kMaxRegisterLength: Formula naming the register.
[[nodiscard]] GenicamResult<std::int64_t> register_length(Genicam& graph, NodeId id, PortIo& port);

// The sum of the address terms (wrapping in 64 bits), then the length.
[[nodiscard]] GenicamResult<RegisterSpan> register_address(Genicam& graph, NodeId id, PortIo& port);

// The register's bytes: from the cache when the cache mode keeps bytes and it holds some, else
// from the device (and then kept according to the cache mode). A chunk port register reads its
// chunk of the frame being read, never cached: NotAvailable without that chunk, InvalidValue
// when its bytes lie outside the chunk. A register on an event port reads the event's newest
// payload, never cached.
[[nodiscard]] GenicamResult<Bytes> register_read(Genicam& graph, NodeId id, PortIo& port);

// Writes `bytes` at the register's address, updates its cache, and drops the caches of the
// registers it invalidates. A failed write changes nothing; a chunk port register is never
// written (NotAccessible).
[[nodiscard]] GenicamResult<void> register_write(Genicam& graph, NodeId id, std::span<const std::byte> bytes, PortIo& port);

// Empties the cache of every register.
void clear_register_caches(Genicam& graph);

}  // namespace korvalite::genicam
