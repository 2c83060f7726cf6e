#pragma once
// Whether a node can be used: its implemented and available conditions, and the access mode
// a user sees, made of the mode at the end of its value chain, the locks and the imposed modes
// met on the way.
#include <cstdint>
#include <optional>
#include <vector>

#include "korvalite/error.hpp"
#include "korvalite/genicam/graph.hpp"
#include "korvalite/genicam/port.hpp"

namespace korvalite::genicam {

// Fails with NotAvailable when the node's pIsImplemented or pIsAvailable reads 0, or when it is
// a register of a chunk or event port (never sent to the device). Conditions naming no node
// are ignored.
[[nodiscard]] GenicamResult<void> check_available(Genicam& graph, NodeId id, PortIo& port);

// The effective access mode. The walk follows `value` links to a register (its access), a
// constant (RW; WO for a Command) or a kind with a fixed answer (Port RW, formulas and
// categories RO). On the way a node reading 0 from pIsImplemented gives NI, from pIsAvailable
// NA; a locked node turns RW into RO (WO into NA); ImposedAccessMode caps the result. A loop
// of `value` links fails with CircularReference naming the first node reached twice; a chain
// longer than kMaxEvaluationDepth with TooDeep.
[[nodiscard]] GenicamResult<AccessMode> access_mode(Genicam& graph, NodeId id, PortIo& port);

// The integer the node of a condition (pIsImplemented, pIsAvailable, pIsLocked) reads, or
// nothing for a condition that is absent or names no node.
[[nodiscard]] GenicamResult<std::optional<std::int64_t>> condition_value(Genicam& graph, const std::optional<Link>& link,
                                                           PortIo& port);

// Whether an enumeration entry may be selected now: its pIsImplemented and pIsAvailable do
// not read 0.
[[nodiscard]] GenicamResult<bool> entry_usable(Genicam& graph, const EntryInfo& entry, PortIo& port);

// The entries of enumeration `id` that may be selected now, in description order.
[[nodiscard]] GenicamResult<std::vector<EnumEntry>> available_entries(Genicam& graph, NodeId id, PortIo& port);

// `mode` capped by `imposed`: RW leaves it, a mode it does not allow becomes NA.
AccessMode capped(AccessMode mode, AccessMode imposed);

}  // namespace korvalite::genicam
