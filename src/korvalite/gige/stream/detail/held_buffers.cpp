#include "korvalite/gige/stream/detail/held_buffers.hpp"

#include <string>

namespace korvalite::gige::stream {

void HeldBuffersWarning::on_underrun(std::size_t assembling, Instant now, const log::Target& target) {
    if (assembling != 0) return;
    ++dropped_since_warning_;
    if (warned_ && now - last_warning_ < kInterval) return;
    KORVALITE_LOG(target, log::Level::Warn,
                  "all " + std::to_string(n_buffers_) +
                      " frame buffers (n_buffers) are in delivered frames, kept by the application or queued "
                      "unread; new frames are dropped until one is released. Read frames as they come, let go "
                      "of them (and their arrays) sooner or keep copies (frame.data(), "
                      "numpy.array(frame.to_numpy())), or start the stream with a larger n_buffers",
                  {{"n_buffers", static_cast<std::uint64_t>(n_buffers_)}, {"dropped", dropped_since_warning_}});
    warned_ = true;
    last_warning_ = now;
    dropped_since_warning_ = 0;
}

}  // namespace korvalite::gige::stream
