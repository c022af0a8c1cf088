#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperCore/Base/JSON.hpp"
#include "HelperCore/Replay/ReplayRing.hpp"
#include "HelperCore/Replay/TouchLog.hpp"
#include "HelperCore/Server/Connection.hpp"
#include "HelperCore/Server/Router.hpp"
#include "HelperCore/Video/AnnexB.hpp"
#include "Support/MemoryChannel.hpp"
#include "Support/ScriptedDevice.hpp"
#include "Support/WaitUntil.hpp"

namespace tavrel {
namespace {

using namespace std::chrono_literals;
using testing::MemoryChannel;
using testing::RecordingTransport;
using testing::ScriptedDevice;
using Operation = ScriptedDevice::Operation;

Frame request(std::uint32_t id, const std::string& json) {
    return Frame{FrameKind::request, id, Bytes(json.begin(), json.end()), {}};
}

std::string text(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// One connection over an in-memory channel, run on its own thread like a connection task.
struct Served {
    ScriptedDevice device;
    Router router{device};
    std::shared_ptr<MemoryChannel> channel = std::make_shared<MemoryChannel>();
    std::mutex mutex;
    std::vector<std::string> lines;
    std::thread task;

    void start() {
        Log log(Log::Level::debug, [this](const std::string& line) {
            std::lock_guard lock(mutex);
            lines.push_back(line);
        });
        task = std::thread([this, log] { testing::runConnection(channel, router, log); });
    }
    void finish() {
        channel->endInput();
        if (task.joinable()) task.join();
    }
    ~Served() { finish(); }
    std::vector<std::string> logged() {
        std::lock_guard lock(mutex);
        return lines;
    }
};

// Notes how many frames the connection had written when each step went out.
class ObservingTransport : public HIDTransport {
  public:
    explicit ObservingTransport(MemoryChannel& channel) : channel_(channel) {}
    std::string name() const override { return "indigo"; }
    void send(const HIDStep&) override {
        const auto written = channel_.frames().size();
        std::lock_guard lock(mutex_);
        framesAtStep_.push_back(written);
    }
    std::vector<std::size_t> framesAtStep() {
        std::lock_guard lock(mutex_);
        return framesAtStep_;
    }

  private:
    MemoryChannel& channel_;
    std::mutex mutex_;
    std::vector<std::size_t> framesAtStep_;
};

class ObservedDevice : public ScriptedDevice {
  public:
    std::shared_ptr<InputDriver> driver;
    std::shared_ptr<InputDriver> input() override { return driver; }
};

TEST(Connection, InputRequestsAreAnsweredBeforeTheNextFrameIsLookedAt) {
    ObservedDevice device;
    auto channel = std::make_shared<MemoryChannel>();
    auto transport = std::make_shared<ObservingTransport>(*channel);
    device.driver = std::make_shared<InputDriver>(transport, device.screen());
    Router router(device);
    const std::string hid = R"({"op":"hid","events":[{"kind":"key","phase":"down","code":4}]})";
    Bytes both = Wire::encode(request(1, hid));
    const Bytes second = Wire::encode(request(2, hid));
    both.insert(both.end(), second.begin(), second.end());
    channel->feed(both);  // two requests in one write
    channel->endInput();
    testing::runConnection(channel, router, Log(Log::Level::error, nullptr));
    EXPECT_EQ(transport->framesAtStep(), (std::vector<std::size_t>{0, 1}));
    const auto frames = channel->frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].id, 1u);
    EXPECT_EQ(frames[1].id, 2u);
    EXPECT_EQ(channel->closeCount(), 1u);
}

TEST(Connection, AHelloHoldsBackLaterRequestsButNotEarlierOnes) {
    Served served;
    served.device.holdWarming();
    served.channel->feed(request(1, R"({"op":"describe"})"));
    served.channel->feed(request(2, R"({"op":"hello"})"));
    served.channel->feed(request(3, R"({"op":"describe"})"));
    served.start();
    ASSERT_TRUE(served.channel->waitForFrames(1, 2s));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(served.channel->frames().size(), 1u);
    EXPECT_EQ(served.device.calls(Operation::screen), 1) << "the describe after the hello waits";
    served.device.finishWarming();
    ASSERT_TRUE(served.channel->waitForFrames(3, 2s));
    const auto frames = served.channel->frames();
    EXPECT_EQ(frames[0].id, 1u);
    EXPECT_EQ(frames[1].id, 2u);
    EXPECT_EQ(frames[2].id, 3u);
}

TEST(Connection, AScreenshotIsAnsweredWhileAStreamRunsAndLeavingCancelsTheStream) {
    Served served;
    served.device.setStream({Bytes(5000, 1), Bytes(300, 2)}, 2ms, nullptr, /*endless=*/true);
    served.device.setDelay(Operation::screenshot, 30ms);
    served.start();
    served.channel->feed(
        request(1, R"({"op":"stream","fps":30,"scale":1,"key_frame_s":2,"bitrate":1000000})"));
    served.channel->feed(request(2, R"({"op":"screenshot","quality":50})"));
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    std::size_t chunksAfterReply = 0;
    bool replied = false;
    while (chunksAfterReply < 3 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(5ms);
        chunksAfterReply = 0;
        replied = false;
        for (const auto& frame : served.channel->frames()) {  // decodes: every frame whole
            if (frame.id == 2) replied = true;
            if (replied && frame.id == 1 && frame.kind == FrameKind::chunk) ++chunksAfterReply;
        }
    }
    EXPECT_TRUE(replied);
    EXPECT_GE(chunksAfterReply, 3u) << "the stream keeps going after the screenshot's reply";
    served.finish();  // the client leaves mid-stream
    EXPECT_EQ(served.device.cancelledStreams(), 1);
    const auto ended = std::chrono::steady_clock::now() + 10s;
    while (served.device.liveStreams() > 0 && std::chrono::steady_clock::now() < ended) {
        std::this_thread::sleep_for(1ms);  // the producer notices at its next buffer
    }
    EXPECT_EQ(served.device.liveStreams(), 0);
    EXPECT_EQ(served.channel->closeCount(), 1u);
}

// With the pool's only worker streaming, a describe is still answered (on the reading thread,
// which plays the event loop), while a large request waits for the worker to decode it.
TEST(Connection, ADescribeIsAnsweredOnTheLoopAndALargeRequestIsDecodedOnThePool) {
    ScriptedDevice device;
    constexpr std::size_t buffers = 40;
    device.setStream(std::vector<Bytes>(buffers, Bytes(100, 1)), 10ms);
    Router router(device);
    TaskPool pool("tavrel.test", 1, 1);
    auto channel = std::make_shared<MemoryChannel>();
    std::thread task([&] {
        testing::runConnection(channel, router, Log(Log::Level::error, nullptr), {}, pool);
    });
    channel->feed(
        request(1, R"({"op":"stream","fps":30,"scale":1,"key_frame_s":2,"bitrate":1000000})"));
    ASSERT_TRUE(channel->waitForFrames(1, 10s)) << "the stream runs";
    channel->feed(request(2, R"({"op":"describe"})"));
    channel->feed(
        request(3, R"({"op":"describe","padding":")" + std::string(100 << 10, 'x') + R"("})"));
    channel->feed(request(4, R"({"op":"describe"})"));
    ASSERT_TRUE(channel->waitForFrames(buffers + 4, 20s));
    channel->endInput();
    task.join();

    const auto frames = channel->frames();
    const std::string screen = JSON::encode(device.screen());
    std::map<std::uint32_t, std::size_t> finalAt;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        if (frames[i].kind == FrameKind::chunk) continue;
        finalAt[frames[i].id] = i;
        EXPECT_EQ(text(frames[i].json), frames[i].id == 1 ? "{}" : screen) << frames[i].id;
    }
    ASSERT_EQ(finalAt.size(), 4u);
    EXPECT_LT(finalAt[2], finalAt[1]) << "the small describe waits for no worker";
    EXPECT_LT(finalAt[1], finalAt[3]) << "the large one is decoded by the streaming worker";
    EXPECT_LT(finalAt[3], finalAt[4]) << "what follows it waits its turn";
}

