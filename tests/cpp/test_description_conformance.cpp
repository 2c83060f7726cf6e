// Features of the real camera descriptions, read over a device of zeros and over a device seeded
// with random register values, give the values, bounds and access modes their descriptions mean.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>

#include "korvalite/genicam/codec.hpp"
#include "korvalite/genicam/node_read.hpp"
#include "korvalite/genicam/node_write.hpp"
#include "korvalite/genicam/xml.hpp"
#include "korvalite/genicam/zip.hpp"
#include "memory_port.hpp"
#include "shared_descriptions.hpp"

using namespace korvalite;
using namespace korvalite::genicam;
namespace fs = std::filesystem;

namespace {

const fs::path kDescriptions = korvalite::test_support::shared_descriptions();

constexpr const char* kTeledyne = "areaDetector__ADGenICam__Teledyne_ShadoBox.xml";
constexpr const char* kVirtual = "aileenfun__GigeVisionCam__virtual-camera.zip";
constexpr const char* kEuresys = "areaDetector__ADGenICam__Euresys_Coaxlink_TLInterface.xml";
constexpr const char* kFlirA35 = "areaDetector__ADGenICam__FLIR_A35.xml";
constexpr const char* kFlirBfs = "areaDetector__ADGenICam__FLIR_BFS_PGE_19S4M.xml";
constexpr const char* kWebcam = "rexissimus__GenICam-GenTL-Webcam__webcam.xml";
constexpr const char* kImperx = "Touseefelahi__GigeVision__Imperx.xml";
constexpr const char* kAravis = "AravisProject__aravis__genicam.xml";
constexpr const char* kOrca = "areaDetector__ADGenICam__Orca_Fire_C16240-20UP.xml";
constexpr const char* kBasler = "areaDetector__ADGenICam__Basler-acA640-300gm.xml";

std::optional<std::string> description_text(const std::string& file) {
    std::ifstream in(kDescriptions / file, std::ios::binary);
    if (!in) return std::nullopt;
    std::string bytes(std::istreambuf_iterator<char>(in), {});
    if (!file.ends_with(".zip")) return bytes;
    auto unpacked = extract_first_file(std::as_bytes(std::span(bytes)));
    if (!unpacked) return std::nullopt;
    return std::string(reinterpret_cast<const char*>(unpacked->data()), unpacked->size());
}

// The device memory of one run: all zeros, or registers the case stores from seeded draws.
struct Device {
    test_support::MemoryPort port;
    std::mt19937_64 rng;
    bool seeded;

