// A window of features of a description read (and optionally written) through the node
// functions against an in-memory device whose bytes come from the input.
//
// The description is either one of the small real descriptions (picked by a number from the
// back) or a template whose registers take their length, bit range, sign, byte order and cache
// mode from numbers from the back and whose converter and swiss knife formulas are the texts at
// the front (NUL-separated). What follows the texts is the device memory. The window's first
// feature is the next number from the back.
//
// Checked: no read leaves anything on the evaluation stack, failures carry a message, reading a
// feature twice gives the same answer, and register reads return as many bytes as the register
// is long.
#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz_support.hpp"
#include "korvalite/genicam/node_read.hpp"
#include "korvalite/genicam/node_write.hpp"
#include "korvalite/genicam/registers.hpp"
#include "korvalite/genicam/xml.hpp"

using namespace korvalite;
using namespace korvalite::genicam;

namespace {

// Addresses from here up are refused, as a device refuses an invalid address.
constexpr std::uint64_t kAddressLimit = std::uint64_t{1} << 24;
// Features read (and written) per input. Each one costs dozens of node operations, each a full
// evaluation of what the feature depends on, so a wide window makes every input slow; the first
// feature comes from the input, so every feature is still reached.
constexpr std::size_t kFeatureWindow = 8;

// A device whose byte at address a is memory[a % size] (zero without memory); writes land in
// the memory. Bytes move in runs up to the end of the memory, not one by one: registers are up
// to 4 KiB long and read many times per input.
class FuzzPort : public PortIo {
public:
    explicit FuzzPort(fuzz::Bytes memory) : memory_(memory.begin(), memory.end()) {}

    CameraResult<void> read(std::uint64_t address, std::span<std::byte> buffer) override {
        if (!reachable(address, buffer.size()))
            return std::unexpected(CameraError::status(0x0084, 0x8003));
        if (memory_.empty()) {
            std::fill(buffer.begin(), buffer.end(), std::byte{0});
            return {};
        }
        for_each_run(address, buffer.size(), [&](std::size_t done, std::size_t at, std::size_t n) {
            std::memcpy(buffer.data() + done, memory_.data() + at, n);
        });
        return {};
    }

    CameraResult<void> write(std::uint64_t address, std::span<const std::byte> data) override {
        if (!reachable(address, data.size()))
            return std::unexpected(CameraError::status(0x0086, 0x8003));
        if (memory_.empty()) return {};
        for_each_run(address, data.size(), [&](std::size_t done, std::size_t at, std::size_t n) {
            std::memcpy(memory_.data() + at, data.data() + done, n);
        });
        return {};
    }

    std::size_t size() const { return memory_.size(); }

private:
    static bool reachable(std::uint64_t address, std::size_t size) {
        return address < kAddressLimit && size <= kAddressLimit - address;
    }

