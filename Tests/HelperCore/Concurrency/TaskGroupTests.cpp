#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <latch>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "HelperCore/Concurrency/TaskGroup.hpp"
#include "HelperCore/Concurrency/TaskPool.hpp"
#include "Support/JobFailureLines.hpp"
#include "Support/ThreadCensus.hpp"
#include "Support/WaitUntil.hpp"

namespace tavrel {
namespace {

using namespace std::chrono_literals;

// Blocks until its stop token is requested, as a child waiting on a stream does.
void waitForStop(std::stop_token stop) {
    std::mutex mutex;
    std::condition_variable_any never;
    std::unique_lock lock(mutex);
    never.wait(lock, stop, [] { return false; });
}

TEST(TaskGroup, ChildrenRunAtOnceWithoutALimitAndCancelAllWakesThem) {
    TaskPool pool;
    TaskGroup group(pool);
    constexpr int children = 24;
    std::latch allStarted(children);
    std::atomic<int> stopped{0};
    for (int i = 0; i < children; ++i) {
        group.spawn([&](std::stop_token stop) {
            allStarted.count_down();
            waitForStop(stop);
            ++stopped;
        });
    }
    allStarted.wait();  // would hang if children waited for a free thread
    EXPECT_EQ(group.active(), static_cast<std::size_t>(children));
    group.cancelAll();
    group.waitAll();
    EXPECT_EQ(stopped, children);
    EXPECT_EQ(group.active(), 0u);

    std::atomic<bool> startedCancelled{false};
    group.spawn([&](std::stop_token stop) { startedCancelled = stop.stop_requested(); });
    group.waitAll();
    EXPECT_TRUE(startedCancelled);
}

TEST(TaskGroup, AParentStopCancelsTheChildrenAndTheDestructorWaitsForThem) {
    TaskPool pool;
    std::stop_source parent;
    std::atomic<bool> finished{false};
    {
        TaskGroup group(pool, parent.get_token());
        group.spawn([&](std::stop_token stop) {
            waitForStop(stop);
            std::this_thread::sleep_for(20ms);
            finished = true;
        });
        parent.request_stop();
        EXPECT_TRUE(group.isCancelled());
    }
    EXPECT_TRUE(finished);
}

TEST(TaskGroup, WaitAllRethrowsTheFirstEscapedErrorOnce) {
    TaskGroup group;
    group.spawn([](std::stop_token) { throw std::runtime_error("child failed"); });
    EXPECT_THROW(group.waitAll(), std::runtime_error);
    group.spawn([](std::stop_token) {});
    EXPECT_NO_THROW(group.waitAll());
}

TEST(TaskGroup, AnEscapedErrorNobodyWaitedForIsLoggedAsTheGroupEnds) {
    testing::JobFailureLines logged;
    {
        TaskGroup group;
        group.spawn([](std::stop_token) { throw std::runtime_error("child failed"); });
    }
    EXPECT_EQ(logged.taken(),
              std::vector<std::string>{"[error] a job on a task group failed: child failed"});
    {
        TaskGroup group;
        group.spawn([](std::stop_token) { throw std::runtime_error("child failed"); });
        EXPECT_THROW(group.waitAll(), std::runtime_error);
    }
    EXPECT_EQ(logged.taken().size(), 1u) << "a collected error is not logged again";
}

TEST(TaskPool, ReusesIdleWorkersAndTrimEndsThem) {
    const auto before = testing::threadsNamed("tavrel.test");
    {
        TaskPool pool("tavrel.test", 4);
        for (int i = 0; i < 50; ++i) {
            std::latch done(1);
            pool.run([&] { done.count_down(); });
            done.wait();
            // The worker may not be back to idle yet; it must be reused, not multiplied.
            EXPECT_LE(pool.threadCount(), 2u);
        }
        std::latch busy(6);
        std::latch release(1);
        for (int i = 0; i < 6; ++i) {
            pool.run([&] {
                busy.count_down();
                release.wait();
            });
        }
        busy.wait();
        EXPECT_GE(pool.threadCount(), 6u);
        release.count_down();
        // Workers beyond maxIdle end as they finish.
        EXPECT_TRUE(testing::waitUntil([&] { return pool.threadCount() == 4; }))
            << "no more than maxIdle workers stay: " << pool.threadCount();
        EXPECT_TRUE(testing::waitUntil([&] { return pool.idleCount() == 4; }));
        pool.trim();
        EXPECT_EQ(pool.threadCount(), 0u);
        EXPECT_EQ(testing::threadsNamed("tavrel.test"), before);
        std::latch again(1);
        pool.run([&] { again.count_down(); });
        again.wait();
    }
    EXPECT_EQ(testing::threadsNamed("tavrel.test"), before);
}

}  // namespace
}  // namespace tavrel
