#include "korvalite/log.hpp"

#include <array>
#include <mutex>
#include <utility>

namespace korvalite::log {

namespace targets {
Target gige("korvalite::gige");
Target gige_runner("korvalite::gige::runner");
Target gige_discovery("korvalite::gige::discovery");
Target gige_stream("korvalite::gige::stream");
Target gige_stream_runner("korvalite::gige::stream::runner");
Target genicam("korvalite::genicam");
Target genicam_snapshot("korvalite::genicam::snapshot");
Target py("korvalite::py");
Target thread_util("korvalite::thread_util");
Target sim("korvalite::sim");
}  // namespace targets

namespace {

constexpr std::array<Target*, 10> kAllTargets = {
    &targets::gige,           &targets::gige_runner,      &targets::gige_discovery, &targets::gige_stream,
    &targets::gige_stream_runner, &targets::genicam,      &targets::genicam_snapshot, &targets::py,
    &targets::thread_util,    &targets::sim,
};

std::mutex g_sink_mutex;
std::shared_ptr<Sink> g_sink;

}  // namespace

std::span<Target* const> all_targets() { return kAllTargets; }

Target* find_target(std::string_view name) {
    for (Target* t : kAllTargets)
        if (t->name() == name) return t;
    return nullptr;
}

void set_sink(std::shared_ptr<Sink> sink) {
    std::shared_ptr<Sink> old;
    {
        std::lock_guard lock(g_sink_mutex);
        old = std::exchange(g_sink, std::move(sink));
        if (!g_sink) set_all_levels(Level::Off);
    }
    // The old sink is released outside the lock: its destructor may stop a delivery thread.
}

void set_all_levels(Level level) {
    for (Target* t : kAllTargets) t->set_max_level(level);
}

void emit(const Target& target, Level level, std::string message, std::vector<Field> fields) {
    std::shared_ptr<Sink> sink;
    {
        std::lock_guard lock(g_sink_mutex);
        sink = g_sink;
    }
    if (sink) sink->emit(Event{level, target.name(), std::move(message), std::move(fields)});
}

}  // namespace korvalite::log
