#pragma once
// What a description says about a node for the people who use it: names, help texts, unit,
// visibility, representation, whether it belongs in a settings file, and the same for each
// entry of an enumeration. None of it changes how the node is read or written.
#include <cstdint>
#include <string>
#include <vector>

#include "korvalite/genicam/node.hpp"
#include "korvalite/genicam/visibility.hpp"

namespace korvalite::genicam {

// One EnumEntry, in the order of the Enumeration's `entries` (entries dropped there are dropped
// here too).
struct EntryInfo {
    std::string display_name;  // empty: the entry's name
    std::string tooltip;
    std::string description;
    NodeConditions conditions = {};
};

struct NodeInfo {
    std::string display_name;  // empty: the node's name
    std::string tooltip;
    std::string description;
    std::string unit;
    std::string representation;  // as written: Linear, Logarithmic, HexNumber, ...; empty when not given
    Visibility visibility = Visibility::Beginner;
    bool streamable = false;
    std::vector<std::string> selected = {};  // the features this selector selects (pSelected)
    std::vector<EntryInfo> entries = {};
};

}  // namespace korvalite::genicam
