#pragma once
// The Python class FrameChannel: one subscription's receiving end, plus whatever the creator
// wants kept alive as long as the channel (e.g. the camera's shared records).
#include <nanobind/nanobind.h>

#include <memory>

#include "frame_receiving.hpp"

namespace korvalite::py {

struct FrameChannelObject {
    FrameReceiver receiver;
    std::shared_ptr<void> keep_alive;
    LossCheck loss;  // may be empty
};

void bind_frame_channel(nanobind::module_& m);

// A new Python FrameChannel over `receiver`, holding `keep_alive` until it is collected; its waits
// raise once `loss` reports the connection lost. The class must be bound first.
nanobind::object make_frame_channel(FrameReceiver receiver, std::shared_ptr<void> keep_alive = {},
                                    LossCheck loss = {});

}  // namespace korvalite::py
