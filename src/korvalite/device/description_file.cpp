#include "korvalite/device/description_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "korvalite/device/layers.hpp"
#include "korvalite/genicam/zip.hpp"
#include "korvalite/net/unique_fd.hpp"

namespace korvalite::device {

namespace {

constexpr std::size_t kReadChunk = 64 * 1024;

std::unexpected<CameraError> file_error(const std::string& path, int os_errno, const std::string& why) {
    return std::unexpected(CameraError::io(os_errno, "GenICam XML file " + path + ": " + why));
}

std::unexpected<CameraError> file_errno(const std::string& path, int os_errno) {
    return file_error(path, os_errno, std::strerror(os_errno));
}

std::string too_large() {
    return "larger than " + std::to_string(genicam::kMaxEntrySize) + " bytes";
}

}  // namespace

CameraResult<proto::ByteVec> read_description_file(const std::string& path) {
    // Checked before opening, since opening a device node may already do something, and again
    // on the descriptor, since the path may have changed in between.
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return file_errno(path, errno);
    if (!S_ISREG(info.st_mode)) return file_error(path, 0, "not a regular file");
    const net::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd) return file_errno(path, errno);
    if (::fstat(fd.get(), &info) != 0) return file_errno(path, errno);
    if (!S_ISREG(info.st_mode)) return file_error(path, 0, "not a regular file");
    if (static_cast<std::uint64_t>(info.st_size) > genicam::kMaxEntrySize) return file_error(path, 0, too_large());

    // Read to the end, which may come later than the size said if the file is growing.
    proto::ByteVec bytes;
    bytes.reserve(static_cast<std::size_t>(info.st_size) + kReadChunk);
    for (;;) {
        const std::size_t have = bytes.size();
        if (have > genicam::kMaxEntrySize) return file_error(path, 0, too_large());
        bytes.resize(have + kReadChunk);
        const ssize_t n = ::read(fd.get(), bytes.data() + have, kReadChunk);
        if (n < 0 && errno == EINTR) {
            bytes.resize(have);
            continue;
        }
        if (n < 0) return file_errno(path, errno);
        bytes.resize(have + static_cast<std::size_t>(n));
        if (n == 0) return bytes;
    }
}

}  // namespace korvalite::device
