// The test-only extension `_korvalite_testing` (its file, extensions/_korvalite_testing.cpp,
// hands over to `korvalite_testing_module` here): hooks that let the Python tests drive core
// paths that have no public entry point (events from worker threads, error conversion, identity
// blocks). It imports `_korvalite_core` first, which registers the classes its hooks return.
#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>

#include <functional>

#include "device_info.hpp"
#include "errors.hpp"
#include "gil.hpp"
#include "korvalite/gige/proto/bootstrap.hpp"
#include "korvalite/log.hpp"
#include "korvalite/thread_util.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace korvalite::py {

namespace {

std::vector<log::Field> to_fields(const nb::dict& fields) {
    std::vector<log::Field> out;
    for (auto [k, v] : fields) {
        std::string name = nb::cast<std::string>(k);
        if (nb::isinstance<nb::bool_>(v)) out.emplace_back(name, log::FieldValue(nb::cast<bool>(v)));
        else if (nb::isinstance<nb::int_>(v)) out.emplace_back(name, nb::cast<std::int64_t>(v));
        else if (nb::isinstance<nb::float_>(v)) out.emplace_back(name, log::FieldValue(nb::cast<double>(v)));
        else out.emplace_back(name, log::FieldValue(nb::cast<std::string>(nb::str(v))));
    }
    return out;
}

void run_on_worker(const std::function<void()>& body) {
    GilRelease release;
    auto thread = spawn_named("korvalite-test", body);
    if (thread) thread->join();
}

}  // namespace

void bind_testing_results(nb::module_& tm);

void bind_testing(nb::module_& tm) {
    bind_testing_results(tm);
    tm.def(
        "emit_on_worker",
        [](const std::string& target, int level, const std::string& message, const nb::dict& fields) {
            log::Target* t = log::find_target(target);
            if (!t) throw nb::value_error(("unknown log target: " + target).c_str());
            auto f = to_fields(fields);
            const auto lvl = static_cast<log::Level>(level);
            run_on_worker([&] { KORVALITE_LOG(*t, lvl, message, f); });
        },
        "target"_a, "level"_a, "message"_a, "fields"_a = nb::dict(),
        "Emit a log event from a freshly started worker thread and join it.");
    tm.def(
        "apply_thread_config_on_worker",
        [](std::optional<std::size_t> cpu, int priority) {
            ThreadConfig config{cpu, priority};
            run_on_worker([&] { config.apply_logged(); });
        },
        "cpu"_a.none(), "priority"_a, "Apply a ThreadConfig on a fresh worker thread (logs its WARN).");
    tm.def(
        "raise_error",
        [](const std::string& which) {
            if (which == "status") raise(CameraError::status(0x0082, 0x8006));
            if (which == "transport_ack_timeout") raise(GenicamError::transport(CameraError::ack_timeout()));
            if (which == "connect_timeout") raise(CameraError::connect_timeout());
            if (which == "snap_timeout") raise(GenicamError::snap_timeout());
            if (which == "shared_not_connected") {
                SharedCameraError shared = share(CameraError::not_connected());
                SharedCameraError slot = shared;  // the completion slot's reference
                raise(unshare(shared));
            }
            if (which == "feature_not_found") raise(GenicamError::feature_not_found("Gain"));
            throw nb::value_error(("unknown error: " + which).c_str());
        },
        "which"_a);
    tm.def(
        "parse_device_info",
        [](nb::bytes block) -> nb::object {
            const auto* data = static_cast<const std::byte*>(block.data());
            auto info = gige::proto::DeviceInfo::parse({data, block.size()});
            return info ? to_python(*info) : nb::none();
        },
        "block"_a, "A DeviceInfo parsed from an identity block, or None when it is too short.");
}

}  // namespace korvalite::py

NB_MODULE(korvalite_testing_module, m) {
    m.doc() = "Test hooks; not part of the API.";
    nb::module_::import_("korvalite._korvalite_core");
    korvalite::py::bind_testing(m);
}