    // Calls fn(bytes done, memory offset, run length) for the runs that make up `size` bytes
    // from `address`, wrapping at the end of the (non-empty) memory.
    template <class Fn>
    void for_each_run(std::uint64_t address, std::size_t size, Fn&& fn) const {
        std::size_t at = static_cast<std::size_t>(address % memory_.size());
        for (std::size_t done = 0; done < size;) {
            const std::size_t n = std::min(size - done, memory_.size() - at);
            fn(done, at, n);
            done += n;
            at = 0;
        }
    }
    std::vector<std::byte> memory_;
};

std::string escaped(fuzz::Bytes text) {
    std::string out;
    for (std::byte b : text) {
        const char c = static_cast<char>(b);
        if (c == '<') out += "&lt;";
        else if (c == '&') out += "&amp;";
        else out += c;
    }
    return out;
}

// The register template, shaped by numbers from the back of the input.
std::string template_description(fuzz::FuzzInput& input, fuzz::Bytes from, fuzz::Bytes to, fuzz::Bytes knife) {
    static constexpr std::array<const char*, 16> kLengths = {"4", "1", "2", "8", "3", "5", "0", "16",
                                                             "-1", "9", "4096", "67108865", "7", "6", "64", "pLength"};
    static constexpr std::array<const char*, 4> kCaches = {"WriteAround", "NoCache", "WriteThrough", "Bogus"};
    auto length = [&] { return std::string(kLengths[input.take_u64(1) % kLengths.size()]); };
    auto length_element = [&] {
        const std::string l = length();
        return l == "pLength" ? std::string("<pLength>LengthI</pLength>") : "<Length>" + l + "</Length>";
    };
    auto address = [&] { return "<Address>" + std::to_string(input.take_u64(2)) + "</Address>"; };
    auto sign = [&] { return input.take_bool() ? "<Sign>Signed</Sign>" : "<Sign>Unsigned</Sign>"; };
    auto order = [&] { return input.take_bool() ? "<Endianess>BigEndian</Endianess>" : ""; };
    auto cache = [&] { return "<Cachable>" + std::string(kCaches[input.take_u64(1) % 4]) + "</Cachable>"; };
    auto bits = [&] {
        const auto how = input.take_u64(1);
        const std::string lsb = std::to_string(input.take_u64(1) % 80);
        const std::string msb = std::to_string(input.take_u64(1) % 80);
        switch (how % 4) {
            case 0: return "<LSB>" + lsb + "</LSB><MSB>" + msb + "</MSB>";
            case 1: return "<Bit>" + lsb + "</Bit>";
            case 2: return "<LSB>" + lsb + "</LSB>";
            default: return "<MSB>" + msb + "</MSB><Bit>" + lsb + "</Bit>";
        }
    };
    const bool loop = input.take_bool();

    // Each piece is appended in its own statement, so the numbers are taken in a fixed order.
    std::string xml = "<RegisterDescription>";
    auto add = [&](auto&&... pieces) { ((xml += pieces), ...); };
    auto add_taken = [&](auto&&... makers) { ((xml += makers()), ...); };
    add("<IntReg Name=\"IntR\">");
    add_taken(address, length_element, sign, order, cache);
    add("</IntReg><MaskedIntReg Name=\"Masked\">");
    add_taken(address, length_element, bits, sign, order, cache);
    add("</MaskedIntReg><StructReg>");
    add_taken(address, length_element, order, cache);
    add("<StructEntry Name=\"EntryA\">");
    add_taken(bits, sign);
    add("</StructEntry><StructEntry Name=\"EntryB\">");
    add_taken(bits, order);
    add("<pInvalidator>IntR</pInvalidator></StructEntry></StructReg><FloatReg Name=\"FloatR\">");
    add_taken(address, length_element, order, cache);
    add("</FloatReg><StringReg Name=\"StringR\">");
    add_taken(address, length_element, cache);
    add("</StringReg><Integer Name=\"LengthI\"><Value>", kLengths[input.take_u64(1) % 12], "</Value></Integer>");
    add("<Register Name=\"Raw\"><pAddress>Knife</pAddress>");
    add_taken(address, length_element);
    add("</Register>");
    const std::string variables = "<pVariable Name=\"A\">IntR</pVariable><pVariable Name=\"B\">FloatR</pVariable>"
                                  "<pVariable Name=\"C\">Masked</pVariable><pVariable Name=\"E\">EntryA</pVariable>" +
                                  std::string(loop ? "<pVariable Name=\"D\">IntI</pVariable>" : "");
    xml += "<IntSwissKnife Name=\"Knife\">" + variables + "<Formula>" + escaped(knife) + "</Formula></IntSwissKnife>";
    xml += "<SwissKnife Name=\"FloatKnife\">" + variables + "<Formula>" + escaped(knife) + "</Formula></SwissKnife>";
    const std::string formulas = "<FormulaTo>" + escaped(to) + "</FormulaTo><FormulaFrom>" + escaped(from) +
                                 "</FormulaFrom>";
    xml += "<Converter Name=\"Conv\">" + variables + formulas + "<pValue>Masked</pValue></Converter>";
    xml += "<IntConverter Name=\"IntConv\">" + variables + formulas + "<pValue>FloatR</pValue></IntConverter>";
    xml += "<Float Name=\"FloatF\"><pValue>Conv</pValue><pMin>FloatR</pMin><Max>1e3</Max></Float>";
    xml += "<Float Name=\"KnifeF\"><pValue>FloatKnife</pValue><pMax>IntConv</pMax></Float>";
    xml += "<Integer Name=\"IntI\"><pValue>IntR</pValue><pMin>EntryB</pMin><pMax>Knife</pMax><pInc>EntryA</pInc>"
           "</Integer>";
    add("<Boolean Name=\"Bool\"><pValue>EntryB</pValue><OnValue>", std::to_string(input.take_u64(1) % 4),
        "</OnValue></Boolean>");
    xml += "<Enumeration Name=\"Enum\"><EnumEntry Name=\"Zero\"><Value>0</Value></EnumEntry>"
           "<EnumEntry Name=\"One\"><Value>1</Value></EnumEntry><pValue>Masked</pValue></Enumeration>";
    xml += "<Command Name=\"Cmd\"><pValue>IntR</pValue><CommandValue>1</CommandValue></Command>";
    xml += "<String Name=\"Str\"><pValue>StringR</pValue></String>";
    xml += "<Integer Name=\"Dangling\"><pValue>Nowhere</pValue></Integer>";
    xml += "</RegisterDescription>";
    return xml;
}

// The small real descriptions, built once.
const std::vector<Genicam>& real_descriptions() {
    static const std::vector<Genicam> graphs = [] {
        std::vector<Genicam> out;
#ifdef KORVALITE_SHARED_DIR
        namespace fs = std::filesystem;
        std::vector<fs::path> paths;
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(fs::path(KORVALITE_SHARED_DIR) / "genicam-xml", error))
            if (entry.path().extension() == ".xml" && entry.file_size() <= 64 * 1024) paths.push_back(entry.path());
        std::sort(paths.begin(), paths.end());
        for (const auto& path : paths) {
            std::ifstream file(path, std::ios::binary);
            const std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
            if (auto graph = parse_description(text)) out.push_back(std::move(*graph));
        }
#endif
        return out;
    }();
    return graphs;
}

