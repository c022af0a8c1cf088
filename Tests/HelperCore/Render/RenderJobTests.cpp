#include "HelperCore/Render/RenderJob.hpp"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperCore/Base/JSON.hpp"

namespace tavrel {
namespace {

TEST(RenderJob, ReadsEveryFieldAndEncodesBackWithTheSameKeys) {
    const std::string text =
        R"({"input":"/r.tvrf","input_kind":"frames","extra":1,"codec":"hevc","speed":0.25,)"
        R"("gif_fps":30,"gif_width":2000,"gif":"/o.gif","mp4":null,)"
        R"("touches":[{"t":1.5,"kind":"long_press","points":[[0.1,0.2],[1,2,3]],)"
        R"("duration":2,"by":"agent","pressure":9}]})";
    const RenderJob job = RenderJob::read(text);
    EXPECT_EQ(job.input, "/r.tvrf");
    EXPECT_EQ(job.inputKind, RenderJob::InputKind::frames);
    EXPECT_EQ(job.mp4, std::nullopt);
    EXPECT_EQ(job.gif, "/o.gif");
    EXPECT_EQ(job.codec, "hevc");
    EXPECT_EQ(job.gifFps, 30);
    ASSERT_EQ(job.touches.size(), 1u);
    EXPECT_EQ(job.touches[0],
              (RecordedTouch{1.5, "long_press", {{0.1, 0.2}, {1, 2, 3}}, 2, "agent"}));
    EXPECT_EQ(JSON::encode(job),
              R"({"codec":"hevc","gif":"/o.gif","gif_fps":30,"gif_width":2000,"input":"/r.tvrf",)"
              R"("input_kind":"frames","speed":0.25,"touches":[{"by":"agent","duration":2.0,)"
              R"("kind":"long_press","points":[[0.1,0.2],[1.0,2.0,3.0]],"t":1.5}]})");
    EXPECT_EQ(RenderJob::read(JSON::encode(job)), job);
}

TEST(RenderJob, ASecondFingersPathIsOptionalAndWrittenOnlyWhenThere) {
    const std::string oneFinger =
        R"({"codec":"h264","gif_fps":10,"gif_width":400,"input":"/r.tvrf",)"
        R"("input_kind":"frames","mp4":"/o.mp4","speed":1.0,"touches":[{"by":"agent",)"
        R"("duration":0.3,"kind":"swipe","points":[[0.5,0.8],[0.5,0.2]],"t":1.0}]})";
    const RenderJob job = RenderJob::read(oneFinger);
    EXPECT_TRUE(job.touches.at(0).pointsTwo.empty());
    // A job of one finger is written byte for byte as before.
    EXPECT_EQ(JSON::encode(job), oneFinger);

    RenderJob pinch = job;
    pinch.touches[0].kind = "pinch";
    pinch.touches[0].pointsTwo = {{0.5, 0.1}, {0.5, 0.9}};
    const std::string written = JSON::encode(pinch);
    EXPECT_NE(written.find(R"("points_two":[[0.5,0.1],[0.5,0.9]])"), std::string::npos) << written;
    EXPECT_EQ(RenderJob::read(written), pinch);

    struct Case {
        const char* pointsTwo;
        const char* message;
    };
    const Case cases[] = {
        {"null", nullptr},
        {R"("a")", R"(not a render job: type must be array for "points_two" of touch 0)"},
        {"[1]", R"(not a render job: "points_two" is not an array of arrays of numbers)"},
        {R"([["x"]])", R"(not a render job: "points_two" is not an array of arrays of numbers)"},
    };
    for (const Case& c : cases) {
        std::string text = oneFinger;
        text.insert(text.find(R"("t":1.0)"), std::string(R"("points_two":)") + c.pointsTwo + ",");
        try {
            EXPECT_TRUE(RenderJob::read(text).touches.at(0).pointsTwo.empty()) << text;
            EXPECT_EQ(c.message, nullptr) << text;
        } catch (const HelperFailure& failure) {
            ASSERT_NE(c.message, nullptr) << failure.message();
            EXPECT_EQ(failure.message().rfind(c.message, 0), 0u) << failure.message();
            EXPECT_EQ(failure.status(), 400);
        }
    }
}

TEST(RenderReport, ListsFilesWithSnakeCaseKeys) {
    const RenderReport report{
        {{"/o.mp4", "mp4", 1180, 2556, 1.0}, {"/o.gif", "gif", 400, 868, 2.5}}};
    EXPECT_EQ(JSON::encode(report),
              R"({"files":[{"duration_s":1.0,"format":"mp4","height":2556,"path":"/o.mp4",)"
              R"("width":1180},{"duration_s":2.5,"format":"gif","height":868,"path":"/o.gif",)"
              R"("width":400}]})");
}

}  // namespace
}  // namespace tavrel
