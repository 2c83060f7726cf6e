// A description archive as read from device memory or a file: any bytes.
#include "fuzz_support.hpp"
#include "korvalite/genicam/zip.hpp"

using korvalite::genicam::extract_first_file;
using korvalite::genicam::kMaxEntrySize;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span archive(reinterpret_cast<const std::byte*>(data), size);
    const auto entry = extract_first_file(archive);
    if (!entry) {
        KORVALITE_FUZZ_CHECK(!entry.error().empty());
        return 0;
    }
    // Stored entries are slices of the archive; deflated ones expand by at most 1032 to 1.
    KORVALITE_FUZZ_CHECK(entry->size() <= kMaxEntrySize);
    KORVALITE_FUZZ_CHECK(entry->size() <= size * 1032 + 1024);
    return 0;
}
