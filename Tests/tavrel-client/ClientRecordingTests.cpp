// The render job `record` writes beside its frame file: the helper's touches moved onto the
// recording's clock, and a job that render's own reader takes.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperCore/Render/RenderJob.hpp"
#include "tavrel-client/ClientRecording.hpp"
#include "tavrel-client/ClientRender.hpp"

namespace tavrel::client {
namespace {

using nlohmann::json;

json touch(double t, double duration, const std::string& kind = "tap") {
    return {{"t", t},
            {"kind", kind},
            {"points", {{0.5, 0.25}}},
            {"duration", duration},
            {"by", "agent"}};
}

TEST(ClientRecording, KeepsTheTouchesThatOverlapTheRecordingOnItsClock) {
    constexpr double start = 1765324800.5;
    constexpr double stop = start + 5;
    struct Case {
        const char* what;
        json given;
        std::vector<double> kept;  // the "t" of each touch kept, in order
    };
    const std::vector<Case> cases = {
        {"none", json::array(), {}},
        {"inside, in order",
         {touch(start + 1, 0.05), touch(start + 1.7, 0.6, "swipe"), touch(start + 4.9, 0.4)},
         {1, 1.7, 4.9}},
        {"at the very start and end", {touch(start, 0.05), touch(stop, 0.05)}, {0, 5}},
        {"after the recording stopped", {touch(start + 2, 0.05), touch(stop + 0.2, 0.05)}, {2}},
        {"ended before it started", {touch(start - 2, 0.5), touch(start + 3, 0.05)}, {3}},
        {"still held when it started", {touch(start - 0.2, 0.5, "swipe")}, {-0.2}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto kept = ClientRecording::onRecordingClock({{"touches", c.given}}, start, stop);
        ASSERT_EQ(kept.size(), c.kept.size());
        for (std::size_t index = 0; index < kept.size(); ++index) {
            EXPECT_NEAR(kept[index]["t"].get<double>(), c.kept[index], 1e-6);
            // Everything but the time goes on as the helper gave it.
            auto rest = kept[index];
            rest.erase("t");
            EXPECT_EQ(rest["points"], json({{0.5, 0.25}}));
            EXPECT_TRUE(rest.contains("by"));
        }
    }
}

TEST(ClientRecording, RefusesAnAnswerWithoutATouchList) {
    for (const json& answer :
         {json(nullptr), json::array(), json({{"touches", json::object()}}), json::object()}) {
        SCOPED_TRACE(answer.dump());
        try {
            ClientRecording::onRecordingClock(answer, 0, 1);
            ADD_FAILURE() << "accepted";
        } catch (const HelperFailure& failure) {
            EXPECT_EQ(failure.status(), 502);
        }
    }
}

TEST(ClientRecording, NamesTheJobAndTheMovieBesideTheFrameFile) {
    const std::vector<std::tuple<std::string, std::string, std::string>> cases = {
        {"out/recording.tvrf", "out/recording.tvrf.job.json", "out/recording.mp4"},
        {"recording", "recording.job.json", "recording.mp4"},
        {"odd.mp4", "odd.mp4.job.json", "odd.mp4.mp4"},
    };
    for (const auto& [file, job, movie] : cases) {
        EXPECT_EQ(ClientRecording::jobPath(file), job);
        EXPECT_EQ(ClientRecording::moviePath(file), movie);
    }
}

TEST(ClientRender, WritesAJobRendersReaderTakesAndRefusesTouchesItWouldNot) {
    const auto touches = json::array({touch(0.5, 0.05),
                                      {{"t", 1.0},
                                       {"kind", "pinch"},
                                       {"points", {{0.4, 0.5}, {0.3, 0.5}}},
                                       {"points_two", {{0.6, 0.5}, {0.7, 0.5}}},
                                       {"duration", 0.4},
                                       {"by", "agent"}}});
    const auto job = ClientRender::job("/tmp/r.frames", touches, "/tmp/r.mp4", "/tmp/r.gif");
    const auto read = RenderJob::read(job.dump());
    EXPECT_EQ(read.input, "/tmp/r.frames");
    EXPECT_EQ(read.inputKind, RenderJob::InputKind::frames);
    EXPECT_EQ(read.mp4, "/tmp/r.mp4");
    EXPECT_EQ(read.gif, "/tmp/r.gif");
    ASSERT_EQ(read.touches.size(), 2u);
    EXPECT_EQ(read.touches[1].pointsTwo.size(), 2u);
    EXPECT_FALSE(ClientRender::job("f", json::array(), "m.mp4", std::nullopt).contains("gif"));

    for (const json& bad : {json::array({{{"t", 0}}}), json::object(),
                            json::array({{{"t", "soon"},
                                          {"kind", "tap"},
                                          {"points", json::array()},
                                          {"duration", 0},
                                          {"by", "agent"}}})}) {
        SCOPED_TRACE(bad.dump());
        try {
            ClientRender::job("f", bad, "m.mp4", std::nullopt);
            ADD_FAILURE() << "accepted";
        } catch (const HelperFailure& failure) {
            EXPECT_EQ(failure.status(), 502);
            EXPECT_TRUE(failure.message().starts_with(
                "the helper's touches do not fit a render job: not a render job: "))
                << failure.message();
        }
    }
}

}  // namespace
}  // namespace tavrel::client
