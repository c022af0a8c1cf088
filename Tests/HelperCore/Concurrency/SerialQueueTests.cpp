#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <latch>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "HelperCore/Concurrency/RepeatingTimer.hpp"
#include "HelperCore/Concurrency/SerialQueue.hpp"
#include "HelperCore/Concurrency/ThreadName.hpp"
#include "Support/WaitUntil.hpp"

namespace tavrel {
namespace {

using namespace std::chrono_literals;

TEST(SerialQueue, RunsWorkOneAtATimeInQueueOrderOnANamedThread) {
    SerialQueue queue("tavrel.socket.write.extra");
    std::mutex mutex;
    std::vector<int> seen;
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    std::vector<std::thread> producers;
    for (int p = 0; p < 4; ++p) {
        producers.emplace_back([&, p] {
            for (int i = 0; i < 200; ++i) {
                queue.async([&, value = p * 1000 + i] {
                    if (inside.fetch_add(1) != 0) overlapped = true;
                    {
                        std::lock_guard lock(mutex);
                        seen.push_back(value);
                    }
                    inside.fetch_sub(1);
                });
            }
        });
    }
    for (auto& producer : producers) producer.join();
    std::promise<std::string> named;
    queue.async([&] { named.set_value(currentThreadName()); });
    const auto name = named.get_future().get();
    EXPECT_EQ(name, "tavrel.socket.w");  // the first 15 bytes of the label
    EXPECT_FALSE(overlapped);
    ASSERT_EQ(seen.size(), 800u);
    std::vector<int> last(4, -1);
    for (int value : seen) {  // each producer's items keep their order
        EXPECT_GT(value % 1000, last[value / 1000]);
        last[value / 1000] = value % 1000;
    }
}

TEST(SerialQueue, DelayedWorkRunsByDeadlineAndNeverEarly) {
    SerialQueue queue("tavrel.test");
    std::mutex mutex;
    std::vector<std::pair<int, SerialQueue::Clock::duration>> runs;
    const auto start = SerialQueue::Clock::now();
    auto note = [&](int tag) {
        return [&, tag] {
            std::lock_guard lock(mutex);
            runs.emplace_back(tag, SerialQueue::Clock::now() - start);
        };
    };
    queue.asyncAfter(60ms, note(60));
    queue.asyncAfter(20ms, note(20));
    queue.asyncAfter(40ms, note(40));
    queue.async(note(0));
    ASSERT_TRUE(testing::waitUntil([&] {
        std::lock_guard lock(mutex);
        return runs.size() == 4;
    }));
    std::lock_guard lock(mutex);
    for (std::size_t i = 0; i < runs.size(); ++i) {
        EXPECT_EQ(runs[i].first, std::vector<int>({0, 20, 40, 60})[i]);
        EXPECT_GE(runs[i].second, std::chrono::milliseconds(runs[i].first));
    }
}

TEST(SerialQueue, SyncReturnsResultsPassesExceptionsAndRunsInPlaceOnItsOwnQueue) {
    SerialQueue queue("tavrel.test");
    EXPECT_EQ(queue.sync([] { return 42; }), 42);
    EXPECT_THROW(queue.sync([]() -> int { throw std::runtime_error("boom"); }), std::runtime_error);
    // Nested sync on the same queue would deadlock in a naive queue.
    const int nested =
        queue.sync([&] { return queue.sync([&] { return queue.isCurrent() ? 7 : 0; }); });
    EXPECT_EQ(nested, 7);
    EXPECT_FALSE(queue.isCurrent());
    // Sync work run in place on an idle queue still holds the queue: items queued meanwhile wait.
    std::atomic<bool> inSync{false};
    std::atomic<bool> overlapped{false};
    queue.sync([&] {
        inSync = true;
        queue.async([&] { overlapped = inSync.load(); });
        std::this_thread::sleep_for(20ms);
        inSync = false;
    });
    queue.sync([] {});
    EXPECT_FALSE(overlapped);
    // A throwing async item does not end the queue.
    queue.async([] { throw std::runtime_error("ignored"); });
    EXPECT_EQ(queue.sync([] { return 1; }), 1);
}

TEST(SerialQueue, WorkThatFallsDueDuringInPlaceSyncRunsRightAfterIt) {
    // Each case: an item queued for later, and in-place sync work that outlasts its deadline
    // or not. The queue's thread must pick the item up when the sync work lets go.
    struct Case {
        std::chrono::milliseconds delay, syncLasts;
    };
    for (const Case c : {Case{10ms, 40ms}, Case{20ms, 60ms}, Case{40ms, 10ms}}) {
        SerialQueue queue("tavrel.test");
        std::promise<std::chrono::steady_clock::time_point> ran;
        auto ranAt = ran.get_future();
        queue.asyncAfter(c.delay, [&] { ran.set_value(std::chrono::steady_clock::now()); });
        std::this_thread::sleep_for(2ms);  // let the thread settle into its wait
        std::chrono::steady_clock::time_point released;
        queue.sync([&] {
            std::this_thread::sleep_for(c.syncLasts);
            released = std::chrono::steady_clock::now();
        });
        ASSERT_EQ(ranAt.wait_for(2s), std::future_status::ready)
            << c.delay.count() << " ms item after " << c.syncLasts.count() << " ms of sync work";
        EXPECT_GE(ranAt.get(), released);
    }
}

TEST(SerialQueue, StopRunsDueWorkDiscardsLaterWorkAndRefusesNewWork) {
    auto queue = std::make_unique<SerialQueue>("tavrel.test");
    std::promise<void> release;
    auto gate = release.get_future().share();
    std::atomic<int> ran{0};
    auto token = std::make_shared<int>(0);
    std::weak_ptr<int> watch = token;
    queue->async([gate] { gate.wait(); });
    queue->async([&] { ++ran; });
    queue->asyncAfter(10s, [&ran, token = std::move(token)] { ran += 100; });
    queue->stop();
    EXPECT_FALSE(queue->async([&] { ran += 1000; }));
    EXPECT_THROW(queue->sync([] {}), std::logic_error);
    release.set_value();
    queue.reset();  // waits for the thread
    EXPECT_EQ(ran.load(), 1);
    EXPECT_TRUE(watch.expired()) << "discarded work must be destroyed";
}

TEST(SerialQueue, OnCallingThreadRunsUntilStoppedAndMayBeDestroyedByItsOwnWork) {
    auto main = SerialQueue::onCallingThread("tavrel.main");
    std::vector<int> order;
    std::thread::id ranOn;
    main->async([&] { order.push_back(1); });
    main->asyncAfter(20ms, [&] {
        order.push_back(3);
        ranOn = std::this_thread::get_id();
        main->stop();
    });
    main->async([&] { order.push_back(2); });
    main->run();
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    EXPECT_THROW(SerialQueue("tavrel.test").run(), std::logic_error);

    std::promise<void> done;
    auto* doomed = new SerialQueue("tavrel.test");
    doomed->async([&] {
        delete doomed;
        done.set_value();
    });
    EXPECT_EQ(done.get_future().wait_for(5s), std::future_status::ready);
}

TEST(RepeatingTimer, TicksOnItsQueueAndCancelWaitsForARunningTick) {
    SerialQueue queue("tavrel.test");
    std::atomic<int> ticks{0};
    std::atomic<bool> inTick{false};
    std::atomic<bool> onQueue{true};
    {
        RepeatingTimer timer(queue, 5ms, 5ms, [&] {
            inTick = true;
            if (!queue.isCurrent()) onQueue = false;
            ++ticks;
            std::this_thread::sleep_for(2ms);
            inTick = false;
        });
        ASSERT_TRUE(testing::waitUntil([&] { return ticks >= 5; }));
        timer.cancel();
        EXPECT_FALSE(inTick);
    }
    const int after = ticks;
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(ticks, after);
    EXPECT_TRUE(onQueue);

    std::atomic<int> selfCancelled{0};
    std::atomic<RepeatingTimer*> self{nullptr};
    auto timer = std::make_unique<RepeatingTimer>(queue, 10ms, 1ms, [&] {
        while (self.load() == nullptr) std::this_thread::yield();
        if (++selfCancelled == 2) self.load()->cancel();
    });
    self = timer.get();
    ASSERT_TRUE(testing::waitUntil([&] { return selfCancelled >= 2; }));
    // Time for a third tick at the 1 ms interval, had the cancel from inside not held.
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(selfCancelled, 2);
    EXPECT_THROW(RepeatingTimer(queue, 0ms, 0ms, [] {}), std::invalid_argument);
}

}  // namespace
}  // namespace tavrel
