#include "korvalite/genicam/registers.hpp"

#include <algorithm>

#include "korvalite/genicam/feature_info_read.hpp"
#include "korvalite/genicam/node_read.hpp"
#include "korvalite/hex.hpp"

namespace korvalite::genicam {

namespace {

GenicamResult<Register*> as_register(Genicam& graph, NodeId id) {
    if (auto* reg = std::get_if<Register>(&graph[id].node)) return reg;
    return std::unexpected(unsupported_access(graph, id));
}

// With a pIndex: the index node's value times the offset (its Offset/pOffset, else the
// register's length), wrapping in 64 bits; else 0.
GenicamResult<std::int64_t> index_displacement(Genicam& graph, NodeId id, PortIo& port) {
    const RegisterCommon& common = std::get<Register>(graph[id].node).common;
    if (std::holds_alternative<Absent>(common.index)) return 0;
    auto index = ref_int(graph, common.index, port);
    if (!index) return index;
    auto offset = std::holds_alternative<Absent>(common.index_offset) ? register_length(graph, id, port)
                                                                      : ref_int(graph, common.index_offset, port);
    if (!offset) return offset;
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(*index) * static_cast<std::uint64_t>(*offset));
}

// The sum of the address terms in document order, wrapping in 64 bits.
GenicamResult<std::int64_t> address_sum(Genicam& graph, NodeId id, PortIo& port) {
    // The terms themselves never change, so the reference stays valid while they evaluate.
    const auto& terms = std::get<Register>(graph[id].node).common.addresses;
    std::uint64_t sum = 0;
    for (const ValueRef& term_ref : terms) {
        auto term = ref_int(graph, term_ref, port);
        if (!term) return std::unexpected(std::move(term.error()));
        sum += static_cast<std::uint64_t>(*term);
    }
    auto indexed = index_displacement(graph, id, port);
    if (!indexed) return std::unexpected(std::move(indexed.error()));
    return static_cast<std::int64_t>(sum + static_cast<std::uint64_t>(*indexed));
}

// Whether the register's address depends on other nodes (pAddress terms or a pIndex).
bool moves(const Register& reg) {
    if (!std::holds_alternative<Absent>(reg.common.index)) return true;
    return std::any_of(reg.common.addresses.begin(), reg.common.addresses.end(),
                       [](const ValueRef& term) { return std::holds_alternative<Link>(term); });
}

// The bytes of `span`. Devices transfer aligned blocks of 4 bytes, so a register at an address
// that is not a multiple of 4 is read as the aligned block around it and cut out.
GenicamResult<Bytes> read_span(PortIo& port, RegisterSpan span) {
    const auto address = static_cast<std::uint64_t>(span.address);
    const auto length = static_cast<std::uint64_t>(span.length);
    const std::uint64_t skip = address % 4;
    const std::uint64_t block = skip == 0 ? length : (skip + length + 3) / 4 * 4;
    Bytes bytes(static_cast<std::size_t>(block));
    if (auto read = port.read(address - skip, bytes); !read)
        return std::unexpected(GenicamError::transport(std::move(read.error())));
    if (skip != 0) bytes = Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(skip),
                                 bytes.begin() + static_cast<std::ptrdiff_t>(skip + length));
    return bytes;
}

// The bytes of `span` within the register's chunk.
GenicamResult<Bytes> read_chunk(Genicam& graph, NodeId id, RegisterSpan span) {
    const FrameChunk* chunk = register_chunk(graph, id);
    if (!chunk) return std::unexpected(GenicamError::not_available(graph[id].name));
    const auto address = static_cast<std::uint64_t>(span.address);
    const auto length = static_cast<std::uint64_t>(span.length);
    if (address > chunk->data.size() || length > chunk->data.size() - address)
        return std::unexpected(GenicamError::invalid_value(
            graph[id].name, "bytes " + std::to_string(address) + ".." + std::to_string(address + length) +
                                " lie outside chunk " + hex_code(chunk->id, 8) + " of " +
                                std::to_string(chunk->data.size()) + " bytes"));
    const auto bytes = chunk->data.subspan(static_cast<std::size_t>(address), static_cast<std::size_t>(length));
    return Bytes(bytes.begin(), bytes.end());
}

}  // namespace

const Port* register_chunk_port(const Genicam& graph, NodeId id) {
    const auto* reg = std::get_if<Register>(&graph[id].node);
    if (!reg) return nullptr;
    const auto* link = std::get_if<Link>(&reg->common.port);
    if (!link || !link->id()) return nullptr;
    const auto* port = std::get_if<Port>(&graph[*link->id()].node);
    return port && port->chunk_id ? port : nullptr;
}

const FrameChunk* register_chunk(const Genicam& graph, NodeId id) {
    const Port* port = register_chunk_port(graph, id);
    if (!port) return nullptr;
    for (auto it = graph.frame_chunks.rbegin(); it != graph.frame_chunks.rend(); ++it)
        if (it->id == *port->chunk_id) return &*it;
    return nullptr;
}

