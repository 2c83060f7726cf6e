#include "busy.hpp"

#include <nanobind/nanobind.h>

namespace korvalite::py {

ClaimToken claim(const std::shared_ptr<BusyRecord>& busy, const char* label) {
    std::lock_guard lock(busy->mutex);
    if (busy->label)
        throw nanobind::value_error(
            (std::string("camera is busy (") + busy->label + " in progress); stop it first").c_str());
    busy->label = label;
    return ClaimToken(busy);
}

}  // namespace korvalite::py
