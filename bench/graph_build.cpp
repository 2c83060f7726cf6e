// Time to build the feature graph from the largest device descriptions, next to the time pugixml
// alone needs to parse the same text (best of `repeats` runs each, with a warm and a cold heap).
// Prints a table and one JSON line per measurement.
//
// Usage: graph_build [description-dir] [count] [repeats]
#include <malloc.h>
#include <pugixml.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "korvalite/genicam/xml.hpp"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

fs::path default_dir() { return fs::path(__FILE__).parent_path() / ".." / ".." / "shared" / "genicam-xml"; }

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
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
            doc.load_buffer(text.data(), text.size());
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

void report(const std::string& name, std::size_t bytes, std::size_t nodes, const char* heap, Timing t) {
    const double ratio = t.build_ms / t.parse_ms;
    std::printf("%-55s %5s %10zu %7zu %10.3f %10.3f %6.2f\n", name.c_str(), heap, bytes, nodes, t.parse_ms,
                t.build_ms, ratio);
    std::printf(
        "{\"bench\":\"graph_build\",\"description\":\"%s\",\"heap\":\"%s\",\"bytes\":%zu,"
        "\"nodes\":%zu,\"parse_ms\":%.4f,\"build_ms\":%.4f,\"ratio\":%.3f}\n",
        name.c_str(), heap, bytes, nodes, t.parse_ms, t.build_ms, ratio);
}

}  // namespace

int main(int argc, char** argv) {
    const fs::path dir = argc > 1 ? fs::path(argv[1]) : default_dir();
    const std::size_t count = argc > 2 ? std::stoul(argv[2]) : 3;
    const int repeats = argc > 3 ? std::stoi(argv[3]) : 31;

    std::vector<fs::path> files;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(dir, error))
        if (entry.path().extension() == ".xml") files.push_back(entry.path());
    if (files.empty()) {
        std::fprintf(stderr, "no .xml descriptions in %s\n", dir.c_str());
        return 1;
    }
    std::sort(files.begin(), files.end(),
              [](const fs::path& a, const fs::path& b) { return fs::file_size(a) > fs::file_size(b); });
    files.resize(std::min(count, files.size()));

    // Keep freed memory in the process unless a cold run asks for it to be handed back.
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    mallopt(M_MMAP_THRESHOLD, 1 << 30);
    std::printf("%-55s %5s %10s %7s %10s %10s %6s\n", "description", "heap", "bytes", "nodes", "parse ms",
                "build ms", "ratio");
    for (const auto& path : files) {
        const std::string text = read_file(path);
        auto graph = korvalite::genicam::parse_description(text);
        if (!graph) {
            std::fprintf(stderr, "%s: %s\n", path.c_str(), graph.error().message().c_str());
            return 1;
        }
        const std::string name = path.filename().string();
        report(name, text.size(), graph->size(), "warm", measure(text, repeats, false));
        report(name, text.size(), graph->size(), "cold", measure(text, repeats, true));
    }
    return 0;
}
