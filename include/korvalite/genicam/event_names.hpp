#pragma once
// The names a description gives device events: each event port (a Port with an EventID) names
// its event, as in "EventExposureEndPort" or "ExposureEndEventPort" for ExposureEnd.
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

namespace korvalite::genicam {

struct Genicam;

using EventNames = std::unordered_map<std::uint16_t, std::string>;

// Event id to event name for every event port of the model; the first port of an id wins.
EventNames event_names(const Genicam& model);

// The event's name in a port's name: without the trailing "Port", then without a leading or
// trailing "Event" (the whole name when nothing would be left).
std::string event_name_of_port(std::string_view port_name);

}  // namespace korvalite::genicam