    // A draw in lo..hi, or 0 for the device of zeros.
    std::int64_t draw(std::int64_t lo, std::int64_t hi) {
        return seeded ? std::uniform_int_distribution<std::int64_t>(lo, hi)(rng) : 0;
    }
    void store(std::uint64_t address, std::int64_t value, std::size_t length, bool big_endian) {
        port.store(address, store_u64(static_cast<std::uint64_t>(value), length, big_endian));
    }
};

enum class Ask { Int, Float, Bool, Access, IntBounds, FloatBounds, Increment };

std::string number_text(double x) {
    char text[40];
    std::snprintf(text, sizeof text, "%.15g", x);
    return text;
}

const char* mode_text(AccessMode mode) {
    constexpr const char* kNames[] = {"RO", "WO", "RW", "NA", "NI"};
    return kNames[static_cast<int>(mode)];
}

// The answer as text: numbers (floats to 15 digits), true/false, a mode, [min, max], or the
// error message.
std::string answer(Genicam& g, NodeId id, Ask ask, PortIo& port) {
    auto text = [](const auto& result, auto&& show) -> std::string {
        if (!result) return "error: " + result.error().message();
        return show(*result);
    };
    switch (ask) {
        case Ask::Int: return text(int_value(g, id, port), [](std::int64_t v) { return std::to_string(v); });
        case Ask::Float: return text(float_value(g, id, port), number_text);
        case Ask::Bool: return text(bool_value(g, id, port), [](bool v) { return std::string(v ? "true" : "false"); });
        case Ask::Access: return text(access_mode(g, id, port), [](AccessMode m) { return std::string(mode_text(m)); });
        case Ask::IntBounds:
            return text(int_bounds(g, id, port), [](auto b) {
                return "[" + std::to_string(b.first) + ", " + std::to_string(b.second) + "]";
            });
        case Ask::FloatBounds:
            return text(float_bounds(g, id, port), [](auto b) {
                return "[" + number_text(b.first) + ", " + number_text(b.second) + "]";
            });
        case Ask::Increment: return text(int_increment(g, id, port), [](std::int64_t v) { return std::to_string(v); });
    }
    return {};
}

struct Case {
    const char* file;
    const char* feature;
    Ask ask;
    // The answer over the device of zeros.
    std::string zeros;
    // Stores the seeded registers and gives the answer they mean; without it the seeded device
    // must give the same answer as the device of zeros.
    std::function<std::string(Device&)> seeded = nullptr;
};

std::string neither_on_nor_off(int value) {
    return "error: node 'TestBoolean': value " + std::to_string(value) + " is neither OnValue 321 nor OffValue 123";
}

std::string modes_of(bool implemented, bool available, bool locked) {
    return !implemented ? "NI" : !available ? "NA" : locked ? "RO" : "RW";
}

const std::vector<Case>& cases() {
    static const std::vector<Case> all = {
        // Float formulas, and a float formula as a variable of another.
        {kTeledyne, "FrameRate", Ask::Float, "22.7427791676143",
         [](Device& d) {
             const auto mode = d.draw(0, 1);
             const auto interval = d.draw(0, 100000);
             d.store(0x20000290, mode, 4, false);
             d.store(0x20000280, interval, 4, false);
             return number_text(1000000.0 / static_cast<double>(interval + (mode == 0 ? 43970 : 21763)));
         }},
        {kVirtual, "AutoGainLowerLimitMaxInq_Float", Ask::Float, "-2.2976",
         [](Device& d) {
             const auto raw = d.draw(0, 1000);
             d.store(0x3140c, raw, 4, true);
             return number_text(0.0359 * static_cast<double>(raw - 64));
         }},
        // pIndex on a register: base + index x Offset (REG_MISC_INDEX is 3, the offset 4).
        {kTeledyne, "PacketResendBufferSizeConverter", Ask::Float, "0",
         [](Device& d) {
             const auto raw = d.draw(0, 0x7fffffff);
             d.store(0x12000070, raw + 1, 4, false);
             d.store(0x1200007C, raw, 4, false);
             return number_text(static_cast<double>(raw) / (1024 * 1024));
         }},
        // Selector-indexed register address: GevInterfaceSelector 0 picks 0x14.
        {kTeledyne, "GevCurrentIPConfigurationDHCP", Ask::Bool, "false",
         [](Device& d) {
             const auto raw = d.draw(0, 0xffffffff);
             d.store(0x14, raw, 4, true);
             d.store(0x68C, ~raw, 4, true);
             return std::string((raw & 2) ? "true" : "false");
         }},
        // Constants and sub-expressions of formulas; two-argument ROUND.
        {kEuresys, "CxpPoCxpConfigurationStatus", Ask::Int, "255"},
        {kAravis, "IntSwissKnifeTestSubAndConstant", Ask::Int, "140"},
        {kFlirA35, "ShutterTemperatureValConv", Ask::Float, "273",
         [](Device& d) {
             const auto raw = d.draw(0, 65535);
             d.store(0xE868, raw, 4, true);
             const double celsius = static_cast<double>(raw > 32767 ? raw - 65536 : raw) / 100;
             return number_text(std::round(celsius) + 273);
         }},
        // A result that is not finite is an error naming the formula.
        {kFlirBfs, "PowerSupplyVoltage", Ask::Float, "0",
         [](Device& d) {
             d.store(0x41404, -d.draw(1, 1000), 4, true);
             d.store(0x41414, -d.draw(1100, 5000), 4, true);
             return std::string("error: formula in 'PowerSupplyVoltageVolts_Val': result is not finite");
         }},
        // A Boolean holding neither of its values.
        {kWebcam, "TestBoolean", Ask::Bool, neither_on_nor_off(0),
         [](Device& d) {
             const auto pick = d.draw(0, 2);
             d.store(0x1f0, pick == 0 ? 321 : pick == 1 ? 123 : 5, 4, false);
             return pick == 0 ? std::string("true") : pick == 1 ? std::string("false") : neither_on_nor_off(5);
         }},
        // & binds tighter than =, and = groups left to right with the other comparisons.
        {kImperx, "GainAutoBalanceAvailExpr", Ask::Int, "0",
         [](Device& d) {
             const auto taps = d.draw(1, 3);
             const auto agc = d.draw(0, 1);
             d.store(0xD324, taps, 4, true);
             d.store(0xE9E4, agc, 4, true);
             return std::to_string(static_cast<int>((taps == (1 & agc)) == 0));
         }},
        // A Float over an integer register; a register at an address that is not a multiple of 4.
        {kTeledyne, "DeviceTemperature", Ask::Float, "0",
         [](Device& d) {
             const auto raw = d.draw(-40, 100);
             d.store(0x200001B0, raw, 4, false);
             return number_text(static_cast<double>(raw));
         }},
        {kAravis, "MaskedIntSignedRegisterC", Ask::Int, "0",
         [](Device& d) {
             const auto raw = d.draw(0, 0xffff);
             d.store(0x1000, d.draw(0, 0xffff), 2, true);
             d.store(0x1002, raw, 2, true);
             const auto field = (raw >> 8) & 0xf;
             return std::to_string(field >= 8 ? field - 16 : field);
         }},
        // Implemented, available and locked conditions.
        {kFlirBfs, "BinningHorizontalMode", Ask::Access, "NI",
         [](Device& d) {
             const auto raw = d.draw(0, 0xffffffff);
             d.store(0x84020, raw, 4, true);
             return modes_of(raw & 0x80000000, raw & 0x40000000, raw & 0x10000000);
         }},
        {kFlirBfs, "BinningHorizontalMode", Ask::Int, "error: node 'BinningHorizontalMode' is not available",
         [](Device& d) {
             const auto value = d.draw(0, 1);
             d.store(0x84020, 0xC0000000, 4, true);
             d.store(0x84028, value, 4, true);
             return std::to_string(value);
         }},
        // Modes from the value reference; imposed modes cap.
        {kOrca, "ExposureTime", Ask::Access, "RW"},
        {kFlirBfs, "PowerSupplyVoltage", Ask::Access, "RO"},
        {kFlirBfs, "GevMCTT", Ask::Access, "RO"},
        {kAravis, "RWRegister_ImposedAccessModeRO", Ask::Access, "RO"},
        {kTeledyne, "FrameRate", Ask::Access, "RW"},
        // Bounds and increments from register widths and value nodes.
        {kAravis, "IntSigned16BitRegisterC", Ask::IntBounds, "[-32768, 32767]"},
        {kAravis, "MaskedIntSignedRegisterC", Ask::IntBounds, "[-8, 7]"},
        {kOrca, "Height", Ask::IntBounds, "[0, 4294967295]"},
        {kOrca, "Height", Ask::Increment, "1"},
        {kTeledyne, "packetResendBufferSize_Address", Ask::IntBounds, "[-9223372036854775808, 9223372036854775807]"},
        {kTeledyne, "packetResendBufferSize_Address", Ask::Increment, "1"},
        {kTeledyne, "PacketResendBufferSizeConverter", Ask::FloatBounds,
         "[-1.79769313486232e+308, 1.79769313486232e+308]"},
        // A chunk register is not device memory.
        {kBasler, "ChunkFramesPerTriggerCounter", Ask::Int, "error: node 'N1360' is not available"},
        {kBasler, "N1360", Ask::Access, "NA"},
    };
    return all;
}

}  // namespace

