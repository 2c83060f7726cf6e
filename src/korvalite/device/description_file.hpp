#pragma once
// Reading a device description that a `file:` URL names on the host.
#include <string>

#include "korvalite/device/layers.hpp"
#include "korvalite/error.hpp"
#include "korvalite/gige/proto/bytes.hpp"

namespace korvalite::device {

// The bytes of the regular file at `path`, at most genicam::kMaxEntrySize of them. Anything else
// (a directory, a FIFO, a device node, a larger file) fails at once with an Io error naming the
// path; nothing is read from a file that is not regular, so nothing can block or grow.
[[nodiscard]] CameraResult<proto::ByteVec> read_description_file(const std::string& path);

}  // namespace korvalite::device