TEST(Connection, BadRequestsGetFailuresOtherKindsAreIgnoredAndTheConnectionCarriesOn) {
    Served served;
    served.start();
    served.channel->feed(Frame{FrameKind::reply, 1, Bytes{'{', '}'}, {}});
    served.channel->feed(Frame{FrameKind::chunk, 2, {}, Bytes{1, 2}});
    served.channel->feed(request(3, "{}"));
    served.channel->feed(request(4, R"({"op":"screenshot","quality":"high"})"));
    served.channel->feed(request(5, R"({"op":"describe"})"));
    ASSERT_TRUE(served.channel->waitForFrames(3, 2s));
    served.finish();
    const auto frames = served.channel->frames();
    ASSERT_EQ(frames.size(), 3u);
    const std::string unknown =
        JSON::encode(HelperFailure("not a request this helper knows: none", 400));
    EXPECT_EQ(frames[0], (Frame{FrameKind::failure, 3, Bytes(unknown.begin(), unknown.end()), {}}));
    EXPECT_EQ(frames[1].kind, FrameKind::failure);
    EXPECT_EQ(frames[1].id, 4u);
    EXPECT_NE(text(frames[1].json).find("a request that is not one: "), std::string::npos);
    EXPECT_EQ(frames[2].kind, FrameKind::reply);
    EXPECT_EQ(frames[2].id, 5u);
    EXPECT_TRUE(served.logged().empty());
}

