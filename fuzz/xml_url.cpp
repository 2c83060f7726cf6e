// The description location a device reports in its URL register: any text, padding included.
#include <string>

#include "fuzz_support.hpp"
#include "korvalite/genicam/url.hpp"
#include "korvalite/hex.hpp"

using korvalite::genicam::XmlUrl;

namespace {

// The text a device would have to report for `url`.
std::string text_of(const XmlUrl& url) {
    if (const auto* local = std::get_if<XmlUrl::Local>(&url.location))
        return "local:" + local->file_name + ";" + korvalite::hex_code(local->address, 1).substr(2) + ";" +
               korvalite::hex_code(local->size, 1).substr(2);
    if (const auto* file = std::get_if<XmlUrl::File>(&url.location)) return "file:" + file->path;
    return std::get<XmlUrl::Http>(url.location).url;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto url = XmlUrl::parse(text);
    if (!url) {
        KORVALITE_FUZZ_CHECK(!url.error().empty());
        return 0;
    }
    const auto again = XmlUrl::parse(text_of(*url));
    KORVALITE_FUZZ_CHECK(again && *again == *url);
    KORVALITE_FUZZ_CHECK(again->is_zip() == url->is_zip());
    return 0;
}