bool same(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0 || (a != a && b != b); }

// One operation on the graph: it must leave the evaluation stack empty.
template <class Fn>
auto run(Genicam& graph, Fn&& fn) {
    auto result = fn();
    KORVALITE_FUZZ_CHECK(graph.stack.empty());
    return result;
}

// One operation that must also fail with a message.
template <class Fn>
auto step(Genicam& graph, Fn&& fn) {
    auto result = run(graph, fn);
    if (!result) KORVALITE_FUZZ_CHECK(!result.error().message().empty());
    return result;
}

// One operation done twice: both times it must give the same answer, or fail with the same
// message.
template <class Fn, class Eq>
void step_twice(Genicam& graph, Fn&& fn, Eq&& eq) {
    const auto a = run(graph, fn);
    const auto b = run(graph, fn);
    KORVALITE_FUZZ_CHECK(a.has_value() == b.has_value());
    if (a) {
        KORVALITE_FUZZ_CHECK(eq(*a, *b));
    } else {
        const std::string message = a.error().message();
        KORVALITE_FUZZ_CHECK(!message.empty() && message == b.error().message());
    }
}

void read_feature(Genicam& graph, NodeId id, PortIo& port) {
    step_twice(graph, [&] { return int_value(graph, id, port); }, std::equal_to<>{});
    step_twice(graph, [&] { return float_value(graph, id, port); }, same);
    step_twice(graph, [&] { return string_value(graph, id, port); }, std::equal_to<>{});
    step(graph, [&] { return bool_value(graph, id, port); });
    step(graph, [&] { return int_bounds(graph, id, port); });
    step(graph, [&] { return float_bounds(graph, id, port); });
    step(graph, [&] { return int_increment(graph, id, port); });
    step(graph, [&] { return enum_entries(graph, id); });
    step(graph, [&] { return access_mode(graph, id, port); });
    if (std::holds_alternative<Register>(graph[id].node)) {
        const auto span = step(graph, [&] { return register_address(graph, id, port); });
        const auto bytes = step(graph, [&] { return register_read(graph, id, port); });
        if (span && bytes && std::get<Register>(graph[id].node).common.cache_mode == CacheMode::NoCache)
            KORVALITE_FUZZ_CHECK(bytes->size() == static_cast<std::size_t>(span->length));
    }
}

