#include <gtest/gtest.h>

#include <atomic>
#include <numeric>
#include <set>
#include <thread>

#include "korvalite/mpmc_channel.hpp"

using namespace korvalite;
using namespace std::chrono_literals;

TEST(Channel, BoundedReportsFullAndHandsTheValueBack) {
    auto [tx, rx] = bounded<std::unique_ptr<int>>(2);
    ASSERT_TRUE(tx.try_send(std::make_unique<int>(1)));
    ASSERT_TRUE(tx.try_send(std::make_unique<int>(2)));
    auto full = tx.try_send(std::make_unique<int>(3));
    ASSERT_FALSE(full);
    EXPECT_EQ(full.error().kind, TrySendErrorKind::Full);
    EXPECT_EQ(*full.error().value, 3);
    EXPECT_EQ(**rx.try_recv(), 1);
    EXPECT_EQ(**rx.try_recv(), 2);
    EXPECT_EQ(rx.try_recv().error(), TryRecvError::Empty);
}

TEST(Channel, DisconnectionAfterDrainingAndForSenders) {
    auto [tx, rx] = unbounded<int>();
    ASSERT_TRUE(tx.try_send(1));
    ASSERT_TRUE(tx.try_send(2));
    {
        Sender<int> gone = std::move(tx);
    }
    // Receivers drain what was queued before they see the disconnection.
    EXPECT_EQ(*rx.try_recv(), 1);
    EXPECT_EQ(*rx.recv_timeout(10ms), 2);
    EXPECT_EQ(rx.try_recv().error(), TryRecvError::Disconnected);
    EXPECT_EQ(rx.recv_deadline().error(), RecvTimeoutError::Disconnected);

    auto [tx2, rx2] = bounded<int>(4);
    { Receiver<int> gone = std::move(rx2); }
    auto r = tx2.try_send(5);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, TrySendErrorKind::Disconnected);
    EXPECT_TRUE(tx2.is_disconnected());
}

TEST(Channel, ClonesCountAsEnds) {
    auto [tx, rx] = unbounded<int>();
    std::optional<Sender<int>> clone(tx);
    { Sender<int> gone = std::move(tx); }
    EXPECT_FALSE(rx.is_disconnected());
    ASSERT_TRUE(clone->try_send(9));
    clone.reset();
    EXPECT_EQ(*rx.try_recv(), 9);
    EXPECT_EQ(rx.try_recv().error(), TryRecvError::Disconnected);
}

TEST(Channel, DeadlineTimesOutWithoutSenders) {
    auto [tx, rx] = bounded<int>(1);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(rx.recv_timeout(20ms).error(), RecvTimeoutError::Timeout);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 20ms);
    EXPECT_EQ(rx.recv_deadline(std::chrono::steady_clock::now() - 1s).error(), RecvTimeoutError::Timeout);
}

TEST(Channel, DisconnectionWakesABlockedReceiver) {
    auto [tx, rx] = unbounded<int>();
    std::atomic<int> outcome{-1};
    std::thread waiter([&, rx = rx] {
        auto r = const_cast<Receiver<int>&>(rx).recv_deadline();
        outcome = r ? 0 : static_cast<int>(r.error());
    });
    std::this_thread::sleep_for(20ms);
    { Sender<int> gone = std::move(tx); }
    waiter.join();
    EXPECT_EQ(outcome.load(), static_cast<int>(RecvTimeoutError::Disconnected));
}

// A watcher waits for a value without taking it, and never takes a blocked taker's wake-up.
TEST(Channel, WaitReadableLeavesTheValueAndTheTakerIsWoken) {
    auto [tx, rx] = unbounded<int>();
    const auto soon = [](auto d) { return std::chrono::steady_clock::now() + d; };
    EXPECT_FALSE(rx.wait_readable(soon(10ms)));
    std::atomic<int> taken{-1};
    std::thread watcher([&, rx = rx] { (void)rx.wait_readable(soon(200ms)); });
    std::thread taker([&, rx = rx] { taken = const_cast<Receiver<int>&>(rx).recv_timeout(5s).value_or(-1); });
    std::this_thread::sleep_for(20ms);
    ASSERT_TRUE(tx.try_send(7));
    watcher.join();
    taker.join();
    EXPECT_EQ(taken.load(), 7);
    ASSERT_TRUE(tx.try_send(8));
    EXPECT_TRUE(rx.wait_readable(soon(10ms)));
    EXPECT_EQ(*rx.try_recv(), 8);  // still queued after the watch
    { Sender<int> gone = std::move(tx); }
    EXPECT_TRUE(rx.wait_readable());  // no sender left: readable at once, with nothing queued
}

