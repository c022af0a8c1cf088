#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperCore/Video/AnnexB.hpp"
#include "HelperCore/Video/NALUnit.hpp"
#include "HelperCore/Video/SharedStreams.hpp"
#include "Support/NextUnit.hpp"
#include "Support/WaitUntil.hpp"

namespace tavrel {
namespace {

using namespace std::chrono_literals;

// Access units shaped like the encoder's: parameter sets before a key frame, a numbered slice.
Bytes unit(bool key, std::uint8_t number) {
    const Bytes slice = {static_cast<std::uint8_t>(key ? 0x65 : 0x41), number};
    const std::vector<AnnexB::ByteView> units = {slice};
    const std::vector<Bytes> sets = {{0x67, 0x42}, {0x68, 0xCE}};
    return AnnexB::accessUnit(units, key ? std::span<const Bytes>(sets) : std::span<const Bytes>{});
}

// The slice's number, and whether the unit begins with a sequence parameter set.
struct Seen {
    std::uint8_t number;
    bool key;
    bool operator==(const Seen&) const = default;
};
Seen seen(const Bytes& bytes) {
    const auto units = AnnexB::nalUnitViews(bytes);
    const auto slice = std::ranges::find_if(
        units, [](AnnexB::ByteView unit) { return NALUnit::isPicture(AnnexB::type(unit)); });
    if (slice == units.end() || slice->size() < 2) return {0, false};
    return {(*slice)[1], AnnexB::type(units.front()) == NALUnit::sequenceParameterSet};
}

// An encoder the test drives: it makes the units it is told to, counts what it is asked for
// and notes when it is stopped.
struct FakeEncoder {
    AsyncStream<Bytes> output;
    std::atomic<int> keyRequests = 0;
    std::atomic<bool> stopped = false;