TEST(Connection, WhatIsNotFramesEndsTheConnectionWithAWarningAndNoReply) {
    Served served;
    // A good request, then a length field above 64 MiB in the same read: neither is answered.
    Bytes bytes = Wire::encode(request(1, R"({"op":"describe"})"));
    for (std::uint8_t b : {0x04, 0x00, 0x00, 0x01}) bytes.push_back(b);
    served.channel->feed(bytes);
    served.start();
    ASSERT_TRUE(served.channel->waitForClose(2s));
    served.task.join();
    EXPECT_TRUE(served.channel->frames().empty());
    EXPECT_EQ(served.logged(), std::vector<std::string>{
                                   "[warning] closing a connection that sent what is not "
                                   "frames: a frame of 67108865 bytes is larger than 67108864"});
    EXPECT_EQ(served.device.calls(Operation::screen), 0);
}

TEST(Connection, ReadAndWriteFailuresEndOrSkipQuietly) {
    {
        Served served;
        served.channel->failReads();
        served.start();
        ASSERT_TRUE(served.channel->waitForClose(2s));
        served.task.join();
        EXPECT_TRUE(served.logged().empty());
    }
    Served served;
    served.channel->failWritesAfter(0);
    served.start();
    served.channel->feed(request(1, "{}"));  // its failure frame cannot be written
    served.channel->feed(request(2, R"({"op":"hid"})"));
    served.finish();
    // A socket that failed once is not written again: a frame cut short there would make every
    // later byte unreadable.
    EXPECT_EQ(served.channel->writeCount(), 1u);
    EXPECT_EQ(served.channel->closeCount(), 1u);
}

// A client whose socket failed under a long pipeline: had the requests already cut been
// answered all the same, a gone client would keep the helper busy for each of them.
TEST(Connection, RequestsWaitingWhenTheSocketFailsAreLeftUnanswered) {
    Served served;
    served.channel->failWritesAfter(0);
    served.start();
    Bytes pipeline = Wire::encode(request(1, "{}"));  // its failure frame fails the socket
    for (std::uint32_t id = 2; id <= 21; ++id) {
        const Bytes frame = Wire::encode(request(id, R"({"op":"screenshot","quality":50})"));
        pipeline.insert(pipeline.end(), frame.begin(), frame.end());
    }
    served.channel->feed(std::move(pipeline));
    ASSERT_TRUE(served.channel->waitForClose(5s)) << "the connection ends without its input";
    served.finish();
    EXPECT_EQ(served.device.calls(Operation::screenshot), 0);
    EXPECT_EQ(served.channel->writeCount(), 1u);
    EXPECT_EQ(served.logged(),
              std::vector<std::string>{"[debug] leaving 20 requests unanswered: the client can "
                                       "no longer be written to"});
}

// A socket whose peer reads only when the test says so.
class StalledSink : public FrameSink {
  public:
    std::size_t writeSome(std::span<const std::uint8_t> bytes) override {
        std::lock_guard lock(mutex_);
        if (!reading_) return 0;
        written_.insert(written_.end(), bytes.begin(), bytes.end());
        return bytes.size();
    }
    void setInterest(bool read, bool) override {
        std::lock_guard lock(mutex_);
        wantsRead_ = read;
    }
    void finished() override {}
    void startReading() {
        std::lock_guard lock(mutex_);
        reading_ = true;
    }
    bool wantsRead() {
        std::lock_guard lock(mutex_);
        return wantsRead_;
    }
    std::vector<Frame> frames() {
        std::lock_guard lock(mutex_);
        FrameDecoder decoder;
        return decoder.push(written_);
    }

  private:
    std::mutex mutex_;
    bool reading_ = false;
    bool wantsRead_ = true;
    Bytes written_;
};

bool isKey(const Bytes& unit) {
    return unit.size() > 4 && (unit[4] & 0x1F) == 5;
}

