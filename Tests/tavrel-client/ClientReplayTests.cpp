// `tavrel-client replay` and the job `record` writes, against a simulated iPhone served by a
// helper that keeps its last seconds; the movies are read by ffprobe and gifsicle.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>

#include "Support/SimulatorHome.hpp"
#include "Support/WaitUntil.hpp"

namespace tavrel::e2e {
namespace {

using nlohmann::json;
using testing::waitUntil;

// `tavrel-helper serve` with --replay-seconds, up once it answers a hello.
class ReplayingHelper {
  public:
    ReplayingHelper(SimulatorHome& home, const std::string& udid, int seconds)
        : socket_(home.file("replay.sock")),
          process_("tavrel-helper",
                   {"serve", "--udid", udid, "--socket", socket_, "--replay-seconds",
                    std::to_string(seconds), "--parent-pid", std::to_string(::getpid())},
                   home.path()) {
        if (!waitUntil([&] {
                return process_.wait(std::chrono::milliseconds(0)) || client({"hello"}).status == 0;
            })) {
            throw std::runtime_error("the helper never answered: " + process_.standardError());
        }
        if (process_.wait(std::chrono::milliseconds(0))) {
            throw std::runtime_error("the helper ended: " + process_.standardError());
        }
    }
    ProgramResult client(const std::vector<std::string>& arguments) const {
        std::vector<std::string> all{"--socket", socket_};
        all.insert(all.end(), arguments.begin(), arguments.end());
        return runProgram("tavrel-client", all, std::chrono::seconds(90));
    }
    const std::string& socket() const { return socket_; }

  private:
    std::string socket_;
    ChildProcess process_;
};

// TMPDIR for the programs the test runs, so that what they leave there can be seen.
class ScopedTemporaryDirectory {
  public:
    explicit ScopedTemporaryDirectory(std::filesystem::path path) : path_(std::move(path)) {
        std::filesystem::create_directories(path_);
        if (const char* old = std::getenv("TMPDIR")) previous_ = old;
        ::setenv("TMPDIR", path_.c_str(), 1);
    }
    ~ScopedTemporaryDirectory() {
        if (previous_) {
            ::setenv("TMPDIR", previous_->c_str(), 1);
        } else {
            ::unsetenv("TMPDIR");
        }
    }
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
    std::optional<std::string> previous_;
};

json probe(const std::string& path) {
    const auto probed = runProgram(
        "ffprobe", {"-v", "error", "-count_frames", "-select_streams", "v:0", "-show_entries",
                    "stream=codec_name,nb_read_frames:format=duration", "-of", "json", path});
    EXPECT_EQ(probed.status, 0) << probed.err;
    EXPECT_EQ(probed.err, "");
    return json::parse(probed.out, nullptr, false);
}

double duration(const json& probed) {
    return std::stod(probed["format"]["duration"].get<std::string>());
}

TEST(ClientReplay, RecordWritesTheTapsOfItsTimeAndReplaySavesTheLastSeconds) {
    SimulatorHome home;
    const auto udid = home.boot("Replay");
    ASSERT_EQ(runProgram("tavrel-simctl", {"animate", udid, "on"}).status, 0);
    constexpr int keptS = 2;
    ReplayingHelper helper(home, udid, keptS);
    const ScopedTemporaryDirectory temporary(home.path() / "tmp");

    // A tap before the recording is not in its job.
    ASSERT_EQ(helper.client({"tap", "20", "20"}).status, 0);
    const auto frames = home.file("recording.tvrf");
    ChildProcess recorder("tavrel-client",
                          {"--socket", helper.socket(), "record", frames, "--seconds", "3", "--fps",
                           "30", "--scale", "0.5"},
                          home.path());
    // Once pictures are written the recording runs: tap while it does.
    ASSERT_TRUE(waitUntil([&] {
        std::error_code error;
        return std::filesystem::file_size(frames, error) > 4096 && !error;
    }));
    const auto tapped = helper.client({"tap", "196", "222"});
    ASSERT_EQ(tapped.status, 0) << tapped.err;
    const auto recorded = recorder.wait(std::chrono::seconds(60));
    ASSERT_EQ(recorded, 0) << recorder.standardError();

    const auto summary = json::parse(recorder.standardOutput());
    EXPECT_EQ(summary["job"], frames + ".job.json");
    EXPECT_EQ(summary["touches"], 1);
    std::ifstream jobFile(frames + ".job.json");
    const auto job = json::parse(jobFile, nullptr, false);
    ASSERT_TRUE(job.is_object());
    EXPECT_EQ(job["input"], std::filesystem::absolute(frames).string());
    EXPECT_EQ(job["input_kind"], "frames");
    EXPECT_EQ(job["mp4"], home.file("recording.mp4"));
    ASSERT_EQ(job["touches"].size(), 1u);
    const auto& touch = job["touches"][0];
    // On the recording's clock: after its first picture, before its end.
    EXPECT_GT(touch["t"].get<double>(), 0.0);
    EXPECT_LT(touch["t"].get<double>(), 3.0);
    EXPECT_NEAR(touch["points"][0][0].get<double>(), 196.0 / 393, 0.01);
    EXPECT_NEAR(touch["points"][0][1].get<double>(), 222.0 / 852, 0.01);

    // The job renders as it is.
    const auto rendered = runProgram("tavrel-helper", {"render", "--job", frames + ".job.json"},
                                     std::chrono::seconds(120));
    ASSERT_EQ(rendered.status, 0) << rendered.err << rendered.out;
    const auto movie = probe(home.file("recording.mp4"));
    EXPECT_NEAR(duration(movie), 3.0, 0.5);

    // A tap, then the last seconds: the screen animated all along, so the replay is full.
    ASSERT_EQ(helper.client({"tap", "100", "400"}).status, 0);
    const auto saved =
        helper.client({"replay", home.file("last.mp4"), "--gif", home.file("last.gif")});
    ASSERT_EQ(saved.status, 0) << saved.err;
    const auto report = json::parse(saved.out);
    EXPECT_GE(report["touches"].get<int>(), 1) << saved.out;
    ASSERT_EQ(report["files"].size(), 2u) << saved.out;
    const auto replay = probe(home.file("last.mp4"));
    EXPECT_EQ(replay["streams"][0]["codec_name"], "h264");
    // No more than the seconds kept (and a frame), and more than a moment.
    EXPECT_LE(duration(replay), keptS + 1.0 / 30 + 0.01);
    EXPECT_GT(duration(replay), 0.5);
    const auto gif = runProgram("gifsicle", {"--info", home.file("last.gif")});
    ASSERT_EQ(gif.status, 0) << gif.err;
    EXPECT_NE(gif.out.find("images"), std::string::npos) << gif.out;

    // The private folder of the frame file and job is gone.
    EXPECT_TRUE(std::filesystem::is_empty(temporary.path()));
}

TEST(ClientReplay, AHelperWithoutReplayRefusesWithHowToTurnItOn) {
    SimulatorHome home;
    ServedDevice served(home, home.boot("No replay"));
    const auto refused = served.client({"replay", home.file("last.mp4")});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err,
              "tavrel-client: the helper keeps no replay: start it with --replay-seconds N "
              "(status 409)\n");
    EXPECT_FALSE(std::filesystem::exists(home.file("last.mp4")));
}

}  // namespace
}  // namespace tavrel::e2e
