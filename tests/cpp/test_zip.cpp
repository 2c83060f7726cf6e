#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>

#include "korvalite/genicam/zip.hpp"
#include "shared_descriptions.hpp"

using namespace korvalite::genicam;

namespace {

using Bytes = std::vector<std::byte>;

Bytes bytes_of(std::string_view text) {
    Bytes out(text.size());
    std::memcpy(out.data(), text.data(), text.size());
    return out;
}

void put_le(Bytes& b, std::size_t at, std::uint32_t value, int width) {
    for (int i = 0; i < width; ++i) b[at + i] = std::byte((value >> (8 * i)) & 0xFF);
}

std::uint32_t get_le(const Bytes& b, std::size_t at, int width) {
    std::uint32_t value = 0;
    for (int i = width - 1; i >= 0; --i) value = (value << 8) | std::to_integer<std::uint32_t>(b[at + i]);
    return value;
}

// Raw DEFLATE of `total` bytes taken from `piece` over and over, so that huge outputs need no
// huge input.
Bytes raw_deflate(const Bytes& piece, std::size_t total) {
    z_stream zs{};
    EXPECT_EQ(deflateInit2(&zs, 1, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY), Z_OK);
    Bytes out;
    std::vector<std::byte> buffer(1 << 16);
    std::size_t left = total;
    int status = Z_OK;
    while (status != Z_STREAM_END) {
        if (zs.avail_in == 0 && left > 0) {
            const std::size_t n = std::min(left, piece.size());
            zs.next_in = reinterpret_cast<Bytef*>(const_cast<std::byte*>(piece.data()));
            zs.avail_in = static_cast<uInt>(n);
            left -= n;
        }
        zs.next_out = reinterpret_cast<Bytef*>(buffer.data());
        zs.avail_out = static_cast<uInt>(buffer.size());
        status = deflate(&zs, left == 0 ? Z_FINISH : Z_NO_FLUSH);
        out.insert(out.end(), buffer.begin(), buffer.end() - zs.avail_out);
    }
    deflateEnd(&zs);
    return out;
}

Bytes raw_deflate(const Bytes& data) { return raw_deflate(data, data.size()); }

// A one-entry archive: local header (at 0), data, central directory entry, end record, comment.
struct Archive {
    Bytes bytes;
    std::size_t data = 0;
    std::size_t directory = 0;
    std::size_t end = 0;
};

Archive make_archive(const Bytes& data, std::uint16_t method, std::uint32_t uncompressed, std::size_t comment = 0) {
    const std::string_view name = "camera.xml";
    Archive a;
    a.data = 30 + name.size();
    a.directory = a.data + data.size();
    a.end = a.directory + 46 + name.size();
    a.bytes.resize(a.end + 22 + comment);
    auto& b = a.bytes;
    put_le(b, 0, 0x04034B50, 4);
    put_le(b, 8, method, 2);
    put_le(b, 26, static_cast<std::uint32_t>(name.size()), 2);
    std::memcpy(b.data() + 30, name.data(), name.size());
    std::copy(data.begin(), data.end(), b.begin() + static_cast<std::ptrdiff_t>(a.data));
    put_le(b, a.directory, 0x02014B50, 4);
    put_le(b, a.directory + 10, method, 2);
    put_le(b, a.directory + 20, static_cast<std::uint32_t>(data.size()), 4);
    put_le(b, a.directory + 24, uncompressed, 4);
    put_le(b, a.directory + 28, static_cast<std::uint32_t>(name.size()), 2);
    put_le(b, a.directory + 42, 0, 4);
    std::memcpy(b.data() + a.directory + 46, name.data(), name.size());
    put_le(b, a.end, 0x06054B50, 4);
    put_le(b, a.end + 8, 1, 2);
    put_le(b, a.end + 10, 1, 2);
    put_le(b, a.end + 12, static_cast<std::uint32_t>(a.end - a.directory), 4);
    put_le(b, a.end + 16, static_cast<std::uint32_t>(a.directory), 4);
    put_le(b, a.end + 20, static_cast<std::uint32_t>(comment), 2);
    return a;
}

std::string outcome(const std::expected<Bytes, std::string>& result) {
    return result ? "ok, " + std::to_string(result->size()) + " bytes" : result.error();
}

const Bytes kText = bytes_of("<?xml version=\"1.0\"?><RegisterDescription/>");

Bytes long_text() {
    std::string text;
    for (int i = 0; i < 20000; ++i) text += "<Integer Name=\"N" + std::to_string(i) + "\"/>\n";
    return bytes_of(text);
}

}  // namespace

