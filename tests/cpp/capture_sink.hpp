#pragma once
// A log sink for tests: records every event and enables every level while installed.
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "korvalite/log.hpp"

namespace korvalite::test_support {

class CaptureSink : public log::Sink {
public:
    void emit(log::Event e) override {
        std::lock_guard lock(mutex);
        events.push_back(std::move(e));
    }
    std::vector<log::Event> snapshot() {
        std::lock_guard lock(mutex);
        return events;
    }
    std::vector<std::string> messages(log::Level level) {
        std::vector<std::string> out;
        for (auto& e : snapshot())
            if (e.level == level) out.push_back(e.message);
        return out;
    }
    std::mutex mutex;
    std::vector<log::Event> events;
};

// Installs a CaptureSink for the scope, with every target at TRACE.
class ScopedCapture {
public:
    ScopedCapture() : sink(std::make_shared<CaptureSink>()) {
        log::set_sink(sink);
        log::set_all_levels(log::Level::Trace);
    }
    ~ScopedCapture() { log::set_sink(nullptr); }
    CaptureSink* operator->() { return sink.get(); }
    std::shared_ptr<CaptureSink> sink;
};

}  // namespace korvalite::test_support
