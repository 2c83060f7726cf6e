// Every question asked of every node of every real description, over a device full of zeros
// and over a device full of seeded random bytes, ends in a value or one of the feature model's
// errors, and leaves the evaluation stack empty.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>

#include "korvalite/genicam/feature_info_read.hpp"
#include "korvalite/genicam/node_read.hpp"
#include "korvalite/genicam/node_write.hpp"
#include "korvalite/genicam/registers.hpp"
#include "korvalite/genicam/xml.hpp"
#include "korvalite/genicam/zip.hpp"
#include "memory_port.hpp"
#include "shared_descriptions.hpp"

using namespace korvalite;
using namespace korvalite::genicam;
namespace fs = std::filesystem;

namespace {

enum class Question { Int, Float, Bool, String, IntBounds, FloatBounds, Increment, Entries, Access, Count };

constexpr std::array<const char*, static_cast<std::size_t>(Question::Count)> kQuestionNames = {
    "integer", "float", "boolean", "string", "integer bounds", "float bounds", "increment", "entries", "access mode"};

std::string description_text(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::string bytes(std::istreambuf_iterator<char>(in), {});
    if (path.extension() != ".zip") return bytes;
    auto unpacked = extract_first_file(std::as_bytes(std::span(bytes)));
    EXPECT_TRUE(unpacked.has_value()) << path;
    if (!unpacked) return {};
    return std::string(reinterpret_cast<const char*>(unpacked->data()), unpacked->size());
}

bool is_float_valued_kind(const Node& node) {
    if (auto* n = std::get_if<SwissKnife>(&node)) return !n->integer;
    if (auto* n = std::get_if<Converter>(&node)) return !n->integer;
    return false;
}

// A device whose every byte is a fixed pseudo-random function of its address; writes are
// accepted and forgotten.
class SeededPort : public PortIo {
public:
    explicit SeededPort(std::uint64_t seed) : seed_(seed) {}
    CameraResult<void> read(std::uint64_t address, std::span<std::byte> buffer) override {
        for (std::size_t i = 0; i < buffer.size(); ++i) buffer[i] = static_cast<std::byte>(mix(address + i));
        return {};
    }
    CameraResult<void> write(std::uint64_t, std::span<const std::byte>) override { return {}; }

private:
    std::uint64_t mix(std::uint64_t x) const {
        x += seed_ + 0x9E3779B97F4A7C15ull;
        x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
        x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
        return x ^ (x >> 31);
    }
    std::uint64_t seed_;
};

// Whether the node's kind defines an answer to the question (otherwise it is UnsupportedAccess).
bool answers(const Node& node, Question q) {
    const bool int_reg = register_as<register_kind::Int>(node) != nullptr;
    const bool float_reg = register_as<register_kind::Float>(node) != nullptr;
    const bool string_reg = register_as<register_kind::String>(node) != nullptr;
    const bool formula = std::holds_alternative<Converter>(node) || std::holds_alternative<SwissKnife>(node);
    const bool integer = std::holds_alternative<Integer>(node);
    const bool real = std::holds_alternative<Float>(node);
    const bool enumeration = std::holds_alternative<Enumeration>(node);
    switch (q) {
        case Question::Int:
        case Question::Bool:
            return integer || real || enumeration || std::holds_alternative<Boolean>(node) || int_reg || formula;
        case Question::Float: return integer || real || float_reg || int_reg || formula;
        case Question::String: return std::holds_alternative<String>(node) || enumeration || string_reg;
        case Question::IntBounds:
        case Question::Increment: return integer || int_reg || (formula && !is_float_valued_kind(node));
        case Question::FloatBounds: return real || float_reg || (formula && is_float_valued_kind(node));
        case Question::Entries: return enumeration;
        default: return true;
    }
}

// Asks the question; the error, if any.
std::optional<GenicamError> ask(Genicam& g, NodeId id, Question q, PortIo& port) {
    auto error_of = [](auto result) -> std::optional<GenicamError> {
        if (result) return std::nullopt;
        return result.error();
    };
    switch (q) {
        case Question::Int: return error_of(int_value(g, id, port));
        case Question::Float: return error_of(float_value(g, id, port));
        case Question::Bool: return error_of(bool_value(g, id, port));
        case Question::String: return error_of(string_value(g, id, port));
        case Question::IntBounds: return error_of(int_bounds(g, id, port));
        case Question::FloatBounds: return error_of(float_bounds(g, id, port));
        case Question::Increment: return error_of(int_increment(g, id, port));
        case Question::Entries: return error_of(enum_entries(g, id));
        default: return error_of(access_mode(g, id, port));
    }
}

const char* kind_name(GenicamError::Kind kind) {
    switch (kind) {
        case GenicamError::Kind::UnsupportedAccess: return "UnsupportedAccess";
        case GenicamError::Kind::NotAccessible: return "NotAccessible";
        case GenicamError::Kind::DanglingReference: return "DanglingReference";
        case GenicamError::Kind::CircularReference: return "CircularReference";
        case GenicamError::Kind::Formula: return "Formula";
        case GenicamError::Kind::NoEnumEntry: return "NoEnumEntry";
        case GenicamError::Kind::NotAvailable: return "NotAvailable";
        case GenicamError::Kind::InvalidValue: return "InvalidValue";
        case GenicamError::Kind::TooDeep: return "TooDeep";
        default: return "unexpected";
    }
}

std::vector<fs::path> description_files() {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(korvalite::test_support::shared_descriptions()))
        if (entry.path().extension() == ".xml" || entry.path().extension() == ".zip") files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

}  // namespace

