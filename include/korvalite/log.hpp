#pragma once
// Log events: level, target, message and named fields, handed to one pluggable sink.
//
// Each target carries its own threshold in a relaxed atomic, so a disabled level costs one load.
// Use KORVALITE_LOG so that nothing is formatted for a disabled level.
#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace korvalite::log {

enum class Level : int { Off = 0, Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };

using FieldValue = std::variant<std::int64_t, std::uint64_t, double, bool, std::string>;

struct Field {
    Field(std::string n, FieldValue v) : name(std::move(n)), value(std::move(v)) {}
    template <class I>
        requires std::is_integral_v<I> && (!std::is_same_v<I, bool>)
    Field(std::string n, I v)
        : name(std::move(n)),
          value(std::is_signed_v<I> ? FieldValue(static_cast<std::int64_t>(v))
                                    : FieldValue(static_cast<std::uint64_t>(v))) {}
    Field(std::string n, const char* v) : name(std::move(n)), value(std::string(v)) {}

    std::string name;
    FieldValue value;
};

// A log target: "korvalite::" + module path, with its own threshold.
class Target {
public:
    explicit constexpr Target(const char* name) : name_(name) {}
    Target(const Target&) = delete;
    Target& operator=(const Target&) = delete;

    std::string_view name() const { return name_; }
    bool enabled(Level level) const {
        return static_cast<int>(level) <= max_level_.load(std::memory_order_relaxed);
    }
    void set_max_level(Level level) { max_level_.store(static_cast<int>(level), std::memory_order_relaxed); }
    Level max_level() const { return static_cast<Level>(max_level_.load(std::memory_order_relaxed)); }

private:
    const char* name_;
    std::atomic<int> max_level_{0};
};

struct Event {
    Level level;
    std::string_view target;  // points at a Target's static name
    std::string message;
    std::vector<Field> fields;
};

// Receives every emitted event, on whatever thread emitted it. Must not block for long.
class Sink {
public:
    virtual ~Sink() = default;
    virtual void emit(Event event) = 0;
};

// The core's targets.
namespace targets {
extern Target gige;
extern Target gige_runner;
extern Target gige_discovery;
extern Target gige_stream;
extern Target gige_stream_runner;
extern Target genicam;
extern Target genicam_snapshot;
extern Target py;
extern Target thread_util;
extern Target sim;
}  // namespace targets

// Every target, for sinks that set thresholds by name.
std::span<Target* const> all_targets();
Target* find_target(std::string_view name);

// Installs the sink (nullptr removes it). Thresholds are left to the caller; removing the sink
// turns every target off.
void set_sink(std::shared_ptr<Sink> sink);
void set_all_levels(Level level);

// Hands the event to the sink, if any. Prefer KORVALITE_LOG, which checks the level first.
void emit(const Target& target, Level level, std::string message, std::vector<Field> fields = {});

}  // namespace korvalite::log

#define KORVALITE_LOG(target, level, ...)                                        \
    do {                                                                         \
        if ((target).enabled(level)) ::korvalite::log::emit((target), (level), __VA_ARGS__); \
    } while (0)
