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
    Queue() {
        auto [tx, rx] = bounded<FramePtr>(8);
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

    std::optional<FramePool> pool = FramePool::create(8, 16);
    std::optional<Sender<FramePtr>> worker;  // reset: the stream has ended
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

    for (std::uint64_t id : {1, 2, 3}) q.push(id);
    EXPECT_EQ(q.subscription->try_recv()->frame_id(), 1u);
    q.subscription->clear();
    EXPECT_EQ(q.subscription->try_recv(), nullptr);
    EXPECT_EQ(q.pool->free_slots(), 8u);  // every buffer went back to the pool
}

TEST(FrameChannel, WaitForRunsOutWaitsWithoutLimitAndEndsAtOnceAfterTheStream) {
    Queue q;
    auto start = Clock::now();
    EXPECT_EQ(q.subscription->wait_for(50ms), nullptr);
    EXPECT_GE(Clock::now() - start, 45ms);

    // A time-out past the clock's range must not wrap into the past.
    std::thread late([&] {
        std::this_thread::sleep_for(100ms);
        q.push(42);
    });
    auto frame = q.subscription->wait_for(Clock::duration::max());
    late.join();
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(frame->frame_id(), 42u);

    q.push(5);
    q.worker.reset();
    EXPECT_TRUE(q.subscription->has_ended());
    frame = q.subscription->wait_for(10s);  // queued frames still come after the end...
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(frame->frame_id(), 5u);
    start = Clock::now();  // ...and then the wait returns at once
    EXPECT_EQ(q.subscription->wait_for(10s), nullptr);
    EXPECT_EQ(q.subscription->wait_for(Clock::duration::max()), nullptr);
    EXPECT_LT(Clock::now() - start, 5s);
}
