// Time to build the feature graph from every device description in the shared folder (zipped
// ones unpacked first), next to the time pugixml alone needs to parse the same text with the
// same options (best of `repeats` runs each, with a warm and a cold heap). Prints a table and
// one JSON line per measurement.
//
// Usage: graph_build [description-dir] [count] [repeats]   (count: the largest `count` only)
#include <malloc.h>
#include <pugixml.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "bench_util.hpp"
#include "korvalite/genicam/xml.hpp"
#include "korvalite/genicam/xml_parse_options.hpp"
#include "korvalite/genicam/zip.hpp"
#include "korvalite/gige/proto/bytes.hpp"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// The description text of a file: as it is, or the first file of a ZIP archive.
std::optional<std::string> description_text(const fs::path& path) {
    std::string bytes = bench::read_file(path);
    if (path.extension() != ".zip") return bytes;
    auto unpacked = korvalite::genicam::extract_first_file(korvalite::gige::proto::as_bytes(bytes));
    if (!unpacked) return std::nullopt;
    return std::string(reinterpret_cast<const char*>(unpacked->data()), unpacked->size());
}

double elapsed_ms(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double best(const std::vector<double>& times) { return *std::min_element(times.begin(), times.end()); }

struct Timing {
    double parse_ms;
    double build_ms;
};

// Alternates the two measurements so both see the same allocator state; results are destroyed
// outside the timed region. Cold: the heap is handed back to the system before each run, so
// every run pays for fresh pages, as the one build at connection time does. Warm: the heap keeps
// its pages, leaving only the work itself.
Timing measure(const std::string& text, int repeats, bool cold) {
    std::vector<double> parse, build;
    for (int i = 0; i < repeats; ++i) {
        {
            pugi::xml_document doc;
            if (cold) malloc_trim(0);
            const auto start = Clock::now();
            doc.load_buffer(text.data(), text.size(), korvalite::genicam::kDescriptionParseOptions,
                          korvalite::genicam::kDescriptionEncoding);
            parse.push_back(elapsed_ms(start));
        }
        {
            if (cold) malloc_trim(0);
            const auto start = Clock::now();
            auto graph = korvalite::genicam::parse_description(text);
            build.push_back(elapsed_ms(start));
        }
    }
    return {best(parse), best(build)};
}

double report(const std::string& name, std::size_t bytes, std::size_t nodes, const char* heap, Timing t) {
    const double ratio = t.build_ms / t.parse_ms;
    std::printf("%-55s %5s %10zu %7zu %10.3f %10.3f %6.2f\n", name.c_str(), heap, bytes, nodes, t.parse_ms,
                t.build_ms, ratio);
    std::printf(
        "{\"bench\":\"graph_build\",\"description\":\"%s\",\"heap\":\"%s\",\"bytes\":%zu,"
        "\"nodes\":%zu,\"parse_ms\":%.4f,\"build_ms\":%.4f,\"ratio\":%.3f}\n",
        name.c_str(), heap, bytes, nodes, t.parse_ms, t.build_ms, ratio);
    return ratio;
}

// Descriptions at least this large are where build time matters (and where fixed costs, such
// as the built-in nodes, no longer dominate the ratio).
constexpr std::size_t kLargeDescription = 100'000;

void summary(const char* heap, const char* which, std::vector<double> ratios) {
    if (ratios.empty()) return;
    const double worst = *std::max_element(ratios.begin(), ratios.end());
    const double median = bench::quantile(ratios, 0.5);
    std::printf("%s heap, %s descriptions: build / parse median %.2f, worst %.2f (%zu descriptions)\n", heap, which,
                median, worst, ratios.size());
    bench::JsonLine("graph_build_summary")
        .add("heap", heap)
        .add("descriptions", which)
        .add("count", static_cast<std::uint64_t>(ratios.size()))
        .add("median_ratio", median)
        .add("worst_ratio", worst)
        .print();
}

}  // namespace

int main(int argc, char** argv) {
    const fs::path dir = argc > 1 ? fs::path(argv[1]) : bench::descriptions_dir();
    const std::size_t count = argc > 2 ? std::stoul(argv[2]) : 1000;
    const int repeats = argc > 3 ? std::stoi(argv[3]) : 31;

    std::vector<fs::path> files = bench::description_files(dir);
    if (files.empty()) {
        std::fprintf(stderr, "no descriptions in %s\n", dir.c_str());
        return 1;
    }
    files.resize(std::min(count, files.size()));

    // Keep freed memory in the process unless a cold run asks for it to be handed back.
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    mallopt(M_MMAP_THRESHOLD, 1 << 30);
    std::printf("%-55s %5s %10s %7s %10s %10s %6s\n", "description", "heap", "bytes", "nodes", "parse ms",
                "build ms", "ratio");
    std::vector<double> large_warm, large_cold, small_warm, small_cold;
    for (const auto& path : files) {
        const auto unpacked = description_text(path);
        if (!unpacked) {
            std::fprintf(stderr, "%s: cannot unpack\n", path.c_str());
            return 1;
        }
        const std::string& text = *unpacked;
        auto graph = korvalite::genicam::parse_description(text);
        if (!graph) {
            std::fprintf(stderr, "%s: %s\n", path.c_str(), graph.error().message().c_str());
            return 1;
        }
        const std::string name = path.filename().string();
        const double warm = report(name, text.size(), graph->size(), "warm", measure(text, repeats, false));
        const double cold = report(name, text.size(), graph->size(), "cold", measure(text, repeats, true));
        (text.size() >= kLargeDescription ? large_warm : small_warm).push_back(warm);
        (text.size() >= kLargeDescription ? large_cold : small_cold).push_back(cold);
    }
    summary("warm", "large", large_warm);
    summary("cold", "large", large_cold);
    summary("warm", "small", small_warm);
    summary("cold", "small", small_cold);
    return 0;
}
