// A helper that keeps the screen's last seconds: the replay fetched over the socket renders, as
// ffprobe sees it, to the seconds kept, starts at a key frame, and carries the touches made in it.

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>

#include "HelperCore/Replay/ReplayRing.hpp"
#include "Support/FrameFiles.hpp"
#include "Support/SimulatorHome.hpp"
#include "Support/TestClient.hpp"
#include "Support/WaitUntil.hpp"

namespace tavrel::e2e {
namespace {

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif

using nlohmann::json;
using namespace std::chrono_literals;
using testing::waitUntil;

double monotonicNow() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void writeFile(const std::string& path, const Bytes& bytes) {
    std::ofstream file(path, std::ios::binary);
    file.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

json probe(const std::vector<std::string>& arguments) {
    const auto result = runProgram("ffprobe", arguments);
    EXPECT_EQ(result.status, 0) << result.err;
    return json::parse(result.out, nullptr, false);
}

struct Replay {
    testing::TestClient::Answer answer;
    double askedAt = 0;
    double answeredAt = 0;
};

Replay fetch(testing::TestClient& client, std::uint32_t id) {
    Replay replay;
    replay.askedAt = monotonicNow();
    replay.answer = client.ask(id, R"({"op":"replay"})", 30s);
    replay.answeredAt = monotonicNow();
    return replay;
}

TEST(Replay, TheLastSecondsRenderWithTheTouchesMadeInThem) {
    constexpr double kept = 3;
    SimulatorHome home;
    ServedDevice served(home, home.boot("Phone"), "auto", "helper.sock", {"--replay-seconds", "3"});
    ASSERT_EQ(runProgram("tavrel-simctl", {"animate", served.udid(), "on"}).status, 0);
    testing::TestClient client(served.socket());
    EXPECT_EQ(json::parse(client.ask(1, R"({"op":"hello"})", 30s).json())["replay_seconds"], 3);

    // Once the ring holds a picture, a tap inside what will be the window, then a window that
    // has filled up: the ring is older than the seconds kept, so its clock starts `kept` seconds
    // before the request.
    std::uint32_t id = 10;
    ASSERT_TRUE(
        waitUntil([&] { return fetch(client, ++id).answer.final.kind == FrameKind::reply; }));
    const double firstPicture = monotonicNow();
    waitUntil([&] { return monotonicNow() >= firstPicture + 1.5; });
    const double tapBefore = monotonicNow();
    const auto tapped = served.client({"tap", "98.25", "213"});
    ASSERT_EQ(tapped.status, 0) << tapped.err;
    const double tapAfter = monotonicNow();
    Replay replay;
    ASSERT_TRUE(waitUntil([&] {
        replay = fetch(client, ++id);
        return replay.answer.final.kind == FrameKind::reply &&
               replay.askedAt >= firstPicture + kept + 0.2;
    }));
    ASSERT_LT(replay.answeredAt, tapBefore + kept) << "the tap left the window before the request";

    const auto frames = testing::readFrames(replay.answer.final.blob);
    const double lastTime = frames.back().time;
    EXPECT_LE(lastTime, kept);
    EXPECT_GE(lastTime, kept - 0.5);
    const auto recording = home.file("replay.tvrf");
    writeFile(recording, replay.answer.final.blob);

    // The first picture decodes on its own: the buffer starts at a key frame.
    Bytes annexB;
    for (const auto& frame : frames)
        annexB.insert(annexB.end(), frame.data.begin(), frame.data.end());
    const auto raw = home.file("replay.h264");
    writeFile(raw, annexB);
    const auto first = probe({"-v", "error", "-select_streams", "v:0", "-read_intervals", "%+#1",
                              "-show_entries", "frame=key_frame,pict_type", "-of", "json", raw});
    ASSERT_FALSE(first["frames"].empty()) << first;
    EXPECT_EQ(first["frames"][0]["key_frame"], 1);
    EXPECT_EQ(first["frames"][0]["pict_type"], "I");

    // The touch, on the replay's clock: it starts `kept` seconds before the request.
    const auto touches = json::parse(replay.answer.json())["touches"];
    ASSERT_EQ(touches.size(), 1u) << touches;
    EXPECT_EQ(touches[0]["kind"], "tap");
    EXPECT_EQ(touches[0]["points"], json::parse("[[0.25,0.25]]"));
    const double t = touches[0]["t"].get<double>();
    EXPECT_GE(t, tapBefore - replay.answeredAt + kept - 0.05);
    EXPECT_LE(t, tapAfter - replay.askedAt + kept + 0.05);

    // Rendered with its touches, the movie lasts what the replay holds, within a frame.
    const auto movie = home.file("replay.mp4");
    json job{{"input", recording}, {"input_kind", "frames"}, {"touches", touches},
             {"mp4", movie},       {"codec", "h264"},        {"speed", 1},
             {"gif_fps", 10},      {"gif_width", 200}};
    const auto jobPath = home.file("job.json");
    std::ofstream(jobPath) << job.dump();
    const auto rendered = runProgram("tavrel-helper", {"render", "--job", jobPath}, 120s);
    ASSERT_EQ(rendered.status, 0) << rendered.err;
    const auto format =
        probe({"-v", "error", "-show_entries", "format=duration", "-of", "json", movie});
    const double duration = std::stod(format["format"]["duration"].get<std::string>());
    EXPECT_NEAR(duration, lastTime, 1.0 / 30 + 1e-3) << rendered.out;
}

long residentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("VmRSS:")) return std::stol(line.substr(6));
    }
    return -1;
}

TEST(Replay, HoldsNoMoreThanItsBoundWhileTheScreenAnimates) {
    // One second kept at 2 Mbit/s: a reply never carries more than the ring's limit nor more
    // than a second of pictures, however long the animation runs, and the helper's memory
    // stops growing once the ring is full.
    SimulatorHome home;
    ServedDevice served(home, home.boot("Phone"), "auto", "helper.sock", {"--replay-seconds", "1"});
    ASSERT_EQ(runProgram("tavrel-simctl", {"animate", served.udid(), "on"}).status, 0);
    testing::TestClient client(served.socket());
    const auto limit = ReplayRing::limitFor(2'000'000, 1);
    std::uint32_t id = 0;
    int replies = 0;
    long fullKiB = -1;
    std::optional<std::chrono::steady_clock::time_point> firstReply;
    ASSERT_TRUE(waitUntil(
        [&] {
            const auto answer = client.ask(++id, R"({"op":"replay"})", 30s);
            if (answer.final.kind != FrameKind::reply) return false;
            const auto now = std::chrono::steady_clock::now();
            if (!firstReply) firstReply = now;
            ++replies;
            EXPECT_LE(answer.final.blob.size(), limit);
            const auto frames = testing::readFrames(answer.final.blob);
            EXPECT_FALSE(frames.empty());
            if (!frames.empty()) {
                EXPECT_LE(frames.back().time, 1.0);
            }
            // Full after a second; sampled once it has cycled a few times more.
            if (fullKiB < 0 && now - *firstReply > 3s)
                fullKiB = residentKiB(served.process().pid());
            return now - *firstReply > 10s && replies >= 10;
        },
        60s));
    const long endKiB = residentKiB(served.process().pid());
    ASSERT_GT(fullKiB, 0);
    std::cout << "resident: " << fullKiB << " KiB with the ring full, " << endKiB
              << " KiB seven seconds later\n";
    // A sanitizer's allocator keeps what is freed (quarantine), whatever the ring lets go.
    if (!sanitized) {
        EXPECT_LT(endKiB - fullKiB, 8 * 1024);
    }
}

}  // namespace
}  // namespace tavrel::e2e
