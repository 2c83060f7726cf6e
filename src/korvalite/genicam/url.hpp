#pragma once
// Where a camera keeps its description: the URL text from its bootstrap registers, parsed.
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <variant>

namespace korvalite::genicam {

struct XmlUrl {
    // In the device's own memory: `size` bytes at `address`. The file name only tells whether
    // the bytes are an archive.
    struct Local {
        std::string file_name;
        std::uint64_t address = 0;
        std::uint64_t size = 0;
        bool operator==(const Local&) const = default;
    };
    // A file on the host.
    struct File {
        std::string path;
        bool operator==(const File&) const = default;
    };
    // A web location (the whole trimmed text); recognised only so that it can be refused.
    struct Http {
        std::string url;
        bool operator==(const Http&) const = default;
    };

    std::variant<Local, File, Http> location;

    // Parses "local:name;hexaddress;hexsize", "file:path", "http://..." or "https://...";
    // the scheme in any letter case. Failures are message texts.
    [[nodiscard]] static std::expected<XmlUrl, std::string> parse(std::string_view text);

    // Whether the file name, path or URL ends in ".zip", in any letter case.
    bool is_zip() const;

    bool operator==(const XmlUrl&) const = default;
};

}  // namespace korvalite::genicam
