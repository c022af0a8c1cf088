#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "HelperCore/Render/FrameFile.hpp"
#include "HelperCore/Replay/ReplayFile.hpp"
#include "HelperCore/Replay/ReplayRing.hpp"
#include "HelperCore/Video/AnnexB.hpp"
#include "Support/FrameFiles.hpp"

namespace tavrel {
namespace {

// A synthetic access unit as the encoder packages one: parameter sets ahead of a key frame,
// then the picture's slice padded to `size` bytes, then the delimiter.
Bytes unit(bool key, std::size_t size, std::uint8_t fill = 0x11) {
    Bytes bytes;
    const auto put = [&](std::initializer_list<std::uint8_t> nal) {
        bytes.insert(bytes.end(), AnnexB::startCode.begin(), AnnexB::startCode.end());
        bytes.insert(bytes.end(), nal);
    };
    if (key) {
        put({0x67, 0x42, 0x00, 0x1F});
        put({0x68, 0xCE, 0x3C, 0x80});
    }
    put({static_cast<std::uint8_t>(key ? 0x65 : 0x41)});
    bytes.resize(bytes.size() + size, fill);
    bytes.insert(bytes.end(), AnnexB::accessUnitDelimiter.begin(),
                 AnnexB::accessUnitDelimiter.end());
    return bytes;
}

std::vector<std::int64_t> typesOf(const Bytes& payload) {
    std::vector<std::int64_t> types;
    for (const auto nal : AnnexB::nalUnitViews(payload)) types.push_back(AnnexB::type(nal));
    return types;
}

// Whatever the screen does, after every unit: the window starts at a key frame, holds nothing
// on its clock beyond the kept seconds, lets go of every group it does not need, and the bytes
// charged stay within the limit.
TEST(ReplayRing, KeepsItsWindowAndItsBytesWhateverTheScreenDoes) {
    struct Case {
        const char* name;
        double seconds;
        double fps;
        double keyEveryS;
        std::size_t unitBytes;
        std::size_t limit;
        double runS;
    };
    const Case cases[] = {
        {"steady animation", 3, 30, 1, 2000, 1 << 20, 12},
        {"one second kept", 1, 30, 1, 2000, 1 << 20, 5},
        {"rare key frames", 2, 30, 2.5, 500, 1 << 20, 12},
        {"key frame every unit", 2, 10, 0.1, 100, 1 << 20, 6},
        {"bytes bind before time", 60, 30, 1, 10000, 400'000, 20},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ReplayRing ring(c.seconds, c.limit);
        double lastKey = -1e9;
        for (double t = 0; t < c.runS; t += 1 / c.fps) {
            const bool key = t - lastKey >= c.keyEveryS - 1e-9;
            if (key) lastKey = t;
            ring.add(unit(key, c.unitBytes), t);
            ASSERT_LE(ring.charged(), c.limit);

            const auto window = ring.window(t);
            ASSERT_FALSE(window.units.empty());
            ASSERT_TRUE(window.units.front().key);
            EXPECT_GE(window.origin, t - c.seconds - 1e-9);
            // The first group is kept only while it shows the window's first picture.
            std::size_t keys = 0;
            for (const auto& kept : window.units) {
                if (kept.key && keys++ == 1) {
                    EXPECT_GT(kept.t, t - c.seconds);
                }
            }
            const auto frames = testing::readFrames(ReplayFile::encode(window));
            ASSERT_FALSE(frames.empty());
            EXPECT_EQ(frames.front().time, 0);
            EXPECT_LE(frames.back().time, c.seconds + 1e-9);
        }
        EXPECT_LE(ring.mostCharged(), c.limit);
    }
}

TEST(ReplayRing, AStillScreenKeepsItsLastPictureAtTheWindowsStart) {
    ReplayRing ring(5, 1 << 20);
    ring.add(unit(true, 100), 10);
    ring.add(unit(false, 100), 10.1);
    // Nothing changes for a minute; the picture is still what the screen shows.
    const auto window = ring.window(70);
    ASSERT_EQ(window.units.size(), 2u);
    EXPECT_DOUBLE_EQ(window.origin, 65);
    for (const auto& frame : testing::readFrames(ReplayFile::encode(window)))
        EXPECT_EQ(frame.time, 0);

    // A young ring's clock starts at its first picture.
    ReplayRing young(5, 1 << 20);
    young.add(unit(true, 100), 10);
    young.add(unit(false, 100), 11.5);
    EXPECT_DOUBLE_EQ(young.window(12).origin, 10);
    EXPECT_EQ(testing::readFrames(ReplayFile::encode(young.window(12))).back().time, 1.5);
}

TEST(ReplayRing, WaitsForAKeyFrameAndAsksForOne) {
    struct Step {
        bool key;
        std::size_t bytes;
        bool wantsKey;
        std::size_t held;  // units in the window after the step
    };
    // A limit of 10 000 bytes: the third step's group outgrows it alone.
    const Step steps[] = {
        {false, 100, true, 0},  // no key frame yet: dropped
        {true, 3000, false, 1}, {false, 3000, false, 2},
        {false, 5000, true, 0},  // the group alone is over the limit: all goes
        {false, 100, true, 0},   // still waiting
        {true, 100, false, 1},
    };
    ReplayRing ring(10, 10'000);
    double t = 0;
    for (std::size_t index = 0; index < std::size(steps); ++index) {
        const auto& step = steps[index];
        EXPECT_EQ(ring.add(unit(step.key, step.bytes), t), step.wantsKey) << "step " << index;
        EXPECT_EQ(ring.window(t).units.size(), step.held) << "step " << index;
        EXPECT_LE(ring.charged(), 10'000u);
        t += 0.1;
    }
}

TEST(ReplayRing, TheFileCarriesEachKeyFramesParameterSetsInAFrameOfTheirOwn) {
    ReplayRing ring(10, 1 << 20);
    ring.add(unit(true, 50, 0x21), 1);
    ring.add(unit(false, 50, 0x22), 1.25);
    ring.add(unit(true, 50, 0x23), 2);
    const auto frames = testing::readFrames(ReplayFile::encode(ring.window(2)));
    using Types = std::vector<std::int64_t>;
    const std::vector<std::pair<double, Types>> expected = {
        {0, {7, 8}}, {0, {5, 9}}, {0.25, {1, 9}}, {1, {7, 8}}, {1, {5, 9}}};
    ASSERT_EQ(frames.size(), expected.size());
    for (std::size_t index = 0; index < frames.size(); ++index) {
        EXPECT_EQ(frames[index].kind, FrameFile::Kind::h264);
        EXPECT_EQ(frames[index].time, expected[index].first) << index;
        EXPECT_EQ(typesOf(frames[index].data), expected[index].second) << index;
    }
    // The picture's bytes pass unchanged.
    EXPECT_EQ(frames[2].data, unit(false, 50, 0x22));
}

TEST(ReplayRing, TheLargestRingFitsAReplyFrameWithRoomForItsTouches) {
    EXPECT_LT(ReplayRing::limitFor(2'000'000, 120) + 16 * 1024 * 1024, FrameFile::largestFrame);
}

}  // namespace
}  // namespace tavrel
