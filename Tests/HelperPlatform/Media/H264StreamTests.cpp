#include "HelperPlatform/Media/H264Stream.hpp"

#include <gtest/gtest.h>

#include <regex>
#include <thread>

#include "HelperPlatform/Render/H264Decoder.hpp"
#include "HelperPlatform/Support/StreamCollector.hpp"
#include "HelperPlatform/Support/SyntheticPixelSource.hpp"
#include "Support/ThreadCensus.hpp"
#include "Support/WaitUntil.hpp"

namespace tavrel {
namespace {

using namespace std::chrono_literals;
using testing::Chunk;
using testing::collect;
using testing::LogLines;
using testing::SyntheticPixelSource;
using testing::threadsNamed;
using testing::waitUntil;

const Bytes delimiter(AnnexB::accessUnitDelimiter.begin(), AnnexB::accessUnitDelimiter.end());

bool endsWithDelimiter(const Bytes& unit) {
    return unit.size() >= 6 && std::equal(delimiter.begin(), delimiter.end(), unit.end() - 6);
}

std::vector<std::int64_t> types(const Bytes& unit) {
    std::vector<std::int64_t> found;
    for (auto payload : AnnexB::nalUnitViews(unit)) found.push_back(AnnexB::type(payload));
    return found;
}

// The stream belongs to `units`, as ScreenFeed makes it: `stream` is valid while `units` is.
struct Started {
    H264Stream* stream;
    AsyncStream<Bytes> units;
};

Started start(const std::shared_ptr<PixelSource>& source, StreamSettings settings,
              bool idleKeyFrames, Log log = Log(Log::Level::error, nullptr),
              H264Stream::Trace trace = nullptr) {
    AsyncStream<Bytes> units;
    auto& stream = units.adopt(H264Stream::make(source, std::make_shared<Pictures>(), settings,
                                                idleKeyFrames, 0.5, std::move(log)));
    if (trace) stream.setTrace(std::move(trace));
    stream.units(units);
    return {&stream, units};
}

TEST(H264Stream, EveryChunkIsOneDecodableAccessUnit) {
    auto source = std::make_shared<SyntheticPixelSource>(321, 241);
    source->animate(60);
    auto [stream, units] = start(source, StreamSettings{30, 1, 0.5, 1000000}, false);
    EXPECT_EQ(stream->plan().width, 322);
    EXPECT_EQ(stream->plan().height, 242);
    RecordProperty("encoder", stream->encoderName());
    const auto collected = collect(units, 1.2);
    source->stopAnimating();
    ASSERT_FALSE(collected.error);
    ASSERT_GE(collected.chunks.size(), 10u);
    EXPECT_TRUE(collected.chunks.front().isKey());

    H264Decoder sequence;
    int keys = 0;
    for (std::size_t i = 0; i < collected.chunks.size(); ++i) {
        const auto& unit = collected.chunks[i].bytes;
        ASSERT_TRUE(endsWithDelimiter(unit)) << i;
        ASSERT_EQ(Bytes(unit.begin(), unit.begin() + 4), Bytes({0, 0, 0, 1})) << i;
        const auto found = types(unit);
        EXPECT_EQ(std::count(found.begin(), found.end(), NALUnit::accessUnitDelimiter), 1)
            << "one delimiter, at the end";
        EXPECT_EQ(found.back(), NALUnit::accessUnitDelimiter);
        const auto picture = sequence.decode(unit);
        ASSERT_TRUE(picture) << "chunk " << i;
        EXPECT_EQ(picture->width, 322);
        EXPECT_EQ(picture->height, 242);
        if (!collected.chunks[i].isKey()) {
            EXPECT_EQ(std::count(found.begin(), found.end(), NALUnit::sequenceParameterSet), 0);
            EXPECT_EQ(std::count(found.begin(), found.end(), NALUnit::idrSlice), 0);
            continue;
        }
        ++keys;
        ASSERT_GE(found.size(), 4u);
        EXPECT_EQ(found[0], NALUnit::sequenceParameterSet);
        EXPECT_EQ(found[1], NALUnit::pictureParameterSet);
        EXPECT_NE(std::find(found.begin(), found.end(), NALUnit::idrSlice), found.end())
            << "an IDR slice";
        H264Decoder alone;
        const auto own = alone.decode(unit);
        ASSERT_TRUE(own) << "key chunk " << i << " decodes on its own";
        EXPECT_EQ(own->key_frame, 1);
    }
    // key_frame_s 0.5 over 1.2 s of a changing screen.
    EXPECT_GE(keys, 2);
    EXPECT_EQ(source->holds(), 1);
    EXPECT_EQ(source->letGos(), 1);
}

TEST(H264Stream, AStillScreenGetsIdleKeyFramesOnlyWhenAskedFor) {
    {
        auto source = std::make_shared<SyntheticPixelSource>(64, 64);
        const auto collected = collect(start(source, {30, 1, 2, 200000}, true).units, 2.6);
        ASSERT_EQ(collected.chunks.size(), 2u);
        EXPECT_TRUE(collected.chunks[0].isKey());
        EXPECT_TRUE(collected.chunks[1].isKey());
        const double gap = collected.chunks[1].at - collected.chunks[0].at;
        EXPECT_GT(gap, 1.9);
        EXPECT_LT(gap, 2.5);
    }
    {
        auto source = std::make_shared<SyntheticPixelSource>(64, 64);
        const auto collected = collect(start(source, {30, 1, 0.2, 200000}, false).units, 1.0);
        ASSERT_EQ(collected.chunks.size(), 1u);
        EXPECT_TRUE(collected.chunks[0].isKey());
    }
}

TEST(H264Stream, AChangingScreenIsNeverEncodedFasterThanTheFrameRate) {
    auto source = std::make_shared<SyntheticPixelSource>(96, 64);
    std::mutex mutex;
    std::vector<H264Stream::FrameTiming> timings;
    auto started = start(source, {12, 1, 10, 200000}, false, Log(Log::Level::error, nullptr),
                         [&](const H264Stream::FrameTiming& timing) {
                             std::lock_guard lock(mutex);
                             timings.push_back(timing);
                         });
    source->animate(250);
    const auto collected = collect(started.units, 1.0);
    source->stopAnimating();
    EXPECT_GE(collected.chunks.size(), 8u);
    EXPECT_LE(collected.chunks.size(), 14u);
    std::lock_guard lock(mutex);
    // Three quarters of an interval apart at the least, while settling onto the source's phase;
    // over any stretch, no more than one interval ahead of a steady 12 per second.
    const std::chrono::duration<double> interval(1.0 / 12);
    ASSERT_GE(timings.size(), 8u);
    for (std::size_t i = 1; i < timings.size(); ++i) {
        EXPECT_GE(timings[i].decided - timings[i - 1].decided, 0.75 * interval - 2ms) << i;
        EXPECT_NE(timings[i].version, timings[i - 1].version);
        const auto span = timings[i].decided - timings.front().decided;
        EXPECT_LE(static_cast<double>(i), span / interval + 1.25) << i;
    }
}

TEST(H264Stream, CancellingTheConsumerEndsEverythingOnce) {
    auto source = std::make_shared<SyntheticPixelSource>(64, 64);
    source->animate(30);
    std::optional<AsyncStream<Bytes>> units = start(source, {30, 1, 1, 200000}, true).units;
    EXPECT_EQ(source->observerCount(), 1u);
    const auto collected = collect(*units, 5.0, 3);  // cancels after three units
    ASSERT_EQ(collected.chunks.size(), 3u);
    // Stopped by the time the cancel returns: nothing left to wait for.
    EXPECT_EQ(source->observerCount(), 0u);
    EXPECT_EQ(source->holds(), 1);
    EXPECT_EQ(source->letGos(), 1);
    // Stopping joined the encoder's thread; the consumer's last handle takes the stream, and
    // its queue's thread, with it, on the consumer's thread. (A joined thread may linger in
    // /proc for a moment.)
    EXPECT_TRUE(waitUntil([] { return threadsNamed("tavrel.encoder") == 0; }));
    EXPECT_EQ(threadsNamed("tavrel.h264"), 1u);
    units.reset();
    EXPECT_TRUE(waitUntil([] { return threadsNamed("tavrel.h264") == 0; }));
    source->stopAnimating();
    EXPECT_EQ(source->letGos(), 1);
}

TEST(H264Stream, AConsumerThatLetsGoWithoutCancellingStopsTheStream) {
    auto source = std::make_shared<SyntheticPixelSource>(64, 64);
    source->animate(60);
    {
        auto [stream, units] = start(source, {30, 1, 1, 200000}, true);
        ASSERT_TRUE(units.next().has_value());
    }
    EXPECT_EQ(source->observerCount(), 0u);
    EXPECT_EQ(source->letGos(), 1);
    source->stopAnimating();
}

TEST(H264Stream, ProducesOnlyIntoAStreamThatOwnsIt) {
    auto source = std::make_shared<SyntheticPixelSource>(64, 64);
    auto stream = H264Stream::make(source, std::make_shared<Pictures>(), {30, 1, 1, 200000}, false,
                                   0.5, Log(Log::Level::error, nullptr));
    AsyncStream<Bytes> units;
    EXPECT_THROW(stream->units(units), std::logic_error);
    EXPECT_EQ(source->observerCount(), 0u);
    stream.reset();
    EXPECT_EQ(source->letGos(), 1);
}

TEST(H264Stream, StopIsIdempotentAndEndsTheOutput) {
    auto source = std::make_shared<SyntheticPixelSource>(64, 64);
    auto [stream, units] = start(source, {30, 1, 1, 200000}, false);
    ASSERT_TRUE(units.next().has_value());
    stream->stop();
    stream->stop();
    EXPECT_EQ(source->letGos(), 1);
    EXPECT_EQ(source->observerCount(), 0u);
    EXPECT_FALSE(units.next().has_value());
}

TEST(H264Stream, CreationFailuresLetTheSourceGo) {
    struct Case {
        const char* name;
        bool drawn;
        StreamSettings settings;
        HelperFailure expected;
    };
    const Case cases[] = {
        {"no picture",
         false,
         {30, 1, 1, 200000},
         {"the simulator has not drawn its screen yet", 503}},
        {"bad fps", true, {0, 1, 1, 200000}, {"fps must be 1 to 120", 400}},
        {"bad scale", true, {30, 1.5, 1, 200000}, {"scale must be more than 0 and at most 1", 400}},
        {"bad bitrate", true, {30, 1, 1, 99999}, {"bitrate must be at least 100000", 400}},
    };
    for (const auto& c : cases) {
        auto source = std::make_shared<SyntheticPixelSource>(64, 64, c.drawn);
        source->setNoPictureFailure(
            HelperFailure("the simulator has not drawn its screen yet", 503));
        try {
            H264Stream::make(source, std::make_shared<Pictures>(), c.settings, false, 0.05,
                             Log(Log::Level::error, nullptr));
            ADD_FAILURE() << c.name;
        } catch (const HelperFailure& failure) {
            EXPECT_EQ(failure, c.expected) << c.name;
        }
        EXPECT_EQ(source->holds(), 1) << c.name;
        EXPECT_EQ(source->letGos(), 1) << c.name;
    }
    auto refusing = std::make_shared<SyntheticPixelSource>(64, 64);
    refusing->failHolds(HelperFailure("the display offers no frames", 409));
    EXPECT_THROW(H264Stream::make(refusing, std::make_shared<Pictures>(), {30, 1, 1, 200000}, false,
                                  0.05, Log(Log::Level::error, nullptr)),
                 HelperFailure);
    EXPECT_EQ(refusing->letGos(), 0);
}

// Hands out a picture that cannot be read once told to, as a source whose memory went away.
class BreakingSource : public SyntheticPixelSource {
  public:
    using SyntheticPixelSource::SyntheticPixelSource;
    std::optional<Picture> picture() override {
        if (!broken) return SyntheticPixelSource::picture();
        return Picture{std::make_shared<Surface>(nullptr, 64, 64, 256, &seed, nullptr), 99,
                       nullptr};
    }
    std::atomic<bool> broken{false};
    std::atomic<std::uint32_t> seed{0};
};

TEST(H264Stream, AFailedFrameEndsTheStreamWithItsFailure) {
    auto source = std::make_shared<BreakingSource>(64, 64);
    LogLines lines;
    auto started = start(source, {30, 1, 1, 200000}, false, lines.log());
    ASSERT_TRUE(started.units.next().has_value());
    source->broken = true;
    source->redraw();
    const auto collected = collect(started.units, 3.0);
    ASSERT_TRUE(collected.error);
    try {
        std::rethrow_exception(collected.error);
    } catch (const HelperFailure& failure) {
        EXPECT_EQ(failure, HelperFailure("the screen's surface cannot be read as pixels", 502));
    }
    const auto logged = lines.lines();
    EXPECT_NE(std::find(logged.begin(), logged.end(),
                        "[error] the screen's surface cannot be read as pixels"),
              logged.end());
    EXPECT_EQ(source->letGos(), 1);
    EXPECT_EQ(source->observerCount(), 0u);
}

TEST(H264Stream, LogsItsStartAndKeyFrames) {
    auto source = std::make_shared<SyntheticPixelSource>(64, 48);
    LogLines lines;
    auto started = start(source, {30, 1, 1, 200000}, false, lines.log());
    ASSERT_TRUE(started.units.next().has_value());
    started.units.cancel();
    const auto logged = lines.lines();
    ASSERT_GE(logged.size(), 3u);
    EXPECT_TRUE(std::regex_match(
        logged[0],
        std::regex(R"(\[debug\] a 64x48 H\.264 stream's encoder is ready after \d+ms)")));
    EXPECT_TRUE(
        std::regex_match(logged[1], std::regex(R"(\[debug\] a key frame is drawn after \d+ms)")));
    EXPECT_TRUE(
        std::regex_match(logged[2], std::regex(R"(\[debug\] a key frame is encoded after \d+ms)")));
}

TEST(H264Stream, TicksEveryHalfKeyFrameIntervalAtMostAQuarterSecond) {
    auto source = std::make_shared<SyntheticPixelSource>(64, 64);
    for (auto [keyFrameS, tick] : {std::pair{0.1, 0.05}, {2.0, 0.25}, {0.4, 0.2}}) {
        auto stream =
            H264Stream::make(source, std::make_shared<Pictures>(), {30, 1, keyFrameS, 200000},
                             false, 0.1, Log(Log::Level::error, nullptr));
        EXPECT_DOUBLE_EQ(stream->tickInterval(), tick);
    }
    EXPECT_EQ(source->letGos(), 3);
}

TEST(H264Stream, PackagesAnnexBPacketsAsAccessUnits) {
    const Bytes annexB = {0, 0, 0, 1,    0x09, 0x10,        // delimiter from the encoder: dropped
                          0, 0, 0, 1,    0x67, 0x42,        // SPS in the packet: dropped here
                          0, 0, 1, 0x68, 0xCE,              // PPS, three-byte start code
                          0, 0, 1, 0x06, 0x05, 0x01,        // SEI: kept
                          0, 0, 0, 1,    0x65, 0x88, 0x84,  // IDR slice: kept
                          0, 0, 0, 1,    0x0C, 0xFF};       // filler: dropped
    AVPacketPtr packet(av_packet_alloc());
    ASSERT_EQ(av_new_packet(packet.get(), static_cast<int>(annexB.size())), 0);
    std::copy(annexB.begin(), annexB.end(), packet->data);
    const std::vector<Bytes> parameterSets = {{0x67, 0x42}, {0x68, 0xCE}};
    EncodedSample sample;
    sample.outcome = EncodedSample::Outcome::encoded;
    sample.packet = packet.get();
    sample.parameterSets = parameterSets;

    packet->flags = AV_PKT_FLAG_KEY;
    EXPECT_TRUE(H264Stream::isKeyFrame(sample));
    EXPECT_EQ(H264Stream::accessUnit(sample), Bytes({
                                                  0, 0, 0, 1, 0x67, 0x42,        // SPS
                                                  0, 0, 0, 1, 0x68, 0xCE,        // PPS
                                                  0, 0, 0, 1, 0x06, 0x05, 0x01,  // SEI
                                                  0, 0, 0, 1, 0x65, 0x88, 0x84,  // IDR slice
                                                  0, 0, 0, 1, 0x09, 0xF0,        // delimiter
                                              }));
    packet->flags = 0;
    EXPECT_FALSE(H264Stream::isKeyFrame(sample));
    EXPECT_EQ(H264Stream::accessUnit(sample),
              Bytes({0, 0,    0,    1,    0x06, 0x05, 0x01, 0, 0,    0,
                     1, 0x65, 0x88, 0x84, 0,    0,    0,    1, 0x09, 0xF0}));

    sample.packet = nullptr;
    try {
        H264Stream::accessUnit(sample);
        ADD_FAILURE();
    } catch (const HelperFailure& failure) {
        EXPECT_EQ(failure, HelperFailure("an encoded frame without data", 502));
    }
}

TEST(H264Stream, WarmEncodesAThrowAwayFrameWithoutTouchingTheSource) {
    auto source = std::make_shared<SyntheticPixelSource>(200, 120);
    Pictures pictures;
    H264Stream::warm(*source->picture(), pictures);
    Picture tiny{Surface::allocate(1, 1), 1, nullptr};  // too small for a plan: ignored
    H264Stream::warm(tiny, pictures);
    EXPECT_EQ(source->holds(), 0);
}

}  // namespace
}  // namespace tavrel
