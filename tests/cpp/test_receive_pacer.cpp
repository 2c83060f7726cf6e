#include <gtest/gtest.h>

#include "korvalite/gige/stream/detail/receive_pacer.hpp"

using korvalite::gige::stream::ReceivePacer;
using namespace std::chrono_literals;

// A socket buffer of 400 000 bytes: a pause may let 100 000 bytes of charge gather, that is
// 50 000 bytes of datagrams.
TEST(ReceivePacer, ShrinksWhenTheSocketFillsAndGrowsBackToTheMaximum) {
    ReceivePacer pacer(100us, 400'000);
    EXPECT_EQ(pacer.pause(), 100us);
    pacer.gathered(60'000);
    EXPECT_EQ(pacer.pause(), 50us);
    pacer.gathered(30'000);  // between a half and the whole budget: kept
    EXPECT_EQ(pacer.pause(), 50us);
    for (int i = 0; i < 6; ++i) pacer.gathered(60'000);
    EXPECT_EQ(pacer.pause(), 0us) << "a burst that fills the budget in a few microseconds gets no pause";
    pacer.gathered(1'000);
    EXPECT_EQ(pacer.pause(), 5us);
    for (int i = 0; i < 40; ++i) pacer.gathered(1'000);
    EXPECT_EQ(pacer.pause(), 100us) << "never beyond the maximum";
}

TEST(ReceivePacer, NoMaximumMeansNoPause) {
    for (auto max : {0us, -5us}) {
        ReceivePacer pacer(max, 400'000);
        pacer.gathered(10);
        EXPECT_EQ(pacer.pause(), 0us);
    }
    ReceivePacer unknown_buffer(100us, 0);  // buffer size unknown: every gathering is too much
    unknown_buffer.gathered(1);
    EXPECT_EQ(unknown_buffer.pause(), 50us);
}
