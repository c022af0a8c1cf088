// Redraw cost of the simulated device's whole screen, and the latency of frame notices
// from the device process to a DeviceLink subscriber (median, in microseconds).
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "SimulatedPlatform/Device/DeviceLink/DeviceLink.hpp"
#include "SimulatedPlatform/Device/DeviceLink/DeviceSet.hpp"
#include "SimulatedPlatform/Device/DeviceLink/LinkProtocol.hpp"
#include "SimulatedPlatform/Device/simdevice/DemoModel.hpp"
#include "SimulatedPlatform/Device/simdevice/DemoRenderer.hpp"

extern char** environ;

namespace fs = std::filesystem;
using namespace tavrel::sim;

namespace {

void BM_FullRedraw(benchmark::State& state, const char* typeName) {
    const auto type = *deviceType(typeName);
    DemoModel model(type.widthPt(), type.heightPt());
    model.setAnimating(true);
    DemoRenderer renderer;
    SurfaceWriter surfaces(type.widthPx, type.heightPx);
    for (auto _ : state) {
        model.stepAnimation();
        uint8_t* pixels = surfaces.beginFrame();
        renderer.draw(model, pixels, type.widthPx, type.heightPx, surfaces.bytesPerRow(),
                      type.scale);
        benchmark::DoNotOptimize(surfaces.endFrame());
    }
    state.SetLabel(std::to_string(type.widthPx) + "x" + std::to_string(type.heightPx));
}
BENCHMARK_CAPTURE(BM_FullRedraw, iPhone15Pro, "iPhone-15-Pro")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_FullRedraw, iPhoneSE, "iPhone-SE")->Unit(benchmark::kMillisecond);

int simctl(std::vector<std::string> args, std::string* out = nullptr) {
    const std::string program = std::string(TAVREL_BINARY_DIR) + "/tavrel-simctl";
    args.insert(args.begin(), program);
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    pid_t pid;
    int status = -1;
    if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ) == 0) {
        close(pipeFds[1]);
        char buffer[256];
        ssize_t n;
        while ((n = read(pipeFds[0], buffer, sizeof buffer)) > 0) {
            if (out) out->append(buffer, n);
        }
        waitpid(pid, &status, 0);
    } else {
        close(pipeFds[1]);
    }
    close(pipeFds[0]);
    posix_spawn_file_actions_destroy(&actions);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Boots a device in a temporary HOME for the benchmark and removes it afterwards.
struct BootedDevice {
    fs::path home;
    std::string udid;
    BootedDevice() {
        char name[] = "/tmp/tavrel-bench-XXXXXX";
        home = mkdtemp(name);
        setenv("HOME", home.c_str(), 1);
        simctl({"create", "Bench", "iPhone-15-Pro"}, &udid);
        while (!udid.empty() && udid.back() == '\n') udid.pop_back();
        simctl({"boot", udid});
    }
    ~BootedDevice() {
        simctl({"shutdown", udid});
        fs::remove_all(home);
    }
    fs::path directory() const { return home / "Library/Developer/CoreSimulator/Devices" / udid; }
};

void BM_FrameNoticeLatency(benchmark::State& state) {
    BootedDevice device;
    DeviceLink link(device.directory());
    std::mutex lock;
    std::condition_variable arrived;
    std::vector<double> latenciesUs;
    uint64_t count = 0;
    const uint64_t token = link.subscribeFrames([&](const FrameNotice& notice) {
        const double us = (link::monotonicNs() - notice.drawnNs) / 1e3;
        std::lock_guard guard(lock);
        latenciesUs.push_back(us);
        ++count;
        arrived.notify_all();
    });
    link.setAnimating(true);
    for (auto _ : state) {
        std::unique_lock guard(lock);
        const uint64_t seen = count;
        arrived.wait(guard, [&] { return count > seen; });
    }
    link.setAnimating(false);
    link.unsubscribe(token);
    std::sort(latenciesUs.begin(), latenciesUs.end());
    if (!latenciesUs.empty()) {
        state.counters["median_us"] = latenciesUs[latenciesUs.size() / 2];
        state.counters["p90_us"] = latenciesUs[latenciesUs.size() * 9 / 10];
        state.counters["max_us"] = latenciesUs.back();
    }
}
BENCHMARK(BM_FrameNoticeLatency)->Iterations(300)->Unit(benchmark::kMillisecond);

}  // namespace