    AsyncStream<Bytes> open() {
        output.onRefresh([this] { ++keyRequests; });
        output.onTermination([this](StreamTermination) { stopped = true; });
        return output;
    }
    void send(bool key, std::uint8_t number) const { output.yield(unit(key, number)); }
};

// Opens a fresh fake for every encoder the streams ask for.
struct Encoders {
    std::vector<std::unique_ptr<FakeEncoder>> made;
    std::mutex mutex;
    SharedStream::Open opener() {
        return [this] {
            std::lock_guard lock(mutex);
            made.push_back(std::make_unique<FakeEncoder>());
            return made.back()->open();
        };
    }
    FakeEncoder& last() {
        std::lock_guard lock(mutex);
        return *made.back();
    }
    std::size_t count() {
        std::lock_guard lock(mutex);
        return made.size();
    }
};

const EncoderPlan plan{360, 640, 30, 1, 1000000, 187500};

std::optional<Seen> take(const AsyncStream<Bytes>& stream) {
    const auto bytes = testing::nextWithinPatience(stream);
    if (!bytes) return std::nullopt;
    return seen(*bytes);
}

std::vector<Seen> takeAll(const AsyncStream<Bytes>& stream, std::size_t count) {
    std::vector<Seen> taken;
    while (taken.size() < count) {
        const auto next = take(stream);
        if (!next) break;
        taken.push_back(*next);
    }
    return taken;
}

TEST(SharedStream, ALateSubscriberStartsAtAKeyFrameItAskedFor) {
    Encoders encoders;
    SharedStreams streams;
    const auto first = streams.subscribe(plan, encoders.opener());
    auto& encoder = encoders.last();
    encoder.send(true, 1);
    encoder.send(false, 2);
    EXPECT_EQ(takeAll(first, 2), (std::vector<Seen>{{1, true}, {2, false}}));

    const int requestsBefore = encoder.keyRequests;
    const auto second = streams.subscribe(plan, encoders.opener());
    EXPECT_EQ(encoders.count(), 1U);
    EXPECT_EQ(encoder.keyRequests, requestsBefore + 1);
    encoder.send(false, 3);
    encoder.send(true, 4);
    encoder.send(false, 5);
    EXPECT_EQ(takeAll(first, 3), (std::vector<Seen>{{3, false}, {4, true}, {5, false}}));
    // Frame 3 refers to what the late one never saw: it starts at 4, parameter sets first.
    EXPECT_EQ(takeAll(second, 2), (std::vector<Seen>{{4, true}, {5, false}}));
    EXPECT_EQ(second.buffered(), 0U);
}

TEST(SharedStream, AStuckSubscriberIsLeftOutUntilAKeyFrameWhileTheOthersGetEverything) {
    Encoders encoders;
    SharedStreams streams({.bufferedUnits = 3, .keyFrameGap = 1h});
    const auto reader = streams.subscribe(plan, encoders.opener());
    const auto stuck = streams.subscribe(plan, encoders.opener());
    auto& encoder = encoders.last();
    const int requestsAtStart = encoder.keyRequests;
    // The reader keeps up; the stuck one never takes anything.
    for (std::uint8_t n = 1; n <= 8; ++n) {
        encoder.send(n == 1, n);
        EXPECT_EQ(take(reader), (Seen{n, n == 1}));
    }
    EXPECT_EQ(stuck.buffered(), 3U);
    // Its own join already asked within the gap: the owed key frame is not asked for yet, so
    // a reader that never reads cannot make everyone's stream all key frames.
    EXPECT_EQ(encoder.keyRequests, requestsAtStart);

    EXPECT_EQ(takeAll(stuck, 3), (std::vector<Seen>{{1, true}, {2, false}, {3, false}}));
    encoder.send(false, 9);
    encoder.send(true, 10);
    encoder.send(false, 11);
    EXPECT_EQ(takeAll(reader, 3), (std::vector<Seen>{{9, false}, {10, true}, {11, false}}));
    EXPECT_EQ(takeAll(stuck, 2), (std::vector<Seen>{{10, true}, {11, false}}));
}

TEST(SharedStream, KeyFramesAskedForBySubscribersAreSpacedByTheGap) {
    struct Case {
        const char* name;
        std::chrono::steady_clock::duration gap;
        int refreshes;
        int expectedRequests;  // beyond the join's own
    };
    const Case cases[] = {
        {"no gap: every request goes through", 0s, 3, 3},
        {"within the gap: held back", 1h, 3, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Encoders encoders;
        SharedStreams streams({.bufferedUnits = 64, .keyFrameGap = c.gap});
        const auto stream = streams.subscribe(plan, encoders.opener());
        auto& encoder = encoders.last();
        const int atStart = encoder.keyRequests;
        for (int i = 0; i < c.refreshes; ++i) stream.requestRefresh();
        EXPECT_EQ(encoder.keyRequests - atStart, c.expectedRequests);
    }
}

TEST(SharedStream, TheEncoderStopsWhenItsLastSubscriberLeavesAndANewOneOpensAfresh) {
    struct Case {
        const char* name;
        bool dropHandles;  // or only cancel, keeping the handles, as a consumer may
    };
    for (const auto& c : {Case{"handles dropped", true}, Case{"cancelled", false}}) {
        SCOPED_TRACE(c.name);
        Encoders encoders;
        SharedStreams streams;
        std::optional<AsyncStream<Bytes>> a = streams.subscribe(plan, encoders.opener());
        std::optional<AsyncStream<Bytes>> b = streams.subscribe(plan, encoders.opener());
        auto& encoder = encoders.last();
        EXPECT_EQ(streams.running(), 1U);
        const auto leave = [&](std::optional<AsyncStream<Bytes>>& stream) {
            if (c.dropHandles) {
                stream.reset();
            } else {
                stream->cancel();
            }
        };
        leave(a);
        encoder.send(true, 1);
        EXPECT_EQ(take(*b), (Seen{1, true}));
        EXPECT_FALSE(encoder.stopped);
        // The encoder has stopped by the time the last one is gone.
        leave(b);
        EXPECT_TRUE(encoder.stopped);
        EXPECT_EQ(streams.running(), 0U);

        const auto again = streams.subscribe(plan, encoders.opener());
        EXPECT_EQ(encoders.count(), 2U);
        encoders.last().send(true, 7);
        EXPECT_EQ(take(again), (Seen{7, true}));
    }
}

TEST(SharedStream, PlansThatDifferKeepEncodersOfTheirOwn) {
    Encoders encoders;
    SharedStreams streams;
    auto other = plan;
    other.bitrate = 2000000;
    const auto a1 = streams.subscribe(plan, encoders.opener());
    const auto b1 = streams.subscribe(other, encoders.opener());
    const auto a2 = streams.subscribe(plan, encoders.opener());
    const auto b2 = streams.subscribe(other, encoders.opener());
    EXPECT_EQ(encoders.count(), 2U);
    EXPECT_EQ(streams.running(), 2U);
    encoders.made[0]->send(true, 8);
    encoders.made[1]->send(true, 9);
    for (const auto* a : {&a1, &a2}) EXPECT_EQ(take(*a), (Seen{8, true}));
    for (const auto* b : {&b1, &b2}) EXPECT_EQ(take(*b), (Seen{9, true}));
    // A still screen's idle key frames change the pictures too.
    const auto idle = streams.subscribe({plan, true}, encoders.opener());
    EXPECT_EQ(encoders.count(), 3U);
}

TEST(SharedStream, AFailingEncoderEndsEverySubscriberWithItsFailure) {
    Encoders encoders;
    SharedStreams streams;
    const auto a = streams.subscribe(plan, encoders.opener());
    const auto b = streams.subscribe(plan, encoders.opener());
    auto& encoder = encoders.last();
    encoder.send(true, 1);
    encoder.output.finish(
        std::make_exception_ptr(HelperFailure("the H.264 encoder failed (-22)", 502)));
    for (const auto* stream : {&a, &b}) {
        EXPECT_EQ(take(*stream), (Seen{1, true}));
        try {
            stream->next();
            ADD_FAILURE() << "the failure did not reach a subscriber";
        } catch (const HelperFailure& failure) {
            EXPECT_EQ(failure.message(), "the H.264 encoder failed (-22)");
            EXPECT_EQ(failure.status(), 502);
        }
    }
    // The next subscriber does not inherit the broken encoder.
    const auto c = streams.subscribe(plan, encoders.opener());
    EXPECT_EQ(encoders.count(), 2U);
}

TEST(SharedStream, AnEncoderThatCannotOpenFailsItsRequestAndTheNextOneTriesAgain) {
    Encoders encoders;
    SharedStreams streams;
    bool fail = true;
    const SharedStream::Open open = [&]() -> AsyncStream<Bytes> {
        if (fail) throw HelperFailure("no H.264 encoder for 360x640", 502);
        return encoders.opener()();
    };
    EXPECT_THROW(streams.subscribe(plan, open), HelperFailure);
    EXPECT_EQ(streams.running(), 0U);
    fail = false;
    const auto stream = streams.subscribe(plan, open);
    EXPECT_EQ(streams.running(), 1U);
}

}  // namespace
}  // namespace tavrel
