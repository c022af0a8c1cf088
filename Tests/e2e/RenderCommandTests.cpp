// The render command as a host runs it: a job file in, one JSON line out.

#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "HelperPlatform/Support/Recordings.hpp"
#include "Support/TemporaryDirectory.hpp"
#include "Support/WaitUntil.hpp"
#include "e2e/Support/ChildProcess.hpp"
#include "e2e/Support/RenderJobs.hpp"
#include "e2e/Support/SimulatorHome.hpp"

namespace tavrel::e2e {
namespace {

using nlohmann::json;

constexpr std::chrono::milliseconds patience(120000);

ProgramResult render(const std::string& jobPath) {
    return e2e::render(jobPath, patience);
}

template <class Folder>
ProgramResult renderJob(const Folder& folder, const json& job) {
    return e2e::renderJob(folder, job, patience);
}

template <class Folder>
json validJob(const Folder& folder) {
    return framesJob(folder, 400);
}

TEST(RenderCommand, PrintsEachRefusalOfAJobAsItsErrorAndExitsOne) {
    testing::TemporaryDirectory folder;
    struct Case {
        std::function<void(json&)> change;
        std::string error;  // a prefix for the decoder's own descriptions
    };
    const Case cases[] = {
        {[](json& job) { job.erase("input"); }, "not a render job: "},
        {[](json& job) { job["input_kind"] = "pictures"; }, "not a render job: "},
        {[](json& job) { job["speed"] = "fast"; }, "not a render job: "},
        {[](json& job) {
             job["touches"] = json::array({{{"t", 0}}});
         },
         "not a render job: "},
        {[](json& job) { job["mp4"] = nullptr; }, "a render job names no file to write"},
        {[](json& job) { job.erase("mp4"); }, "a render job names no file to write"},
        {[&](json& job) {
             job.erase("mp4");
             job["gif"] = folder.file("o.gif");
             job["codec"] = "H264";
         },
         "not a codec: H264"},
        {[](json& job) { job["codec"] = "vp9"; }, "not a codec: vp9"},
        {[](json& job) { job["speed"] = 0.2; }, "speed must be 0.25 to 8"},
        {[](json& job) { job["speed"] = 8.5; }, "speed must be 0.25 to 8"},
        {[](json& job) { job["gif_fps"] = 0; }, "gif_fps must be 1 to 30"},
        {[](json& job) { job["gif_fps"] = 31; }, "gif_fps must be 1 to 30"},
        {[](json& job) { job["gif_width"] = 63; }, "gif_width must be 64 to 2000"},
        {[](json& job) { job["gif_width"] = 2001; }, "gif_width must be 64 to 2000"},
        // Checks run in order: the first failure wins.
        {[](json& job) {
             job["codec"] = "av1";
             job["speed"] = 0;
         },
         "not a codec: av1"},
    };
    for (const Case& c : cases) {
        json job = validJob(folder);
        c.change(job);
        const ProgramResult result = renderJob(folder, job);
        EXPECT_EQ(result.status, 1) << job.dump();
        ASSERT_FALSE(result.out.empty()) << job.dump();
        EXPECT_EQ(result.out.back(), '\n');
        EXPECT_EQ(result.out.find('\n'), result.out.size() - 1) << "one line";
        const json printed = json::parse(result.out);
        ASSERT_EQ(printed.size(), 1u);
        EXPECT_EQ(printed["error"].get<std::string>().rfind(c.error, 0), 0u)
            << printed << " for " << job.dump();
        if (!c.error.ends_with(": ")) {
            EXPECT_EQ(printed["error"], c.error);
        }
    }
    const ProgramResult missing = render(folder.file("no-such-job.json"));
    EXPECT_EQ(missing.status, 1);
    EXPECT_TRUE(json::parse(missing.out).contains("error"));
}

TEST(RenderCommand, WritesTheMP4ThenTheGIFAndPrintsBoth) {
    testing::TemporaryDirectory folder;
    testing::writeH264Recording(folder.file("r.tvrf"), 240, 320, 40, 20,
                                [](int index, testing::Painting& p) {
                                    p.fill(0, 0, p.width, p.height, {128, 128, 128});
                                    p.fill(index * 4, 20, 20, 20, {250, 250, 250});
                                });
    json job = validJob(folder);
    job["gif"] = folder.file("o.gif");
    job["gif_width"] = 120;
    job["speed"] = 2;
    job["touches"] = json::array({{{"t", 0.5},
                                   {"kind", "swipe"},
                                   {"points", {{0.2, 0.8}, {0.8, 0.2}}},
                                   {"duration", 0.5},
                                   {"by", "agent"}}});
    const ProgramResult result = renderJob(folder, job);
    ASSERT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_EQ(result.out.find('\n'), result.out.size() - 1);
    // 1.95 s at speed 2: 30 ticks at 30 fps, 10 at 10 fps.
    EXPECT_EQ(json::parse(result.out),
              json::parse(R"({"files":[{"duration_s":1.0,"format":"mp4","height":320,"path":")" +
                          folder.file("o.mp4") +
                          R"(","width":240},{"duration_s":1.0,"format":"gif","height":160,)"
                          R"("path":")" +
                          folder.file("o.gif") + R"(","width":120}]})"));
    EXPECT_EQ(testing::commandOutput("ffprobe -v error -count_frames -show_entries "
                                     "stream=nb_read_frames -of csv=p=0 '" +
                                     folder.file("o.mp4") + "'"),
              "30\n");
    EXPECT_NE(testing::commandOutput("gifsicle --info '" + folder.file("o.gif") + "'")
                  .find("loop forever"),
              std::string::npos);
}