TEST(DescriptionsRead, EveryQuestionOfEveryNodeEndsInAValueOrAModelError) {
    KORVALITE_REQUIRE_SHARED_DESCRIPTIONS();
    const auto files = description_files();
    ASSERT_GE(files.size(), 30u);

    for (const bool random_memory : {false, true}) {
        std::size_t values = 0;
        std::map<std::string, std::size_t> errors;  // by kind, for questions the node's kind answers
        std::map<std::string, std::size_t> formula_messages;
        for (const auto& path : files) {
            const std::string file = path.filename().string();
            auto graph = parse_description(description_text(path));
            ASSERT_TRUE(graph.has_value()) << file << ": " << graph.error().message();
            Genicam& g = *graph;
            test_support::MemoryPort zeros;
            zeros.record_bytes = false;
            SeededPort seeded(0x5EED);
            PortIo& port = random_memory ? static_cast<PortIo&>(seeded) : zeros;
            for (NodeId id = 0; id < g.size(); ++id) {
                for (int qi = 0; qi < static_cast<int>(Question::Count); ++qi) {
                    const auto q = static_cast<Question>(qi);
                    const auto error = ask(g, id, q, port);
                    ASSERT_TRUE(g.stack.empty()) << file << ": " << g[id].name << ", " << kQuestionNames[qi];
                    if (!answers(g[id].node, q)) {
                        ASSERT_TRUE(error.has_value()) << file << ": " << g[id].name << ", " << kQuestionNames[qi];
                        EXPECT_EQ(*error, unsupported_access(g, id)) << file;
                        continue;
                    }
                    if (!error) {
                        ++values;
                        continue;
                    }
                    const std::string kind = kind_name(error->kind());
                    EXPECT_NE(kind, "unexpected") << file << ": " << g[id].name << ": " << error->message();
                    ++errors[kind];
                    if (error->kind() == GenicamError::Kind::Formula)
                        ++formula_messages[error->detail().substr(0, error->detail().find_first_of("'0123456789"))];
                }
                zeros.log.clear();
            }
        }
        EXPECT_GT(values, 100000u);
        std::cout << (random_memory ? "random memory" : "zero memory") << ", answers: " << values << "\n";
        for (const auto& [kind, n] : errors) std::cout << kind << ": " << n << "\n";
        for (const auto& [message, n] : formula_messages) std::cout << "  formula: " << message << "...: " << n << "\n";
    }
}

// Writes of every kind to every node end in success or a model error as well.
TEST(DescriptionsRead, EveryWriteToEveryNodeEndsInSuccessOrAModelError) {
    KORVALITE_REQUIRE_SHARED_DESCRIPTIONS();
    std::size_t written = 0;
    for (const auto& path : description_files()) {
        const std::string file = path.filename().string();
        auto graph = parse_description(description_text(path));
        ASSERT_TRUE(graph.has_value()) << file;
        Genicam& g = *graph;
        test_support::MemoryPort port;
        port.record_bytes = false;
        for (NodeId id = 0; id < g.size(); ++id) {
            const GenicamResult<void> results[] = {
                set_int_value(g, id, 1, port), set_float_value(g, id, 0.5, port), set_bool_value(g, id, true, port),
                set_string_value(g, id, "x", port), execute(g, id, port)};
            for (const auto& r : results) {
                if (r) ++written;
                else EXPECT_STRNE(kind_name(r.error().kind()), "unexpected") << file << ": " << r.error().message();
            }
            ASSERT_TRUE(g.stack.empty()) << file << ": " << g[id].name;
            port.log.clear();
        }
    }
    EXPECT_GT(written, 10000u);
    std::cout << "successful writes: " << written << "\n";
}
