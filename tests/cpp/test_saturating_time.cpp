// Very long time-outs stay very long: products, sums and deadlines are held at the clock's
// range instead of wrapping into an immediate time-out.
#include <gtest/gtest.h>

#include <thread>

#include "korvalite/gige/control/control_port.hpp"
#include "korvalite/gige/control/response_handle.hpp"
#include "korvalite/saturating_time.hpp"

using namespace korvalite;
using namespace std::chrono_literals;

namespace {
constexpr auto kMax = SteadyClock::duration::max();
}

TEST(SaturatingTime, ProductsSumsAndDeadlinesHoldAtTheRange) {
    const struct {
        SteadyClock::duration d;
        std::int64_t n;
        SteadyClock::duration product;
    } products[] = {{500ms, 5, 2500ms}, {0ms, 1000, 0ms}, {kMax / 2, 2, kMax - kMax % 2}, {kMax / 2, 3, kMax},
                    {kMax, 256, kMax}};
    for (const auto& p : products) EXPECT_EQ(saturating_mul(p.d, p.n), p.product) << p.d.count() << " x " << p.n;

    EXPECT_EQ(saturating_add(1s, 500ms), 1500ms);
    EXPECT_EQ(saturating_add(kMax - 1ns, 2ns), kMax);

    const auto now = SteadyClock::now();
    EXPECT_EQ(deadline_after(now, 1s), now + 1s);
    EXPECT_EQ(deadline_after(now, kMax), std::nullopt);
    EXPECT_EQ(saturating_deadline(now, kMax), SteadyClock::time_point::max());
}

TEST(SaturatingTime, ControlWaitsOfAHugeAcknowledgeTimeoutStayHuge) {
    // 9e9 s fits the clock, but 256 tries of it do not.
    const auto huge = std::chrono::duration_cast<SteadyClock::duration>(std::chrono::seconds(9'000'000'000));
    EXPECT_EQ(gige::operation_wait_timeout(huge, 255), kMax);
    EXPECT_EQ(gige::operation_wait_timeout(huge / 1000, 0), huge / 1000 + 500ms);

    // Waiting "for ever" on a slot filled a little later returns its value, not a time-out.
    gige::ResponseHandle<std::uint32_t> slot;
    std::jthread filler([slot] {
        std::this_thread::sleep_for(20ms);
        slot.fulfill(42u);
    });
    EXPECT_EQ(slot.wait_timeout(kMax).value(), 42u);
}