// Several producers and consumers, bounded and unbounded: every value arrives exactly once,
// and consumers blocked without deadline end when the last producer goes.
class ChannelStress : public ::testing::TestWithParam<std::optional<std::size_t>> {};

TEST_P(ChannelStress, EveryValueArrivesOnce) {
    constexpr int kProducers = 4, kConsumers = 4, kPerProducer = 20000;
    for (int round = 0; round < 3; ++round) {
        auto [tx, rx] = make_channel<int>(GetParam());
        std::vector<std::vector<int>> received(kConsumers);
        std::vector<std::thread> threads;
        for (int c = 0; c < kConsumers; ++c)
            threads.emplace_back([&received, c, rx = rx]() mutable {
                for (;;) {
                    auto v = rx.recv_deadline();
                    if (!v) {
                        EXPECT_EQ(v.error(), RecvTimeoutError::Disconnected);
                        return;
                    }
                    received[c].push_back(*v);
                }
            });
        { Receiver<int> mine = std::move(rx); }
        for (int p = 0; p < kProducers; ++p)
            threads.emplace_back([p, tx = tx]() mutable {
                for (int i = 0; i < kPerProducer; ++i) {
                    int value = p * kPerProducer + i;
                    for (;;) {
                        auto r = tx.try_send(value);
                        if (r) break;
                        ASSERT_EQ(r.error().kind, TrySendErrorKind::Full);
                        std::this_thread::yield();
                    }
                }
            });
        { Sender<int> mine = std::move(tx); }
        for (auto& t : threads) t.join();

        std::vector<int> all;
        for (auto& r : received) all.insert(all.end(), r.begin(), r.end());
        ASSERT_EQ(all.size(), std::size_t{kProducers * kPerProducer});
        std::sort(all.begin(), all.end());
        for (int i = 0; i < kProducers * kPerProducer; ++i) ASSERT_EQ(all[i], i);
        // Each consumer sees each producer's values in the order they were sent.
        for (auto& r : received)
            for (std::size_t i = 1; i < r.size(); ++i) {
                if (r[i] / kPerProducer == r[i - 1] / kPerProducer) {
                    ASSERT_LT(r[i - 1], r[i]);
                }
            }
    }
}

INSTANTIATE_TEST_SUITE_P(BoundedAndUnbounded, ChannelStress,
                         ::testing::Values(std::optional<std::size_t>(1), std::optional<std::size_t>(64),
                                           std::optional<std::size_t>()));

TEST(Channel, DroppingTheLastReceiverReleasesQueuedValues) {
    auto counter = std::make_shared<int>(0);
    auto [tx, rx] = bounded<std::shared_ptr<int>>(4);
    ASSERT_TRUE(tx.try_send(counter));
    EXPECT_EQ(counter.use_count(), 2);
    { Receiver<std::shared_ptr<int>> gone = std::move(rx); }
    EXPECT_EQ(counter.use_count(), 1);
}

TEST(RingQueue, KeepsOrderAcrossWrapAndGrowth) {
    RingQueue<std::unique_ptr<int>> q;
    int next_in = 0, next_out = 0;
    for (int round = 0; round < 50; ++round) {  // depth goes up and down, head wraps around
        for (int i = 0; i < round % 7 + 1; ++i) q.push_back(std::make_unique<int>(next_in++));
        for (int i = 0; i < round % 5 && !q.empty(); ++i) EXPECT_EQ(*q.pop_front(), next_out++);
    }
    EXPECT_EQ(q.size(), static_cast<std::size_t>(next_in - next_out));
    while (!q.empty()) EXPECT_EQ(*q.pop_front(), next_out++);
    EXPECT_EQ(next_out, next_in);
}
