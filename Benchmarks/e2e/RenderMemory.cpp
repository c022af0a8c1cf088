// Peak resident memory of `tavrel-helper render` for a 10-minute recording against a 10-second
// one, both rendered to an MP4 and a GIF with a tap and a swipe every second: the sources and
// writers hold a few pictures, never the recording, so the two peaks should be equal. Each
// render runs as a child process whose peak comes from wait4; prints medians and their
// ratio as one JSON line.
// The recordings are 236x512 H.264 at 30 fps (an iPhone's shape at a fifth of its size), small
// enough that the 10-minute render takes well under a minute here.
// Usage: RenderMemory [ROUNDS]   (default 3)

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "HelperCore/Render/RenderJob.hpp"
#include "HelperPlatform/Support/Recordings.hpp"
#include "Support/TemporaryDirectory.hpp"

extern char** environ;

namespace tavrel {
namespace {

constexpr int width = 236;
constexpr int height = 512;
constexpr int fps = 30;

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const auto middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// A still screen with a bar scrolling through it and a small square that blinks each second.
void screen(int index, testing::Painting& painting) {
    painting.fill(0, 0, width, height, {235, 235, 240});
    painting.fill(0, (index * 3) % (height - 60), width, 60, {40, 110, 200});
    if ((index / fps) % 2 == 0) painting.fill(10, 10, 20, 20, {200, 60, 40});
}

std::string jobFor(const testing::TemporaryDirectory& folder, const std::string& name,
                   int seconds) {
    const std::string recording = folder.file(name + ".tvrf");
    testing::writeH264Recording(recording, width, height, seconds * fps, fps, screen);
    RenderJob job;
    job.input = recording;
    job.inputKind = RenderJob::InputKind::frames;
    job.mp4 = folder.file(name + ".mp4");
    job.gif = folder.file(name + ".gif");
    job.codec = "h264";
    job.speed = 1;
    job.gifFps = 10;
    job.gifWidth = width;
    for (int second = 0; second < seconds; ++second) {
        job.touches.push_back({second + 0.2, "tap", {{0.5, 0.3}}, 0.05, "agent"});
        job.touches.push_back({second + 0.5, "swipe", {{0.5, 0.8}, {0.5, 0.3}}, 0.4, "person"});
    }
    const std::string path = folder.file(name + ".json");
    std::ofstream(path) << nlohmann::json(job).dump();
    return path;
}

struct Run {
    double peakMiB = 0;
    double seconds = 0;
};

// Renders the job in a child process and reads its peak resident size.
Run render(const std::string& job) {
    const std::string helper = std::string(TAVREL_BINARY_DIR) + "/tavrel-helper";
    std::vector<std::string> words{helper, "render", "--job", job};
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    const auto start = std::chrono::steady_clock::now();
    pid_t child = -1;
    const int spawned =
        posix_spawn(&child, helper.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) throw std::runtime_error("cannot start " + helper);
    int status = 0;
    rusage usage{};
    if (::wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
        throw std::runtime_error("render failed: " + job);
    }
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    return {static_cast<double>(usage.ru_maxrss) / 1024, elapsed.count()};  // ru_maxrss is KiB
}

}  // namespace
}  // namespace tavrel

int main(int argc, char** argv) {
    using namespace tavrel;
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    testing::TemporaryDirectory folder;
    const std::string shortJob = jobFor(folder, "short", 10);
    const std::string longJob = jobFor(folder, "long", 600);
    std::vector<double> shortPeak, longPeak, shortTime, longTime;
    for (int round = 0; round < rounds; ++round) {
        const Run a = render(shortJob);
        const Run b = render(longJob);
        shortPeak.push_back(a.peakMiB);
        shortTime.push_back(a.seconds);
        longPeak.push_back(b.peakMiB);
        longTime.push_back(b.seconds);
    }
    auto rounded = [](double value) { return std::round(value * 100) / 100; };
    std::cout << nlohmann::json{
                     {"size", std::to_string(width) + "x" + std::to_string(height)},
                     {"rounds", rounds},
                     {"peak_mib_10s", rounded(median(shortPeak))},
                     {"peak_mib_10min", rounded(median(longPeak))},
                     {"peak_ratio", rounded(median(longPeak) / median(shortPeak))},
                     {"render_s_10s", rounded(median(shortTime))},
                     {"render_s_10min", rounded(median(longTime))},
                 }
                     .dump()
              << "\n";
}
