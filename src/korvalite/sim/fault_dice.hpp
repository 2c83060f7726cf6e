#pragma once
// Seeded coin flips for fault injection: the same seed gives the same faults in the same order.
#include <cstdint>
#include <random>

namespace korvalite::sim {

class FaultDice {
public:
    explicit FaultDice(std::uint64_t seed = 0) : rng_(seed) {}

    // True with probability p (never for p <= 0, always for p >= 1).
    bool roll(double p) {
        if (p <= 0.0) return false;
        if (p >= 1.0) return true;
        return static_cast<double>(rng_() >> 11) * 0x1.0p-53 < p;
    }

private:
    std::mt19937_64 rng_;
};

// Each kind of fault draws from its own sequence, so enabling one does not shift another.
namespace dice_salt {
inline constexpr std::uint64_t kStream = 0x53545245414D0001;
inline constexpr std::uint64_t kResend = 0x524553454E440002;
inline constexpr std::uint64_t kAck = 0x41434B4E4F570003;
}  // namespace dice_salt

}  // namespace korvalite::sim
