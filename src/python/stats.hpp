#pragma once
// The Python classes LinkStats and StreamStats: snapshots of the control-channel and stream
// receiver counters, one read-only int attribute per counter.
#include <nanobind/nanobind.h>

#include "korvalite/gige/control/link_stats.hpp"
#include "korvalite/gige/stream/stats.hpp"

namespace korvalite::py {

void bind_stream_stats(nanobind::module_& m);
void bind_link_stats(nanobind::module_& m);

// New Python snapshots holding a copy of the counters. The classes must be bound first.
nanobind::object to_python(const gige::stream::StreamStats& stats);
nanobind::object to_python(const gige::LinkStats& stats);

}  // namespace korvalite::py
