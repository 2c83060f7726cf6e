#include "busy.hpp"

#include "errors.hpp"

namespace korvalite::py {

ClaimToken claim(const std::shared_ptr<BusyRecord>& busy, const char* label) {
    std::lock_guard lock(busy->mutex);
    if (busy->label)
        throw PyBusyError(std::string("camera is busy (") + busy->label + " in progress); stop it first");
    busy->label = label;
    return ClaimToken(busy);
}

}  // namespace korvalite::py
