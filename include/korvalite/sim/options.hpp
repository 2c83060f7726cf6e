#pragma once
// The simulated camera's options as its faces offer them: the Python constructor's keyword, the
// command-line flag, the value kind, the default and the help text. Defaults are read from a
// default SimConfig, so config.hpp stays their one source.
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace korvalite::sim {

enum class OptionKind {
    Flag,      // on the command line a switch that turns the default around
    Integer,   // decimal
    Code,      // integer in any base ("0x..." too)
    Number,    // floating point
    Text,
    Choice,    // one of the option's choices
    Version,   // major, minor
    Refusals,  // register address with an optional error status
};

// None, or a value of the option's kind; a repeatable option's default is a list.
using OptionDefault = std::variant<std::monostate, bool, std::int64_t, double, std::string, std::vector<std::string>,
                                   std::pair<std::uint16_t, std::uint16_t>>;

struct SimOption {
    std::string_view name;   // Python keyword
    std::string_view flag;   // command-line flag without "--"; empty: not on the command line
    std::string_view group;  // command-line help group
    OptionKind kind;
    OptionDefault default_value;
    std::string_view help;  // command-line help; "%(default)s" stands for the default
    std::vector<std::string> choices = {};
    bool repeatable = false;  // several values; the flag may repeat
    std::string_view metavar = {};
};

// Every option, in the order of the Python constructor's parameters.
const std::vector<SimOption>& sim_options();

}  // namespace korvalite::sim
