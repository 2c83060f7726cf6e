#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <thread>

#include "capture_sink.hpp"
#include "korvalite/thread_util.hpp"

using namespace korvalite;
using namespace std::chrono_literals;

namespace {

std::vector<std::string> warnings_applying_on_worker(ThreadConfig config) {
    test_support::ScopedCapture capture;
    auto t = spawn_named("korvalite-test", [&] { config.apply_logged(); });
    EXPECT_TRUE(t);
    t->join();
    for (const auto& e : capture->snapshot()) EXPECT_EQ(e.target, "korvalite::thread_util");
    return capture->messages(log::Level::Warn);
}

}  // namespace

TEST(ThreadConfig, DefaultDoesNothingAndLogsNothing) {
    EXPECT_TRUE(warnings_applying_on_worker({}).empty());
    EXPECT_TRUE(warnings_applying_on_worker({std::nullopt, -5}).empty());
}

TEST(ThreadConfig, OutOfRangeCpuSkipsThePriority) {
    const long n = ::sysconf(_SC_NPROCESSORS_CONF);
    auto warnings = warnings_applying_on_worker({static_cast<std::size_t>(n), 100});
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0], "thread scheduling not applied: CPU " + std::to_string(n) + " out of range 0.." +
                               std::to_string(n - 1));
}

TEST(ThreadConfig, OutOfRangePriority) {
    const int min = ::sched_get_priority_min(SCHED_FIFO), max = ::sched_get_priority_max(SCHED_FIFO);
    auto warnings = warnings_applying_on_worker({std::nullopt, max + 1});
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0], "thread scheduling not applied: SCHED_FIFO priority " + std::to_string(max + 1) +
                               " out of range [" + std::to_string(min) + "..=" + std::to_string(max) + "]");
}

TEST(ThreadConfig, PinningToAnExistingCpuWorks) {
    std::optional<int> cpu_seen;
    auto t = spawn_named("korvalite-pin", [&] {
        ThreadConfig{0, 0}.apply_logged();
        cpu_set_t set;
        CPU_ZERO(&set);
        if (::pthread_getaffinity_np(::pthread_self(), sizeof set, &set) == 0 && CPU_COUNT(&set) == 1 &&
            CPU_ISSET(0, &set))
            cpu_seen = 0;
    });
    ASSERT_TRUE(t);
    t->join();
    EXPECT_EQ(cpu_seen, 0);
}

TEST(ThreadName, LongNamesStillStartWithTheLongestPrefix) {
    std::string seen;
    auto t = spawn_named("korvalite-gvsp12", [&] {
        char name[32] = {};
        ::pthread_getname_np(::pthread_self(), name, sizeof name);
        seen = name;
    });
    ASSERT_TRUE(t);
    t->join();
    EXPECT_EQ(seen, "korvalite-gvsp1");
}

TEST(ThreadHandle, DropStopsWakesAndJoins) {
    std::atomic<bool> woke{false};
    std::atomic<bool> finished{false};
    {
        auto handle = ThreadHandle::create();
        auto waker = net::Waker::create();
        ASSERT_TRUE(waker);
        auto poller = net::Poller::create();
        ASSERT_TRUE(poller);
        ASSERT_TRUE(poller->add_readable((*waker)->fd(), net::kWakerToken));
        handle.set_waker(*waker);
        auto stop = handle.stop_flag();
        auto alive = handle.alive_flag();
        EXPECT_TRUE(handle.is_alive());
        auto t = spawn_named("korvalite-test", [&, stop, alive, p = std::move(*poller), w = *waker]() mutable {
            epoll_event events[net::kMaxEvents];
            do {  // waits at least once: a wake-up sent before the wait still ends it
                auto n = p.wait(events, -1);  // only the waker can end this wait
                if (n && *n > 0) {
                    woke = true;
                    w->drain();
                }
            } while (!stop->load());
            finished = true;
            alive->store(false);
        });
        ASSERT_TRUE(t);
        handle.set_handle(std::move(*t));
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(woke.load());
    EXPECT_TRUE(finished.load());
}

TEST(ThreadHandle, WithoutThreadReturnsAtOnceAndUnarmedDoesNothing) {
    std::shared_ptr<std::atomic<bool>> stop;
    {
        auto handle = ThreadHandle::create();
        stop = handle.stop_flag();
        EXPECT_FALSE(stop->load());
    }
    EXPECT_TRUE(stop->load());
    ThreadHandle unarmed;
    EXPECT_FALSE(unarmed.is_armed());
    EXPECT_FALSE(unarmed.is_alive());
}
