// A page's outgoing queue: text always goes, video is bounded and resumes at a key frame.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tavrel-client/View/ViewOutbox.hpp"

namespace tavrel::client {
namespace {

using Taken = ViewOutbox::Taken;

// An access unit as the helper sends one: a key frame opens with SPS and PPS; both end with the
// access-unit delimiter. `size` pads the picture's NAL unit.
Bytes unit(bool key, std::size_t size = 16) {
    Bytes bytes;
    auto nal = [&](std::initializer_list<std::uint8_t> body) {
        bytes.insert(bytes.end(), {0, 0, 0, 1});
        bytes.insert(bytes.end(), body);
    };
    if (key) {
        nal({0x67, 0x42, 0xC0, 0x1F});
        nal({0x68, 0xCE});
    }
    nal({static_cast<std::uint8_t>(key ? 0x65 : 0x41)});
    bytes.resize(bytes.size() + size, 0x88);
    nal({0x09, 0xF0});
    return bytes;
}

TEST(ViewOutbox, TellsKeyFramesByTheirLeadingParameterSet) {
    EXPECT_TRUE(ViewOutbox::isKeyFrame(unit(true)));
    EXPECT_FALSE(ViewOutbox::isKeyFrame(unit(false)));
    EXPECT_FALSE(ViewOutbox::isKeyFrame({}));
    EXPECT_FALSE(ViewOutbox::isKeyFrame({0, 0, 0, 1, 0x09, 0xF0}));
}

TEST(ViewOutbox, StartsAtAKeyFrameAndKeepsOrder) {
    ViewOutbox outbox(1000);
    EXPECT_TRUE(outbox.text("screen"));
    EXPECT_EQ(outbox.video(unit(false)), Taken::skipped);
    EXPECT_EQ(outbox.state(), ViewOutbox::Video::waitingForKeyFrame);
    const Bytes key = unit(true);
    EXPECT_EQ(outbox.video(key), Taken::queued);
    EXPECT_TRUE(outbox.text("answer"));
    EXPECT_EQ(outbox.video(unit(false)), Taken::queued);
    EXPECT_EQ(outbox.state(), ViewOutbox::Video::flowing);

    const std::vector<std::pair<bool, std::size_t>> expected = {
        {false, 6}, {true, key.size()}, {false, 6}, {true, unit(false).size()}};
    for (const auto& [binary, size] : expected) {
        const auto item = outbox.next();
        ASSERT_TRUE(item);
        EXPECT_EQ(item->binary, binary);
        EXPECT_EQ(item->bytes.size(), size);
    }
    EXPECT_FALSE(outbox.next());
    EXPECT_EQ(outbox.videoBytes(), 0u);
}

TEST(ViewOutbox, APageThatFallsBehindLosesTheWaitingVideoButNotItsAnswers) {
    const std::size_t delta = unit(false, 100).size();
    ViewOutbox outbox(unit(true, 100).size() + 3 * delta);
    ASSERT_EQ(outbox.video(unit(true, 100)), Taken::queued);
    for (int index = 0; index < 3; ++index)
        ASSERT_EQ(outbox.video(unit(false, 100)), Taken::queued);
    EXPECT_TRUE(outbox.text("answer"));

    // The page reads nothing: the next delta passes the bound.
    EXPECT_EQ(outbox.video(unit(false, 100)), Taken::behind);
    EXPECT_EQ(outbox.videoBytes(), 0u);
    EXPECT_EQ(outbox.state(), ViewOutbox::Video::waitingForKeyFrame);
    // Deltas of the old stream cannot be decoded without what was dropped.
    EXPECT_EQ(outbox.video(unit(false, 100)), Taken::skipped);
    EXPECT_EQ(outbox.video(unit(true, 100)), Taken::queued);

    auto first = outbox.next();
    ASSERT_TRUE(first);
    EXPECT_FALSE(first->binary);
    EXPECT_EQ(first->bytes, "answer");
    auto second = outbox.next();
    ASSERT_TRUE(second);
    EXPECT_TRUE(second->binary);
    EXPECT_TRUE(ViewOutbox::isKeyFrame(Bytes(second->bytes.begin(), second->bytes.end())));
    EXPECT_FALSE(outbox.next());
}

TEST(ViewOutbox, AKeyFrameThatPassesTheBoundReplacesTheWaitingVideo) {
    ViewOutbox outbox(200);
    ASSERT_EQ(outbox.video(unit(true, 100)), Taken::queued);
    ASSERT_EQ(outbox.video(unit(false, 60)), Taken::queued);
    EXPECT_EQ(outbox.video(unit(true, 100)), Taken::queued);
    EXPECT_EQ(outbox.videoBytes(), unit(true, 100).size());
    // One that cannot fit even alone is never queued.
    EXPECT_EQ(outbox.video(unit(true, 400)), Taken::behind);
    EXPECT_TRUE(outbox.empty());
}

TEST(ViewOutbox, AnswersThatPileUpPastTheirBoundAreRefusedNotDropped) {
    ViewOutbox outbox(1000, 10);
    EXPECT_TRUE(outbox.text("12345"));
    EXPECT_TRUE(outbox.text("67890"));
    EXPECT_FALSE(outbox.text("x"));
    // Video has a bound of its own.
    EXPECT_EQ(outbox.video(unit(true)), Taken::queued);
    ASSERT_TRUE(outbox.next());
    EXPECT_TRUE(outbox.text("x"));
    std::vector<std::string> out;
    while (auto item = outbox.next()) out.push_back(item->binary ? "video" : item->bytes);
    EXPECT_EQ(out, (std::vector<std::string>{"67890", "video", "x"}));
}

}  // namespace
}  // namespace tavrel::client