TEST(Connection, AClientThatFallsBehindGetsAGapThenAKeyFrameAndRepliesAreKept) {
    ScriptedDevice device;
    Bytes key(300000, 0), delta(300000, 0);
    for (Bytes* unit : {&key, &delta}) (*unit)[3] = 1;
    key[4] = 0x65;
    delta[4] = 0x41;
    device.setStream({key, delta, delta, delta}, 1ms, nullptr, /*endless=*/true);
    Router router(device);
    auto sink = std::make_shared<StalledSink>();
    ConnectionLimits limits;
    limits.unsentBytes = 1 << 20;
    auto connection =
        Connection::make(sink, router, Log(Log::Level::error, nullptr), TaskPool::shared(), limits);
    const Bytes requests = [] {
        Bytes bytes = Wire::encode(
            request(1, R"({"op":"stream","fps":30,"scale":1,"key_frame_s":2,"bitrate":1000000})"));
        for (std::uint32_t id = 2; id < 6; ++id) {
            const Bytes more = Wire::encode(request(id, R"({"op":"describe"})"));
            bytes.insert(bytes.end(), more.begin(), more.end());
        }
        return bytes;
    }();
    connection->received(requests);
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    // The queue fills past its limit: reading stops, chunks are left out, nothing grows.
    while (device.refreshRequests() < 3 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(2ms);
    }
    ASSERT_GE(device.refreshRequests(), 3);
    EXPECT_FALSE(sink->wantsRead()) << "a connection this far behind is not read";
    EXPECT_LT(connection->writer().unsent(), limits.unsentBytes + 2 * key.size());
    sink->startReading();
    connection->writable();
    // The device does not make key frames on request: the next one in its cycle comes through.
    std::vector<Frame> frames;
    while (std::chrono::steady_clock::now() < deadline) {
        connection->writable();
        frames = sink->frames();
        if (frames.size() > 12) break;
        std::this_thread::sleep_for(2ms);
    }
    std::set<std::uint32_t> replied;
    std::vector<Bytes> chunks;
    for (const auto& frame : frames) {
        if (frame.kind == FrameKind::reply) replied.insert(frame.id);
        if (frame.kind == FrameKind::chunk) chunks.push_back(frame.blob);
    }
    EXPECT_EQ(replied, (std::set<std::uint32_t>{2, 3, 4, 5})) << "replies are never left out";
    // Queued up to the limit (four units of 300 kB), then the gap; the first after it is a key
    // frame.
    ASSERT_GT(chunks.size(), 5u);
    EXPECT_EQ(std::vector<Bytes>(chunks.begin(), chunks.begin() + 4),
              (std::vector<Bytes>{key, delta, delta, delta}));
    EXPECT_TRUE(isKey(chunks[4])) << "a delta frame right after the gap";
    connection->readEnded();
    connection->close();
    connection->waitUntilIdle();
}

TEST(Connection, ReplaysAskedForTogetherAreMadeOneAtATimeAsTheClientReads) {
    ScriptedDevice device;
    auto ring = std::make_shared<ReplayRing>(5, 4 << 20);
    Bytes key(AnnexB::startCode.begin(), AnnexB::startCode.end());
    for (std::uint8_t header : {0x67, 0x68, 0x65}) {
        if (header != 0x67)
            key.insert(key.end(), AnnexB::startCode.begin(), AnnexB::startCode.end());
        key.insert(key.end(), {header, 0x88, 0x84});
    }
    key.resize(key.size() + 200000, 0x5A);
    ring->add(key, Moment::now().monoS);
    Router router(device, nullptr, ring);
    auto sink = std::make_shared<StalledSink>();
    ConnectionLimits limits;
    limits.unsentBytes = 64 << 10;
    auto connection =
        Connection::make(sink, router, Log(Log::Level::error, nullptr), TaskPool::shared(), limits);
    Bytes requests;
    for (std::uint32_t id = 1; id <= 5; ++id) {
        const Bytes more = Wire::encode(request(id, R"({"op":"replay"})"));
        requests.insert(requests.end(), more.begin(), more.end());
    }
    connection->received(requests);
    ASSERT_TRUE(testing::waitUntil([&] { return connection->writer().unsent() > 0; }));
    // Answered together, all five would be queued within a few milliseconds.
    std::this_thread::sleep_for(100ms);
    EXPECT_GT(connection->writer().unsent(), key.size());
    EXPECT_LT(connection->writer().unsent(), 2 * key.size()) << "more than one replay is unread";

    sink->startReading();
    std::vector<std::uint32_t> replied;
    ASSERT_TRUE(testing::waitUntil([&] {
        connection->writable();
        replied.clear();
        for (const auto& frame : sink->frames()) {
            if (frame.kind == FrameKind::reply) replied.push_back(frame.id);
        }
        return replied.size() == 5;
    }));
    EXPECT_EQ(replied, (std::vector<std::uint32_t>{1, 2, 3, 4, 5}));
    connection->readEnded();
    connection->close();
    connection->waitUntilIdle();
}

}  // namespace
}  // namespace tavrel