TEST(Zip, StoredAndDeflatedEntriesComeBackUnchanged) {
    EXPECT_EQ(extract_first_file(make_archive(kText, 0, 0).bytes), kText);  // stored: the size is not compared

    const Bytes text = long_text();
    const Bytes packed = raw_deflate(text);
    const auto size = static_cast<std::uint32_t>(text.size());
    // The announced size only sizes the first allocation: too small, exact and too large all work.
    for (std::uint32_t announced : {0u, 100u, size, size * 3})
        EXPECT_EQ(extract_first_file(make_archive(packed, 8, announced).bytes), text) << announced;
}

TEST(Zip, EndRecordSearch) {
    EXPECT_EQ(extract_first_file(make_archive(kText, 0, 0, 65535).bytes), kText);
    EXPECT_EQ(outcome(extract_first_file(make_archive(kText, 0, 0, 65536).bytes)), "no end-of-central-directory record");
    EXPECT_EQ(outcome(extract_first_file(Bytes(21))), "no end-of-central-directory record");
    EXPECT_EQ(outcome(extract_first_file(Bytes(22))), "no end-of-central-directory record");
    EXPECT_EQ(outcome(extract_first_file({})), "no end-of-central-directory record");

    // The record nearest the end wins: a counterfeit one inside the comment says "no entries".
    Archive a = make_archive(kText, 0, 0, 40);
    put_le(a.bytes, a.end + 22 + 10, 0x06054B50, 4);
    EXPECT_EQ(outcome(extract_first_file(a.bytes)), "empty archive");
}

TEST(Zip, DamagedArchivesFailWithTheirMessage) {
    const Bytes packed = raw_deflate(long_text());
    struct Case {
        const char* what;
        std::function<void(Archive&)> damage;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"no entries", [](Archive& a) { put_le(a.bytes, a.end + 10, 0, 2); }, "empty archive"},
        {"directory past the end", [](Archive& a) { put_le(a.bytes, a.end + 16, 0xFFFFFFFF, 4); }, "truncated archive"},
        {"directory in the last 3 bytes",
         [](Archive& a) { put_le(a.bytes, a.end + 16, static_cast<std::uint32_t>(a.bytes.size() - 3), 4); },
         "truncated archive"},
        {"directory signature", [](Archive& a) { a.bytes[a.directory] = std::byte{0}; }, "bad central directory"},
        {"directory entry cut short",
         [](Archive& a) {
             a.bytes.resize(a.bytes.size() + 4);  // grows the comment: a signature in its last 4 bytes
             put_le(a.bytes, a.end + 20, 4, 2);
             put_le(a.bytes, a.end + 22, 0x02014B50, 4);
             put_le(a.bytes, a.end + 16, static_cast<std::uint32_t>(a.end + 22), 4);
         },
         "truncated archive"},
        {"67108865 bytes announced, checked before inflating a corrupt stream",
         [](Archive& a) {
             put_le(a.bytes, a.directory + 24, 67108865, 4);
             a.bytes[a.data] = std::byte{0xFF};
         },
         "archive entry too large"},
        {"local header past the end", [](Archive& a) { put_le(a.bytes, a.directory + 42, 0x7FFFFFFF, 4); },
         "truncated archive"},
        {"local header signature", [](Archive& a) { a.bytes[3] = std::byte{0}; }, "bad local file header"},
        {"name longer than the archive", [](Archive& a) { put_le(a.bytes, 26, 0xFFFF, 2); }, "truncated archive data"},
        {"data longer than the archive", [](Archive& a) { put_le(a.bytes, a.directory + 20, 0xFFFFFFFF, 4); },
         "truncated archive data"},
        {"method 12", [](Archive& a) { put_le(a.bytes, a.directory + 10, 12, 2); }, "unsupported compression method 12"},
        {"corrupt stream", [](Archive& a) { a.bytes[a.data] = std::byte{0xFF}; }, "deflate: invalid block type"},
        {"stream cut short",
         [&](Archive& a) { put_le(a.bytes, a.directory + 20, static_cast<std::uint32_t>(packed.size() / 2), 4); },
         "deflate: unexpected end of compressed data"},
    };
    for (const auto& c : cases) {
        Archive a = make_archive(packed, 8, 0);
        c.damage(a);
        EXPECT_EQ(outcome(extract_first_file(a.bytes)), c.expected) << c.what;
    }
}