GenicamResult<std::int64_t> register_length(Genicam& graph, NodeId id, PortIo& port) {
    auto reg = as_register(graph, id);
    if (!reg) return std::unexpected(std::move(reg.error()));
    const ValueRef& length_ref = (*reg)->common.length;
    if (std::holds_alternative<Absent>(length_ref)) return kDefaultRegisterLength;
    auto length = ref_int(graph, length_ref, port);
    if (!length) return length;
    if (*length < 0 || *length > kMaxRegisterLength)
        return std::unexpected(GenicamError::formula(
            graph[id].name, "register length " + std::to_string(*length) + " outside 0.." +
                                std::to_string(kMaxRegisterLength)));
    return length;
}

GenicamResult<RegisterSpan> register_address(Genicam& graph, NodeId id, PortIo& port) {
    if (auto reg = as_register(graph, id); !reg) return std::unexpected(std::move(reg.error()));
    auto address = address_sum(graph, id, port);
    if (!address) return std::unexpected(std::move(address.error()));
    auto length = register_length(graph, id, port);
    if (!length) return std::unexpected(std::move(length.error()));
    return RegisterSpan{*address, *length};
}

std::optional<std::uint16_t> register_event_id(const Genicam& graph, NodeId id) {
    const auto* reg = std::get_if<Register>(&graph[id].node);
    if (!reg) return std::nullopt;
    const auto* link = std::get_if<Link>(&reg->common.port);
    if (!link || !link->id()) return std::nullopt;
    const auto* port = std::get_if<Port>(&graph[*link->id()].node);
    return port ? port->event_id : std::nullopt;
}

GenicamResult<Bytes> register_read(Genicam& graph, NodeId id, PortIo& port) {
    auto reg = as_register(graph, id);
    if (!reg) return std::unexpected(std::move(reg.error()));
    if ((*reg)->common.access == AccessMode::WO) return std::unexpected(GenicamError::not_accessible(graph[id].name));
    if (register_chunk_port(graph, id)) {
        // Each frame brings its own bytes: nothing is cached.
        auto span = register_address(graph, id, port);
        if (!span) return std::unexpected(std::move(span.error()));
        return read_chunk(graph, id, *span);
    }
    if (auto event = register_event_id(graph, id)) {
        auto span = register_address(graph, id, port);
        if (!span) return std::unexpected(std::move(span.error()));
        Bytes bytes(static_cast<std::size_t>(span->length));
        if (auto read = port.read_event(*event, static_cast<std::uint64_t>(span->address), bytes); !read)
            return std::unexpected(GenicamError::transport(std::move(read.error())));
        return bytes;
    }
    const bool keeps_bytes = (*reg)->common.cache_mode != CacheMode::NoCache;
    const bool placed_by_nodes = moves(**reg);
    if (keeps_bytes && (*reg)->common.cache && !placed_by_nodes) return *(*reg)->common.cache;

    auto span = register_address(graph, id, port);
    if (!span) return std::unexpected(std::move(span.error()));
    // A register whose address comes from other nodes keeps its bytes only for that address.
    if (keeps_bytes && (*reg)->common.cache && (*reg)->common.cache_address == span->address)
        return *(*reg)->common.cache;
    auto bytes = read_span(port, *span);
    if (!bytes) return bytes;
    if (keeps_bytes) {
        (*reg)->common.cache = *bytes;
        (*reg)->common.cache_address = span->address;
    }
    return bytes;
}

GenicamResult<void> register_write(Genicam& graph, NodeId id, std::span<const std::byte> bytes, PortIo& port) {
    auto reg = as_register(graph, id);
    if (!reg) return std::unexpected(std::move(reg.error()));
    if ((*reg)->common.access == AccessMode::RO || register_chunk_port(graph, id))
        return std::unexpected(GenicamError::not_accessible(graph[id].name));
    // Only the address is needed: the caller sized the bytes from the register's length.
    auto address = address_sum(graph, id, port);
    if (!address) return std::unexpected(std::move(address.error()));
    if (auto written = port.write(static_cast<std::uint64_t>(*address), bytes); !written)
        return std::unexpected(GenicamError::transport(std::move(written.error())));

    auto& cache = (*reg)->common.cache;
    if ((*reg)->common.cache_mode == CacheMode::WriteThrough) {
        cache.emplace(bytes.begin(), bytes.end());
        (*reg)->common.cache_address = *address;
    } else {
        cache.reset();
    }
    if (auto it = graph.invalidators.find(id); it != graph.invalidators.end())
        for (NodeId target : it->second)
            if (auto* invalidated = std::get_if<Register>(&graph[target].node)) invalidated->common.cache.reset();
    return {};
}

void clear_register_caches(Genicam& graph) {
    for (auto& data : graph.nodes)
        if (auto* reg = std::get_if<Register>(&data.node)) reg->common.cache.reset();
}

}  // namespace korvalite::genicam
