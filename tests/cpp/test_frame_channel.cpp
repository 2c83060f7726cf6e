// Subscriptions on their own: frames made by hand, queued by a sending end that plays the
// stream worker.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "korvalite/gige/stream/frame_channel.hpp"

using namespace korvalite;
using namespace korvalite::gige::stream;
using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;

struct Queue {
    explicit Queue(std::size_t capacity = 8) {
        auto [tx, rx] = bounded<FramePtr>(capacity);
        worker.emplace(std::move(tx));
        subscription.emplace(std::move(rx));
    }
    void push(std::uint64_t frame_id) {
        FrameInfo info;
        info.frame_id = frame_id;
        auto slot = pool->try_take();
        ASSERT_TRUE(slot);
        ASSERT_TRUE(worker->try_send(std::make_shared<const Frame>(PooledBuf(std::move(*slot), pool->returns()), info)));
    }
    void end_stream() { worker.reset(); }

    std::optional<FramePool> pool = FramePool::create(8, 16);
    std::optional<Sender<FramePtr>> worker;
    std::optional<FrameChannel> subscription;
};

std::vector<std::uint64_t> ids(const std::vector<FramePtr>& frames) {
    std::vector<std::uint64_t> out;
    for (const auto& f : frames) out.push_back(f->frame_id());
    return out;
}

}  // namespace

TEST(FrameChannel, RecvAllTryRecvAndClearTakeWhatIsQueuedOldestFirst) {
    Queue q;
    EXPECT_TRUE(q.subscription->recv_all().empty());
    EXPECT_EQ(q.subscription->try_recv(), nullptr);
    for (std::uint64_t id : {7, 8, 9}) q.push(id);
    EXPECT_EQ(ids(q.subscription->recv_all()), (std::vector<std::uint64_t>{7, 8, 9}));
    EXPECT_EQ(q.subscription->queued(), 0u);
    EXPECT_EQ(q.pool->free_slots(), 8u);  // the taken frames were dropped: their buffers came back

    for (std::uint64_t id : {1, 2, 3}) q.push(id);
    EXPECT_EQ(q.subscription->try_recv()->frame_id(), 1u);
    q.subscription->clear();
    EXPECT_EQ(q.subscription->try_recv(), nullptr);
    EXPECT_EQ(q.pool->free_slots(), 8u);
}

TEST(FrameChannel, ClonesShareOneQueueAndEachFrameGoesToOneTaker) {
    Queue q;
    FrameChannel clone = *q.subscription;
    for (std::uint64_t id : {1, 2, 3, 4}) q.push(id);
    EXPECT_EQ(clone.try_recv()->frame_id(), 1u);
    EXPECT_EQ(q.subscription->try_recv()->frame_id(), 2u);
    EXPECT_EQ(ids(clone.recv_all()), (std::vector<std::uint64_t>{3, 4}));
    EXPECT_TRUE(q.subscription->recv_all().empty());
}

TEST(FrameChannel, WaitForRunsOutOnAnEmptyQueueAndEndsAtOnceAfterTheStreamEnded) {
    Queue q;
    auto start = Clock::now();
    EXPECT_EQ(q.subscription->wait_for(50ms), nullptr);
    EXPECT_GE(Clock::now() - start, 45ms);

    q.push(5);
    q.end_stream();
    EXPECT_TRUE(q.subscription->has_ended());
    // Queued frames are still delivered after the end...
    auto queued = q.subscription->wait_for(10s);
    ASSERT_NE(queued, nullptr);
    EXPECT_EQ(queued->frame_id(), 5u);
    // ...and then the wait returns at once, whatever the time-out.
    start = Clock::now();
    EXPECT_EQ(q.subscription->wait_for(10s), nullptr);
    EXPECT_EQ(q.subscription->wait_for(Clock::duration::max()), nullptr);
    EXPECT_LT(Clock::now() - start, 5s);
}

TEST(FrameChannel, ATimeOutBeyondTheClockWaitsWithoutLimit) {
    Queue q;
    std::thread late([&] {
        std::this_thread::sleep_for(100ms);
        q.push(42);
    });
    auto frame = q.subscription->wait_for(Clock::duration::max());
    late.join();
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(frame->frame_id(), 42u);
}

TEST(FrameChannel, IterationChecksSignalsAfterEmptySlicesAndEndsWithTheStream) {
    Queue q;
    // An empty slice calls the check; refusing ends the wait as interrupted.
    int checks = 0;
    auto interrupted = q.subscription->next([&] { return ++checks < 2; });
    ASSERT_FALSE(interrupted);
    EXPECT_EQ(interrupted.error(), IterationEnd::Interrupted);
    EXPECT_EQ(checks, 2);

    // Frames come without any check; queued frames come before the end.
    checks = 0;
    q.push(1);
    q.push(2);
    q.end_stream();
    std::vector<std::uint64_t> seen;
    std::expected<FramePtr, IterationEnd> step;
    while ((step = q.subscription->next([&] { return ++checks, true; }))) seen.push_back((*step)->frame_id());
    EXPECT_EQ(step.error(), IterationEnd::StreamEnded);
    EXPECT_EQ(seen, (std::vector<std::uint64_t>{1, 2}));
    EXPECT_EQ(checks, 0);
}

TEST(FrameChannel, IterationSeesAStreamThatEndsWhileWaiting) {
    Queue q;
    std::atomic<int> checks{0};
    std::thread ender([&] {
        std::this_thread::sleep_for(250ms);
        q.end_stream();
    });
    auto step = q.subscription->next([&] { return ++checks, true; });
    ender.join();
    ASSERT_FALSE(step);
    EXPECT_EQ(step.error(), IterationEnd::StreamEnded);
    EXPECT_GE(checks.load(), 1);  // at least one empty 100 ms slice came first
}
