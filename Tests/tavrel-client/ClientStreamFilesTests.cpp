// The files `tavrel-client stream` writes from a live stream of a simulated iPhone, as players
// read them: ffprobe must find nothing to warn about and one picture per access unit received.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "Support/SimulatorHome.hpp"

namespace tavrel::e2e {
namespace {

using nlohmann::json;

TEST(ClientStreamFiles, RawAndMP4RecordingsProbeCleanWithEveryAccessUnit) {
    SimulatorHome home;
    const auto udid = home.boot("Stream files");
    ASSERT_EQ(runProgram("tavrel-simctl", {"animate", udid, "on"}).status, 0);
    ServedDevice served(home, udid);

    for (const std::string name : {"live.h264", "live.mp4"}) {
        SCOPED_TRACE(name);
        const auto path = home.file(name);
        const auto recorded =
            served.client({"stream", path, "--seconds", "1.5", "--fps", "30", "--scale", "0.5"});
        ASSERT_EQ(recorded.status, 0) << recorded.err;
        const auto summary = json::parse(recorded.out);
        const int units = summary["access_units"].get<int>();
        ASSERT_GT(units, 10);  // the screen animates, so the stream runs at its rate

        const auto probe = runProgram(
            "ffprobe", {"-v", "warning", "-count_frames", "-select_streams", "v:0", "-show_entries",
                        "stream=codec_name,width,height,nb_read_frames", "-of", "json", path});
        ASSERT_EQ(probe.status, 0) << probe.err;
        EXPECT_EQ(probe.err, "");  // "missing picture in access unit", "no frame!" and the like
        const auto stream = json::parse(probe.out)["streams"][0];
        EXPECT_EQ(stream["codec_name"], "h264");
        EXPECT_EQ(stream["width"], 590);
        EXPECT_EQ(stream["height"], 1278);
        EXPECT_EQ(std::stoi(stream["nb_read_frames"].get<std::string>()), units);
    }

    // The MP4 is timed by arrival at the stream's rate, so it lasts about as long as recorded.
    const auto format =
        runProgram("ffprobe", {"-v", "error", "-show_entries", "format=duration,format_name", "-of",
                               "json", home.file("live.mp4")});
    ASSERT_EQ(format.status, 0) << format.err;
    const auto container = json::parse(format.out)["format"];
    EXPECT_NE(container["format_name"].get<std::string>().find("mp4"), std::string::npos);
    const double duration = std::stod(container["duration"].get<std::string>());
    EXPECT_GT(duration, 1.0);
    EXPECT_LT(duration, 2.0);
}

TEST(ClientStreamFiles, AnMP4ThatCannotBeWrittenFailsBeforeStreaming) {
    SimulatorHome home;
    ServedDevice served(home, home.boot("Unwritable"));
    const auto refused =
        served.client({"stream", home.file("no/such/folder/live.mp4"), "--seconds", "1"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("cannot write"), std::string::npos) << refused.err;
}

}  // namespace
}  // namespace tavrel::e2e