// What an integer register of `length` bytes reads after `value` was written to it: the low
// bits of its range, sign-extended when signed.
std::optional<std::int64_t> read_back(const register_kind::Int& kind, std::int64_t length, std::int64_t value) {
    if (length < 1 || length > 8) return std::nullopt;
    const auto range = bit_range(static_cast<std::size_t>(length), kind.lsb, kind.msb, kind.big_endian);
    if (!range) return std::nullopt;
    const std::uint32_t width = range->hi - range->lo + 1;
    if (width == 64) return value;
    std::uint64_t bits = static_cast<std::uint64_t>(value) & ((std::uint64_t{1} << width) - 1);
    if (!kind.is_unsigned && (bits >> (width - 1)) != 0) bits |= ~((std::uint64_t{1} << width) - 1);
    return static_cast<std::int64_t>(bits);
}

void write_feature(Genicam& graph, NodeId id, FuzzPort& port, fuzz::FuzzInput& input) {
    const std::int64_t value = input.take_i64();
    const auto written = step(graph, [&] { return set_int_value(graph, id, value, port); });
    // An integer register gives back what was written, as far as its bit range holds it (when
    // the device memory is large enough that the register does not overlap itself).
    const auto* kind = register_as<register_kind::Int>(graph[id].node);
    if (kind && written && std::get<Register>(graph[id].node).common.access == AccessMode::RW) {
        const auto length = step(graph, [&] { return register_length(graph, id, port); });
        const auto expected = length ? read_back(*kind, *length, value) : std::nullopt;
        if (expected && port.size() >= static_cast<std::size_t>(*length)) {
            const auto again = step(graph, [&] { return int_value(graph, id, port); });
            KORVALITE_FUZZ_CHECK(again && *again == *expected);
        }
    }
    step(graph, [&] { return set_float_value(graph, id, static_cast<double>(value) / 3.0, port); });
    step(graph, [&] { return set_bool_value(graph, id, (value & 1) != 0, port); });
    step(graph, [&] { return set_string_value(graph, id, "One", port); });
    step(graph, [&] { return execute(graph, id, port); });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::FuzzInput input(data, size);
    const auto mode = input.take_u64(1);
    const bool writes = (mode & 1) != 0;
    const auto& reals = real_descriptions();

    Genicam graph;
    if ((mode & 2) != 0 && !reals.empty()) {
        graph = reals[input.take_u64(1) % reals.size()];
    } else {
        const auto from = input.take_until(std::byte{0});
        const auto to = input.take_until(std::byte{0});
        const auto knife = input.take_until(std::byte{0});
        auto built = parse_description(template_description(input, from, to, knife));
        KORVALITE_FUZZ_CHECK(built.has_value());
        graph = std::move(*built);
    }
    const std::size_t first = static_cast<std::size_t>(input.take_u64(2)) % graph.size();
    FuzzPort port(input.rest());

    const std::size_t last = std::min(graph.size(), first + kFeatureWindow);
    for (NodeId id = static_cast<NodeId>(first); id < last; ++id) read_feature(graph, id, port);
    if (writes) {
        for (NodeId id = static_cast<NodeId>(first); id < last; ++id) write_feature(graph, id, port, input);
        for (NodeId id = static_cast<NodeId>(first); id < last; ++id) read_feature(graph, id, port);
    }
    return 0;
}
