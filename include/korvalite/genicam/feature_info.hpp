#pragma once
// Everything a user may want to know about one feature, gathered in one read: its kind, its
// access mode now, the description's texts for it, its bounds and increment or its entries.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "korvalite/genicam/access_mode.hpp"
#include "korvalite/genicam/visibility.hpp"

namespace korvalite::genicam {

// The interface a feature offers: formulas and registers count as the kind of value they hold.
enum class FeatureKind : std::uint8_t {
    Integer, Float, Boolean, Enumeration, String, Command, Category, Register, Port
};

// "integer", "float", "boolean", "enumeration", "string", "command", "category", "register", "port".
const char* feature_kind_name(FeatureKind kind);

struct EntryDescription {
    std::string name;
    std::int64_t value = 0;
    std::string display_name;  // the name when the description gives none
    std::string tooltip;
    std::string description;
    bool available = true;  // its pIsImplemented and pIsAvailable do not read 0
};

struct FeatureInfo {
    std::string name;
    FeatureKind kind = FeatureKind::Category;
    AccessMode access_mode = AccessMode::RO;
    std::string display_name;  // the name when the description gives none
    std::string tooltip;
    std::string description;
    std::string unit;
    std::string representation;
    Visibility visibility = Visibility::Beginner;
    bool streamable = false;
    std::vector<std::string> selected;  // the features a selector selects
    std::string locked_by;               // the node whose non-zero value locks this one (pIsLocked)
    // Integer features, while implemented and available.
    std::optional<std::pair<std::int64_t, std::int64_t>> int_bounds;
    std::optional<std::int64_t> increment;
    // Float features, while implemented and available.
    std::optional<std::pair<double, double>> float_bounds;
    // Enumerations: every entry, in description order.
    std::vector<EntryDescription> entries;

    bool is_implemented() const { return access_mode != AccessMode::NI; }
    bool is_available() const { return access_mode != AccessMode::NI && access_mode != AccessMode::NA; }
};

}  // namespace korvalite::genicam
