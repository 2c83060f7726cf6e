#pragma once
// What every harness needs besides the code under test: a way to fail loudly on a broken
// invariant, and a reader that turns one fuzzer input into the pieces a harness consumes.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <span>

// The fuzzer's entry point, implemented once per harness.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

// Aborts with the failed condition, which the fuzzer (or the seed replay) reports as a finding.
#define KORVALITE_FUZZ_CHECK(condition)                                                          \
    do {                                                                                         \
        if (!(condition)) {                                                                      \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);    \
            std::abort();                                                                        \
        }                                                                                        \
    } while (false)

namespace korvalite::fuzz {

using Bytes = std::span<const std::byte>;

// Bytes are taken from the front and numbers from the back, so that a mutation that grows the
// front (a longer text, one more datagram) leaves the numbers where they were.
class FuzzInput {
public:
    FuzzInput(const std::uint8_t* data, std::size_t size)
        : rest_(reinterpret_cast<const std::byte*>(data), size) {}
    explicit FuzzInput(Bytes bytes) : rest_(bytes) {}

    bool empty() const { return rest_.empty(); }
    Bytes rest() const { return rest_; }

    // Up to `n` bytes from the front.
    Bytes take_front(std::size_t n) {
        const Bytes taken = rest_.first(n < rest_.size() ? n : rest_.size());
        rest_ = rest_.subspan(taken.size());
        return taken;
    }

    // The bytes before the first `separator` (or all of them); the separator is consumed.
    Bytes take_until(std::byte separator) {
        std::size_t n = 0;
        while (n < rest_.size() && rest_[n] != separator) ++n;
        const Bytes taken = rest_.first(n);
        rest_ = rest_.subspan(n < rest_.size() ? n + 1 : n);
        return taken;
    }

    // A datagram framed by a 2-byte big-endian length; a length beyond the input takes what is
    // left. nullopt once the input is used up.
    std::optional<Bytes> take_datagram() {
        if (rest_.empty()) return std::nullopt;
        const Bytes header = take_front(2);
        std::size_t length = std::to_integer<std::size_t>(header[0]);
        if (header.size() == 2) length = (length << 8) | std::to_integer<std::size_t>(header[1]);
        return take_front(length);
    }

    // An unsigned number from the back, little end last; zero bits once the input is used up.
    std::uint64_t take_u64(int bytes = 8) {
        std::uint64_t value = 0;
        for (int i = 0; i < bytes && !rest_.empty(); ++i) {
            value = (value << 8) | std::to_integer<std::uint64_t>(rest_.back());
            rest_ = rest_.first(rest_.size() - 1);
        }
        return value;
    }

    bool take_bool() { return (take_u64(1) & 1) != 0; }
    std::int64_t take_i64() { return static_cast<std::int64_t>(take_u64()); }
    // Any double, NaNs and infinities included.
    double take_double() { return std::bit_cast<double>(take_u64()); }

private:
    Bytes rest_;
};

}  // namespace korvalite::fuzz