TEST(Zip, SizeLimitHoldsWhateverTheArchiveClaims) {
    const Bytes zeros(1 << 20);
    const std::uint32_t limit = 64u << 20;
    const Bytes full = raw_deflate(zeros, limit);
    EXPECT_EQ(outcome(extract_first_file(make_archive(full, 8, limit).bytes)), "ok, 67108864 bytes");

    // One byte more is a bomb, whatever size the directory announces.
    const Bytes bomb = raw_deflate(zeros, limit + 1);
    for (std::uint32_t announced : {0u, 1000u, limit})
        EXPECT_EQ(outcome(extract_first_file(make_archive(bomb, 8, announced).bytes)),
                  "deflate: output exceeds the limit of 67108864 bytes")
            << announced;

    // A stored entry is its own size and is held to the same limit.
    EXPECT_EQ(outcome(extract_first_file(make_archive(Bytes(limit + 1), 0, 100).bytes)), "archive entry too large");
}

TEST(Zip, LittleEndianFieldsStopAtTheEnd) {
    const Bytes b = bytes_of("\x01\x02\x03\x04");
    EXPECT_EQ(zip::u16_at(b, 2), 0x0403);
    EXPECT_EQ(zip::u32_at(b, 0), 0x04030201u);
    EXPECT_EQ(zip::u16_at(b, 3), std::unexpected("truncated archive"));
    EXPECT_EQ(zip::u32_at(b, 1), std::unexpected("truncated archive"));
    EXPECT_EQ(zip::u32_at(b, std::uint64_t{1} << 40), std::unexpected("truncated archive"));
}

// Every zipped description of the collection unpacks to XML whose CRC matches the directory's.
TEST(Zip, SharedArchivesExtract) {
    KORVALITE_REQUIRE_SHARED_DESCRIPTIONS();
    int archives = 0;
    for (const auto& entry : std::filesystem::directory_iterator(korvalite::test_support::shared_descriptions())) {
        if (entry.path().extension() != ".zip") continue;
        std::ifstream file(entry.path(), std::ios::binary);
        const std::string raw{std::istreambuf_iterator<char>(file), {}};
        const Bytes archive = bytes_of(raw);

        const auto xml = extract_first_file(archive);
        ASSERT_TRUE(xml) << entry.path() << ": " << xml.error();
        const std::size_t end = raw.rfind("PK\x05\x06");
        const std::size_t directory = get_le(archive, end + 16, 4);
        const auto crc = crc32(0, reinterpret_cast<const Bytef*>(xml->data()), static_cast<uInt>(xml->size()));
        EXPECT_EQ(crc, get_le(archive, directory + 16, 4)) << entry.path();
        EXPECT_NE(std::string_view(reinterpret_cast<const char*>(xml->data()), xml->size()).find("<RegisterDescription"),
                  std::string_view::npos);
        ++archives;
    }
    EXPECT_GE(archives, 2);
}