TEST(DescriptionConformance, RealFeaturesOverZeroAndSeededMemory) {
    if (!fs::is_directory(kDescriptions)) GTEST_SKIP() << "no shared descriptions at " << kDescriptions;
    for (const bool seeded : {false, true}) {
        std::uint64_t seed = 2026;
        for (const Case& c : cases()) {
            const std::string where = std::string(c.file) + ": " + c.feature + (seeded ? " (seeded)" : " (zeros)");
            auto text = description_text(c.file);
            ASSERT_TRUE(text.has_value()) << where;
            auto graph = parse_description(*text);
            ASSERT_TRUE(graph.has_value()) << where << ": " << graph.error().message();
            auto id = graph->lookup(c.feature);
            ASSERT_TRUE(id.has_value()) << where;
            Device device{{}, std::mt19937_64(seed++), seeded};
            const std::string expected = seeded && c.seeded ? c.seeded(device) : c.zeros;
            EXPECT_EQ(answer(*graph, *id, c.ask, device.port), expected) << where;
            EXPECT_TRUE(graph->stack.empty()) << where;
        }
    }
}

// Registers are read where their selectors and indices place them, in aligned blocks, and
// writes go to the same place; chunk registers never reach the device.
TEST(DescriptionConformance, RegistersAreReadAndWrittenWhereTheDescriptionPlacesThem) {
    if (!fs::is_directory(kDescriptions)) GTEST_SKIP() << "no shared descriptions at " << kDescriptions;
    using test_support::MemoryPort;
    auto load = [](const char* file) {
        auto graph = parse_description(description_text(file).value_or(""));
        EXPECT_TRUE(graph.has_value()) << file;
        return graph ? std::move(*graph) : Genicam{};
    };
    auto addresses = [](const MemoryPort& port) {
        std::vector<std::pair<bool, std::uint64_t>> out;
        for (const auto& a : port.log) out.emplace_back(a.is_write, a.address);
        return out;
    };
    using Accesses = std::vector<std::pair<bool, std::uint64_t>>;

    Genicam teledyne = load(kTeledyne);
    MemoryPort port;
    ASSERT_TRUE(float_value(teledyne, *teledyne.lookup("PacketResendBufferSizeConverter"), port));
    EXPECT_EQ(addresses(port), (Accesses{{false, 0x1200007C}}));

    port.log.clear();
    ASSERT_TRUE(set_int_value(teledyne, *teledyne.lookup("GevInterfaceSelector"), 2, port));
    ASSERT_TRUE(set_bool_value(teledyne, *teledyne.lookup("GevCurrentIPConfigurationDHCP"), true, port));
    EXPECT_EQ(addresses(port), (Accesses{{false, 0x70C}, {true, 0x70C}}));
    EXPECT_EQ(port.load(0x70C, 4), store_u64(2, 4, true));
    EXPECT_EQ(bool_value(teledyne, *teledyne.lookup("GevCurrentIPConfigurationDHCP"), port), true);

    Genicam aravis = load(kAravis);
    port.log.clear();
    ASSERT_TRUE(int_value(aravis, *aravis.lookup("MaskedIntSignedRegisterC"), port));
    ASSERT_EQ(port.log.size(), 1u);
    EXPECT_EQ(port.log[0].address, 0x1000u);
    EXPECT_EQ(port.log[0].bytes.size(), 4u);

    Genicam basler = load(kBasler);
    port.log.clear();
    EXPECT_FALSE(int_value(basler, *basler.lookup("ChunkFramesPerTriggerCounter"), port));
    EXPECT_FALSE(set_int_value(basler, *basler.lookup("N1360"), 1, port));
    EXPECT_TRUE(port.log.empty());
}
