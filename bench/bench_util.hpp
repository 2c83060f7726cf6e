#pragma once
// Small helpers shared by the benchmarks: JSON lines, per-thread CPU time by thread name,
// resident memory, percentiles and reading files.
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// One JSON object on one line: {"bench": name, key: value, ...}. Keys and text values are
// plain identifiers and file names here, so no escaping is needed.
class JsonLine {
public:
    explicit JsonLine(const std::string& bench) { text_ = "{\"bench\": \"" + bench + "\""; }
    JsonLine& add(const char* key, const std::string& value) {
        text_ += std::string(", \"") + key + "\": \"" + value + "\"";
        return *this;
    }
    JsonLine& add(const char* key, const char* value) { return add(key, std::string(value)); }
    JsonLine& add(const char* key, double value) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.6g", value);
        text_ += std::string(", \"") + key + "\": " + buf;
        return *this;
    }
    JsonLine& add(const char* key, std::uint64_t value) {
        text_ += std::string(", \"") + key + "\": " + std::to_string(value);
        return *this;
    }
    JsonLine& add(const char* key, std::uint32_t value) { return add(key, std::uint64_t{value}); }
    JsonLine& add(const char* key, int value) { return add(key, static_cast<double>(value)); }
    JsonLine& add(const char* key, bool value) {
        text_ += std::string(", \"") + key + "\": " + (value ? "true" : "false");
        return *this;
    }
    void print() const {
        std::printf("%s}\n", text_.c_str());
        std::fflush(stdout);
    }

private:
    std::string text_;
};

// The kernel thread id of this process's thread named `name` (the newest one), or 0.
inline pid_t thread_id_named(const std::string& name) {
    pid_t found = 0;
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", error)) {
        std::ifstream comm(task.path() / "comm");
        std::string line;
        if (!std::getline(comm, line) || line != name) continue;
        found = std::max<pid_t>(found, static_cast<pid_t>(std::stol(task.path().filename().string())));
    }
    return found;
}

// CPU time (user and system) thread `tid` of this process has used so far, in nanoseconds,
// from the scheduler's own nanosecond account.
inline std::uint64_t thread_cpu_ns(pid_t tid) {
    if (tid == 0) return 0;
    std::ifstream schedstat("/proc/self/task/" + std::to_string(tid) + "/schedstat");
    std::uint64_t ns = 0;
    schedstat >> ns;
    return ns;
}

// Resident memory of this process in bytes.
inline std::uint64_t resident_bytes() {
    std::ifstream statm("/proc/self/statm");
    std::uint64_t size = 0, resident = 0;
    statm >> size >> resident;
    return resident * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
}

// The q-quantile (0..1) of `values`, which it sorts.
inline double quantile(std::vector<double>& values, double q) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(q * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

inline std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The folder of real camera descriptions next to the project.
inline std::filesystem::path descriptions_dir() {
    return std::filesystem::path(__FILE__).parent_path() / ".." / ".." / "shared" / "genicam-xml";
}

// Description files (.xml and .zip) in `dir`, largest first.
inline std::vector<std::filesystem::path> description_files(const std::filesystem::path& dir) {
    std::vector<std::filesystem::path> files;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
        const auto ext = entry.path().extension();
        if (ext == ".xml" || ext == ".zip") files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end(), [](const auto& a, const auto& b) {
        return std::filesystem::file_size(a) > std::filesystem::file_size(b);
    });
    return files;
}

}  // namespace bench