TEST(RenderCommand, RendersWhatTheClientRecordedFromTheSimulatedIPhone) {
    SimulatorHome home;
    ServedDevice served(home, home.boot("Phone"));
    const std::string recording = home.file("r.tvrf");
    const std::string log = home.file("touches.jsonl");
    ChildProcess recorder(
        "tavrel-client",
        {"--socket", served.socket(), "record", recording, "--seconds", "3", "--scale", "0.5"},
        home.path());
    // The tap lands while the recorder streams; the frame file exists once it has begun.
    testing::waitUntil([&] { return std::filesystem::exists(recording); },
                       std::chrono::seconds(30));
    const auto tapped = served.client({"tap", "--element", "tap-button", "--log", log});
    ASSERT_EQ(tapped.status, 0) << tapped.err;
    const auto pinched = served.client(
        {"pinch", "--element", "photo", "--scale", "1.5", "--seconds", "0.2", "--log", log});
    ASSERT_EQ(pinched.status, 0) << pinched.err;
    ASSERT_EQ(recorder.wait(std::chrono::milliseconds(60000)), 0) << recorder.standardError();
    const json summary = json::parse(recorder.standardOutput());
    EXPECT_GT(summary["frames"].get<int>(), 0);

    std::ifstream lines(log);
    std::string line;
    ASSERT_TRUE(std::getline(lines, line));
    json touch = json::parse(line);
    EXPECT_EQ(touch["kind"], "tap");
    EXPECT_EQ(touch["by"], "agent");
    const double x = touch["points"][0][0], y = touch["points"][0][1];
    EXPECT_TRUE(x > 0 && x < 1 && y > 0 && y < 1) << touch;
    touch["t"] = touch["t"].get<double>() - summary["started_at"].get<double>();
    EXPECT_LT(touch["t"].get<double>(), 3.5) << touch;
    // The pinch: both fingers' paths, which render reads as one touch of two fingers.
    ASSERT_TRUE(std::getline(lines, line));
    json pinch = json::parse(line);
    EXPECT_EQ(pinch["kind"], "pinch");
    EXPECT_EQ(pinch["points"].size(), pinch["points_two"].size());
    pinch["t"] = pinch["t"].get<double>() - summary["started_at"].get<double>();

    json job = validJob(home);
    job["input"] = recording;
    job["mp4"] = home.file("o.mp4");
    job["gif"] = home.file("o.gif");
    job["touches"] = json::array({touch, pinch});
    const ProgramResult result = renderJob(home, job);
    ASSERT_EQ(result.status, 0) << result.out << result.err;
    const json report = json::parse(result.out);
    // The stream at half scale of a 1179x2556 screen.
    EXPECT_EQ(report["files"][0]["width"], 590);
    EXPECT_EQ(report["files"][0]["height"], 1278);
    EXPECT_EQ(report["files"][1]["width"], 400);
    EXPECT_EQ(
        testing::commandOutput("ffprobe -v error -show_entries stream=codec_name,width,height "
                               "-of csv=p=0 '" +
                               home.file("o.mp4") + "'"),
        "h264,590,1278\n");
}

}  // namespace
}  // namespace tavrel::e2e
