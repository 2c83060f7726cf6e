// Core log events reach Python's logging without a worker ever touching Python: the sink only
// queues (bounded; a full queue drops and counts), and one delivery thread takes the GIL to hand
// batches to a Python callback. The Python side stops the thread at exit, before finalization.
#include "log_bridge.hpp"
#include "gil.hpp"

#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "korvalite/log.hpp"
#include "korvalite/thread_util.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace korvalite::py {

namespace {

constexpr std::size_t kQueueCapacity = 8192;
constexpr auto kLevelRefreshInterval = std::chrono::milliseconds(500);

nb::object field_value(const log::FieldValue& v) {
    return std::visit([](const auto& x) -> nb::object { return nb::cast(x); }, v);
}

class BridgeSink : public log::Sink {
public:
    BridgeSink(nb::object deliver, nb::object refresh) : deliver_(std::move(deliver)), refresh_(std::move(refresh)) {
        thread_ = std::thread([this] { run(); });
    }

    ~BridgeSink() override { stop(); }

    void emit(log::Event event) override {
        {
            std::lock_guard lock(mutex_);
            if (stopping_ || queue_.size() >= kQueueCapacity) {
                ++dropped_;
                return;
            }
            queue_.push_back(std::move(event));
            ++enqueued_;
        }
        cv_.notify_all();
    }

    // Waits (GIL released by the caller) until everything queued before the call is delivered.
    void flush() {
        std::unique_lock lock(mutex_);
        const std::uint64_t target = enqueued_;
        refresh_requested_ = true;
        cv_.notify_all();
        done_cv_.wait(lock, [&] { return (delivered_ >= target && !refresh_requested_) || stopped_; });
    }

    // Stops and joins the delivery thread; the caller must not hold the GIL.
    void stop() {
        {
            std::lock_guard lock(mutex_);
            if (stopping_ && !thread_.joinable()) return;
            stopping_ = true;
        }
        cv_.notify_all();
        if (thread_.joinable()) thread_.join();
        // Release the Python callables with the GIL held.
        if (deliver_.is_valid() || refresh_.is_valid()) {
            nb::gil_scoped_acquire gil;
            deliver_.reset();
            refresh_.reset();
        }
    }

    std::uint64_t dropped() const {
        std::lock_guard lock(mutex_);
        return dropped_;
    }

private:
    void run() {
        set_current_thread_name("korvalite-log");
        auto last_refresh = std::chrono::steady_clock::now() - kLevelRefreshInterval;
        for (;;) {
            std::deque<log::Event> batch;
            bool refresh = false;
            bool last = false;
            {
                std::unique_lock lock(mutex_);
                cv_.wait_for(lock, std::chrono::milliseconds(100),
                             [&] { return stopping_ || !queue_.empty() || refresh_requested_; });
                // What was queued before the stop is still delivered, so the last events of a
                // program (its disconnect, say) reach its log.
                batch.swap(queue_);
                last = stopping_;
                refresh = !last && (refresh_requested_ ||
                                    std::chrono::steady_clock::now() - last_refresh >= kLevelRefreshInterval);
            }
            if (!batch.empty() || refresh) {
                if (interpreter_is_finalizing()) break;
                nb::gil_scoped_acquire gil;
                if (refresh) {
                    call(refresh_);
                    last_refresh = std::chrono::steady_clock::now();
                }
                for (auto& e : batch) deliver(e);
            }
            {
                std::lock_guard lock(mutex_);
                delivered_ += batch.size();
                if (refresh) refresh_requested_ = false;
            }
            done_cv_.notify_all();
            if (last) break;
        }
        std::lock_guard lock(mutex_);
        stopped_ = true;
        done_cv_.notify_all();
    }

    void call(const nb::object& fn) {
        try {
            fn();
        } catch (nb::python_error& e) {
            e.discard_as_unraisable("korvalite log bridge");
        }
    }

    void deliver(const log::Event& e) {
        try {
            nb::dict fields;
            for (const auto& f : e.fields) fields[nb::str(f.name.c_str())] = field_value(f.value);
            deliver_(std::string(e.target), static_cast<int>(e.level), e.message, fields);
        } catch (nb::python_error& err) {
            err.discard_as_unraisable("korvalite log bridge");
        }
    }

    nb::object deliver_;
    nb::object refresh_;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::condition_variable done_cv_;
    std::deque<log::Event> queue_;
    std::uint64_t enqueued_ = 0;
    std::uint64_t delivered_ = 0;
    std::uint64_t dropped_ = 0;
    bool refresh_requested_ = false;
    bool stopping_ = false;
    bool stopped_ = false;
    std::thread thread_;
};

std::shared_ptr<BridgeSink> g_bridge;

void uninstall() {
    std::shared_ptr<BridgeSink> bridge = std::move(g_bridge);
    log::set_sink(nullptr);
    if (bridge) {
        GilRelease release;
        bridge->stop();
    }
}

}  // namespace

void bind_log(nb::module_& m) {
    nb::module_ lm = m.def_submodule("_log", "Bridge from the core's log events to Python logging.");
    lm.def(
        "install",
        [](nb::object deliver, nb::object refresh) {
            uninstall();
            g_bridge = std::make_shared<BridgeSink>(std::move(deliver), std::move(refresh));
            log::set_sink(g_bridge);
        },
        "deliver"_a, "refresh"_a,
        "Start delivering core events: deliver(target, level, message, fields) is called on the "
        "delivery thread; refresh() is called periodically to update thresholds.");
    lm.def("uninstall", &uninstall, "Stop the delivery thread and drop the sink.");
    lm.def(
        "flush",
        [] {
            if (auto bridge = g_bridge) {
                GilRelease release;
                bridge->flush();
            }
        },
        "Wait until every event queued so far has been delivered, and thresholds refreshed.");
    lm.def("dropped", [] { return g_bridge ? g_bridge->dropped() : 0; }, "Events dropped because the queue was full.");
    lm.def("targets", [] {
        std::vector<std::string> names;
        for (auto* t : log::all_targets()) names.emplace_back(t->name());
        return names;
    });
    lm.def(
        "set_level",
        [](const std::string& target, int level) {
            if (auto* t = log::find_target(target)) t->set_max_level(static_cast<log::Level>(level));
        },
        "target"_a, "level"_a, "Set a target's threshold (0 off .. 5 trace).");
    lm.def(
        "level",
        [](const std::string& target) {
            auto* t = log::find_target(target);
            return t ? static_cast<int>(t->max_level()) : 0;
        },
        "target"_a);
}

}  // namespace korvalite::py
