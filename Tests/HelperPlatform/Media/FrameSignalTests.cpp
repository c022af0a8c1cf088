#include "HelperPlatform/Media/FrameSignal.hpp"

#include <gtest/gtest.h>

#include <future>
#include <regex>
#include <set>
#include <thread>

#include "Support/WaitUntil.hpp"

namespace tavrel {
namespace {

using namespace std::chrono_literals;

// Runs `body` on the signal's queue and waits for it.
void onQueue(FrameSignal& signal, const std::function<void()>& body) {
    std::promise<void> done;
    signal.async([&] {
        body();
        done.set_value();
    });
    done.get_future().wait();
}

TEST(FrameSignal, ObserversAddedDuringANotificationWaitForTheNext) {
    FrameSignal signal("tavrel.test");
    std::vector<std::string> calls;
    std::optional<ObserverID> late;
    const auto first = signal.observe([&] {
        calls.push_back("first");
        if (!late) late = signal.observe([&] { calls.push_back("late"); });
    });
    onQueue(signal, [&] { signal.notify(); });
    EXPECT_EQ(calls, std::vector<std::string>{"first"});
    onQueue(signal, [&] { signal.notify(); });
    EXPECT_EQ(calls.size(), 3u);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "late"), 1);

    signal.forget(ObserverID::random());  // never returned: nothing changes
    EXPECT_EQ(signal.observerCount(), 2u);
    signal.forget(first);
    signal.forget(*late);
    EXPECT_EQ(signal.observerCount(), 0u);
}

TEST(FrameSignal, AnObserverMayForgetItselfWhileCalled) {
    FrameSignal signal("tavrel.test");
    int calls = 0;
    ObserverID self;
    self = signal.observe([&] {
        ++calls;
        signal.forget(self);
    });
    onQueue(signal, [&] {
        signal.notify();
        signal.notify();
    });
    EXPECT_EQ(calls, 1);
    signal.observe([] {});
    signal.forgetAll();
    EXPECT_EQ(signal.observerCount(), 0u);
}

TEST(FrameSignal, ForgetReturnsOnlyOnceItsCallbackIsDoneAndNoneFollows) {
    FrameSignal signal("tavrel.test");
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> inside{false};
    std::atomic<bool> finished{false};
    std::atomic<int> calls{0};
    const auto slow = signal.observe([&] {
        ++calls;
        inside = true;
        released.wait();
        finished = true;
    });
    signal.async([&] { signal.notify(); });
    ASSERT_TRUE(testing::waitUntil([&] { return inside.load(); }));
    std::atomic<bool> forgotten{false};
    bool finishedFirst = false;
    std::jthread forgetting([&] {
        signal.forget(slow);
        finishedFirst = finished;
        forgotten = true;
    });
    // Time for a `forget` that does not wait to return, which is what this test would catch.
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(forgotten);
    release.set_value();
    forgetting.join();
    EXPECT_TRUE(finishedFirst);
    onQueue(signal, [&] { signal.notify(); });
    EXPECT_EQ(calls, 1);

    // A source closing first (forgetAll) does not let a later `forget` skip the wait.
    std::promise<void> releaseAgain;
    std::shared_future<void> releasedAgain = releaseAgain.get_future().share();
    std::atomic<bool> insideAgain{false};
    const auto blocked = signal.observe([&] {
        insideAgain = true;
        releasedAgain.wait();
    });
    signal.async([&] { signal.notify(); });
    ASSERT_TRUE(testing::waitUntil([&] { return insideAgain.load(); }));
    std::atomic<int> returned{0};
    std::jthread closing([&] {
        signal.forgetAll();
        ++returned;
    });
    std::jthread stopping([&] {
        signal.forget(blocked);
        ++returned;
    });
    std::this_thread::sleep_for(50ms);  // as above
    EXPECT_EQ(returned, 0);
    releaseAgain.set_value();
    closing.join();
    stopping.join();
    EXPECT_EQ(returned, 2);

    // One observer forgetting a later one in the same pass: the later one is not called.
    std::vector<std::string> order;
    ObserverID second;
    const auto first = signal.observe([&] {
        order.push_back("first");
        signal.forget(second);
    });
    second = signal.observe([&] { order.push_back("second"); });
    // Map order decides who comes first; only a pass where `first` runs first tells anything.
    onQueue(signal, [&] { signal.notify(); });
    EXPECT_EQ(std::count(order.begin(), order.end(), "first"), 1);
    EXPECT_LE(order.size(), 2u);
    if (order.front() == "first") {
        EXPECT_EQ(order.size(), 1u);
    }
    signal.forget(first);
}

TEST(FrameSignal, WorkRunsInOrderOnTheLabelledQueue) {
    FrameSignal signal("tavrel.capture");
    std::vector<int> order;
    std::promise<void> done;
    const auto start = std::chrono::steady_clock::now();
    std::chrono::steady_clock::duration delayed{};
    signal.asyncAfter(0.05, [&] {
        delayed = std::chrono::steady_clock::now() - start;
        order.push_back(3);
        done.set_value();
    });
    signal.async([&] { order.push_back(1); });
    signal.async([&] { order.push_back(2); });
    done.get_future().wait();
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
    EXPECT_GE(delayed, 50ms);
    EXPECT_EQ(signal.queue().label(), "tavrel.capture");
}

TEST(FrameSignal, WaitingTriesAtLeastOnceAndFailsWithTheGivenFailure) {
    const HelperFailure none("the simulator has not drawn its screen yet", 503);
    int tries = 0;
    EXPECT_EQ(FrameSignal::waiting<int>(
                  0, [&]() -> std::optional<int> { return ++tries; }, none),
              1);
    for (double wait : {0.0, -1.0}) {
        tries = 0;
        try {
            FrameSignal::waiting<int>(
                wait,
                [&]() -> std::optional<int> {
                    ++tries;
                    return std::nullopt;
                },
                none);
            ADD_FAILURE();
        } catch (const HelperFailure& failure) {
            EXPECT_EQ(failure, none);
        }
        EXPECT_EQ(tries, 1);
    }
    // A value that turns up during the wait is taken, polling every 20 ms.
    const auto ready = std::chrono::steady_clock::now() + 60ms;
    tries = 0;
    EXPECT_EQ(FrameSignal::waiting<int>(
                  1.0,
                  [&]() -> std::optional<int> {
                      ++tries;
                      if (std::chrono::steady_clock::now() < ready) return std::nullopt;
                      return 7;
                  },
                  none),
              7);
    EXPECT_GE(tries, 2);
    EXPECT_LE(tries, 6);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(FrameSignal::waiting<int>(
                     0.1, [] { return std::optional<int>(); }, none),
                 HelperFailure);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 100ms);
}

TEST(ObserverID, IsARandomVersion4UUID) {
    std::set<ObserverID> seen;
    const std::regex canonical(
        "[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
    for (int i = 0; i < 100; ++i) {
        const auto id = ObserverID::random();
        EXPECT_TRUE(std::regex_match(id.text(), canonical)) << id.text();
        seen.insert(id);
    }
    EXPECT_EQ(seen.size(), 100u);
}

}  // namespace
}  // namespace tavrel
