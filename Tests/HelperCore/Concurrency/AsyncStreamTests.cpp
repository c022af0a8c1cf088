#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

#include "HelperCore/Concurrency/AsyncStream.hpp"

namespace tavrel {
namespace {

using namespace std::chrono_literals;

TEST(AsyncStream, DeliversBufferedValuesThenTheEndOrTheErrorOnce) {
    struct Case {
        std::exception_ptr error;
        bool throws;
    };
    const Case cases[] = {
        {nullptr, false},
        {std::make_exception_ptr(std::runtime_error("encoder failed")), true},
    };
    for (const auto& c : cases) {
        AsyncStream<int> stream;
        std::vector<StreamTermination> endings;
        stream.onTermination([&](StreamTermination how) { endings.push_back(how); });
        EXPECT_TRUE(stream.yield(1));
        EXPECT_TRUE(stream.yield(2));
        stream.finish(c.error);
        EXPECT_FALSE(stream.yield(3));
        stream.finish();  // a second finish does nothing
        ASSERT_EQ(endings, std::vector<StreamTermination>{StreamTermination::finished});
        EXPECT_EQ(stream.next(), 1);
        EXPECT_EQ(stream.next(), 2);
        if (c.throws) {
            EXPECT_THROW(stream.next(), std::runtime_error);
        }
        EXPECT_EQ(stream.next(), std::nullopt);
        EXPECT_EQ(stream.next(), std::nullopt);
    }
}

TEST(AsyncStream, ConsumerWaitsForAProducerOnAnotherThreadInOrder) {
    AsyncStream<std::vector<int>> stream;
    std::thread producer([stream] {
        for (int i = 0; i < 2000; ++i) {
            stream.yield(std::vector<int>{i});
            if (i % 500 == 0) std::this_thread::sleep_for(1ms);
        }
        stream.finish();
    });
    int expected = 0;
    while (auto value = stream.next()) EXPECT_EQ(value->at(0), expected++);
    EXPECT_EQ(expected, 2000);
    producer.join();
}

TEST(AsyncStream, AStopRequestWakesAWaitingConsumerAndCancelsTheStream) {
    AsyncStream<int> stream;
    std::atomic<int> cancelled{0};
    stream.onTermination([&](StreamTermination how) {
        if (how == StreamTermination::cancelled) ++cancelled;
    });
    std::stop_source stop;
    std::optional<int> got = 99;
    std::thread consumer([&] { got = stream.next(stop.get_token()); });
    std::this_thread::sleep_for(20ms);
    stop.request_stop();
    consumer.join();
    EXPECT_EQ(got, std::nullopt);
    EXPECT_EQ(cancelled, 1);
    EXPECT_FALSE(stream.yield(5)) << "the producer learns the consumer is gone";
    stream.finish();
    EXPECT_EQ(cancelled, 1);
}

TEST(AsyncStream, TerminationRunsExactlyOnceWhateverEndsItAndWhenever) {
    for (int round = 0; round < 50; ++round) {
        AsyncStream<int> stream;
        std::atomic<int> runs{0};
        stream.onTermination([&](StreamTermination) { ++runs; });
        std::vector<std::thread> enders;
        for (int i = 0; i < 4; ++i) {
            enders.emplace_back([stream, i] {
                if (i % 2)
                    stream.finish();
                else
                    stream.cancel();
            });
        }
        for (auto& ender : enders) ender.join();
        EXPECT_EQ(runs, 1);
    }
    // A handler set after the end runs at once; one never ended runs when the stream goes away.
    std::vector<StreamTermination> endings;
    {
        AsyncStream<int> ended;
        ended.cancel();
        ended.onTermination([&](StreamTermination how) { endings.push_back(how); });
        AsyncStream<int> abandoned;
        abandoned.onTermination([&](StreamTermination how) { endings.push_back(how); });
        abandoned.yield(1);
    }
    EXPECT_EQ(endings, (std::vector<StreamTermination>{StreamTermination::cancelled,
                                                       StreamTermination::cancelled}));
}

TEST(AsyncStream, CancelDropsBufferedValues) {
    AsyncStream<std::shared_ptr<int>> stream;
    auto value = std::make_shared<int>(1);
    std::weak_ptr<int> watch = value;
    stream.yield(std::move(value));
    EXPECT_EQ(stream.buffered(), 1u);
    stream.cancel();
    EXPECT_TRUE(watch.expired());
    EXPECT_EQ(stream.next(), std::nullopt);
}

// A producer that notes where and when it goes.
struct Recorder {
    std::atomic<int>& terminations;
    std::thread::id& destroyedOn;
    int& terminationsBeforeDestruction;
    AsyncStream<int>::Producer end;

    ~Recorder() {
        destroyedOn = std::this_thread::get_id();
        terminationsBeforeDestruction = terminations;
        EXPECT_FALSE(end.yield(9)) << "the stream has ended by now";
    }
};

TEST(AsyncStream, AnAdoptedProducerGoesWithTheLastHandleAfterTheTermination) {
    for (const bool cancel : {true, false}) {
        std::atomic<int> terminations{0};
        std::thread::id destroyedOn;
        int before = -1;
        std::optional<AsyncStream<int>> stream{std::in_place};
        auto& recorder = stream->adopt(
            std::unique_ptr<Recorder>(new Recorder{terminations, destroyedOn, before, {}}));
        recorder.end = stream->producerEnd(&recorder);
        stream->onTermination([&recorder](StreamTermination) { ++recorder.terminations; });
        EXPECT_THROW(stream->producerEnd(&before), std::logic_error);
        EXPECT_THROW(stream->adopt(std::make_unique<int>(1)), std::logic_error);

        // The producer's end keeps nothing alive: the consumer's handle is the last one, and the
        // producer goes on the thread that lets go of it.
        std::thread consumer([handle = std::move(*stream), cancel]() mutable {
            EXPECT_EQ(handle.next(), 1);
            if (cancel) handle.cancel();
            AsyncStream<int> last = std::move(handle);
        });
        stream.reset();
        EXPECT_TRUE(recorder.end.yield(1));
        const auto consumerID = consumer.get_id();
        consumer.join();
        EXPECT_EQ(destroyedOn, consumerID) << cancel;
        EXPECT_EQ(before, 1) << "the termination handler ran first";
        EXPECT_EQ(terminations, 1);
    }
}

}  // namespace
}  // namespace tavrel
