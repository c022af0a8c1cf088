#include "HelperPlatform/Media/EncoderSession.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <stdexcept>

#include "HelperCore/Video/AnnexB.hpp"
#include "HelperPlatform/Media/H264Stream.hpp"
#include "HelperPlatform/Render/H264Decoder.hpp"
#include "HelperPlatform/Support/SyntheticPixelSource.hpp"
#include "Support/ThreadCensus.hpp"
#include "Support/WaitUntil.hpp"

namespace tavrel {
namespace {

using testing::SyntheticPixelSource;

EncoderPlan planFor(int width, int height, double keyFrameS = 1) {
    return EncoderPlan::make(StreamSettings{30, 1, keyFrameS, 1000000}, width, height);
}

// Encodes `count` frames of a changing screen one at a time, handing each output to `check`.
void encodeFrames(EncoderSession& session, SyntheticPixelSource& source, int count,
                  const std::function<bool(int)>& key, const EncoderSession::Output& check) {
    Pictures pictures;
    std::mutex mutex;
    std::condition_variable done;
    int outputs = 0;
    for (int i = 0; i < count; ++i) {
        source.redraw();
        auto frame = session.pixelBuffer();
        ASSERT_TRUE(frame) << i;
        pictures.draw(*source.picture()->surface, frame.get());
        ASSERT_EQ(session.submit(std::move(frame), i / 30.0, key(i),
                                 [&](const EncodedSample& sample) {
                                     check(sample);
                                     // Under the lock: the waiter may return and end `done`.
                                     std::lock_guard lock(mutex);
                                     ++outputs;
                                     done.notify_all();
                                 }),
                  0);
        std::unique_lock lock(mutex);
        ASSERT_TRUE(done.wait_for(lock, testing::patience, [&] { return outputs == i + 1; }));
    }
}

// The units of an Annex B byte string, copied out.
std::vector<Bytes> unitsOf(AnnexB::ByteView annexB) {
    std::vector<Bytes> units;
    for (const auto unit : AnnexB::nalUnitViews(annexB))
        units.emplace_back(unit.begin(), unit.end());
    return units;
}

TEST(AccessUnitPackaging, KeepsTheEncodersPictureUnitsBehindTheNewestParameterSets) {
    // Two sizes: the second is big enough for libx264 to cut several slices a frame.
    for (auto [width, height] : {std::pair{322, 242}, {1180, 2556}}) {
        SyntheticPixelSource source(width, height);
        auto session = H264Stream::session(planFor(width, height, 0.2));
        int keys = 0, others = 0;
        H264Decoder decoder;
        encodeFrames(
            *session, source, 16, [](int i) { return i == 9; },
            [&](const EncodedSample& sample) {
                ASSERT_EQ(sample.outcome, EncodedSample::Outcome::encoded);
                const Bytes unit = H264Stream::accessUnit(sample);
                // What it should hold, from the encoder's own packet: the parameter sets on a
                // key frame, the picture and SEI units in order, nothing else, the delimiter.
                std::vector<Bytes> expected;
                if (H264Stream::isKeyFrame(sample)) {
                    expected.assign(sample.parameterSets.begin(), sample.parameterSets.end());
                    EXPECT_EQ(expected.size(), 2u);
                }
                for (auto& packetUnit : unitsOf(
                         {sample.packet->data, static_cast<std::size_t>(sample.packet->size)})) {
                    const auto type = AnnexB::type(packetUnit);
                    if (NALUnit::isPicture(type) || type == NALUnit::supplementalEnhancement)
                        expected.push_back(std::move(packetUnit));
                }
                expected.push_back(Bytes(AnnexB::accessUnitDelimiter.begin() + 4,
                                         AnnexB::accessUnitDelimiter.end()));
                EXPECT_EQ(unitsOf(unit), expected);
                ++(H264Stream::isKeyFrame(sample) ? keys : others);
                EXPECT_TRUE(decoder.decode(unit));
            });
        session->complete();
        // The first frame, the one asked for, and those key_frame_s 0.2 brings at 30 fps.
        EXPECT_GE(keys, 3) << width;
        EXPECT_GE(others, 8) << width;
    }
}

TEST(EncoderSession, AnEncoderThatDoesNotOpenIsNamedWithItsCallAndReason) {
    // libx264 takes 4:2:0 only in even sizes.
    const EncoderPlan odd{101, 99, 30, 1, 1000000, 187500};
    try {
        EncoderSession::open(odd);
        ADD_FAILURE() << "an odd size opened";
    } catch (const HelperFailure& failure) {
        EXPECT_EQ(failure.status(), 502);
        EXPECT_THAT(failure.message(),
                    ::testing::StartsWith("this Mac has no H.264 encoder for 101x99: "));
        EXPECT_THAT(failure.message(),
                    ::testing::EndsWith("libx264: avcodec_open2 failed (Generic error in an "
                                        "external library)"));
    }
    // One refused plan turns nothing off: the next plan opens.
    EXPECT_TRUE(EncoderSession::open(planFor(64, 64)));
}

TEST(EncoderSession, CompletingFromItsOwnOutputIsRefusedAndNeverDetaches) {
    SyntheticPixelSource source(64, 64);
    auto session = H264Stream::session(planFor(64, 64));
    bool refused = false;
    encodeFrames(
        *session, source, 1, [](int) { return true; },
        [&](const EncodedSample&) {
            try {
                session->complete();
            } catch (const std::logic_error&) {
                refused = true;
            }
        });
    EXPECT_TRUE(refused);
    // The owner completes it: every frame out, the thread joined, later frames refused.
    session->complete();
    EXPECT_EQ(session->pixelBuffer(), nullptr);
    AVFramePtr frame(av_frame_alloc());
    EXPECT_LT(session->submit(
                  std::move(frame), 1, false,
                  [](const EncodedSample&) { ADD_FAILURE() << "a refused frame has no output"; }),
              0);
    EXPECT_TRUE(testing::waitUntil([] { return testing::threadsNamed("tavrel.encoder") == 0; }));
    session->complete();  // idempotent
}

}  // namespace
}  // namespace tavrel
