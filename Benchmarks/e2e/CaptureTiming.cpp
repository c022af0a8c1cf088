// Times the cable path against the simulator path for the same simulated iPhone 15 Pro, in one
// run, and prints medians and same-run ratios as one JSON line:
//   - a full-size screenshot (quality 75) round trip through `capture` and through `serve`,
//     taken in alternation;
//   - picture in to access unit out: the device draws one new frame on a still screen (no tap:
//     its animation is switched on), and the time from the frame being drawn to the first
//     stream chunk after it, on a full-size stream of each helper in turn.
// Usage: CaptureTiming [ROUNDS]   (default 30)

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "HelperCore/Base/HelperFailure.hpp"
#include "SimulatedPlatform/Device/DeviceLink/CaptureSet.hpp"
#include "SimulatedPlatform/Device/DeviceLink/DeviceLink.hpp"
#include "Support/SimulatorHome.hpp"
#include "tavrel-client/ClientRequests.hpp"
#include "tavrel-client/ClientSocket.hpp"

namespace tavrel {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const auto middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

double rounded(double value) {
    return std::round(value * 100) / 100;
}

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// steady_clock is CLOCK_MONOTONIC here, the clock the device stamps its frames with.
std::uint64_t nowNs() {
    return std::uint64_t(
        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
            .count());
}

Frame ask(client::ClientSocket& socket, const std::string& json) {
    return socket.answer(socket.request(json), Clock::now() + 30s);
}

// `tavrel-helper capture` for the plugged device, up once its screen is open.
class CaptureHelper {
  public:
    CaptureHelper(e2e::SimulatorHome& home, const std::string& name)
        : socket_(home.file("capture.sock")) {
        process_ = std::make_unique<e2e::ChildProcess>(
            "tavrel-helper",
            std::vector<std::string>{"capture", "--udid", "cabled", "--name", name, "--socket",
                                     socket_, "--width-px", "1179", "--height-px", "2556",
                                     "--scale", "3", "--log-level", "warning"},
            home.path());
        const auto deadline = Clock::now() + 20s;
        while (!std::filesystem::exists(socket_)) {
            if (process_->wait(0ms) || Clock::now() > deadline)
                throw HelperFailure(
                    "the capture helper never listened: " + process_->standardError(), 502);
            std::this_thread::sleep_for(10ms);
        }
    }
    ~CaptureHelper() { process_->stop(); }
    const std::string& socket() const { return socket_; }

  private:
    std::string socket_;
    std::unique_ptr<e2e::ChildProcess> process_;
};

// The drawn time of the first frame after `since`, heard from the device itself.
class FrameClock {
  public:
    explicit FrameClock(sim::DeviceLink& link) : link_(link) {
        token_ = link_.subscribeFrames([this](const sim::FrameNotice& notice) {
            std::lock_guard guard(lock_);
            last_ = notice.drawnNs;
            changed_.notify_all();
        });
    }
    ~FrameClock() { link_.unsubscribe(token_); }
    std::uint64_t firstAfter(std::uint64_t since) {
        std::unique_lock guard(lock_);
        if (!changed_.wait_for(guard, 5s, [&] { return last_ > since; }))
            throw HelperFailure("the device drew nothing", 504);
        return last_;
    }

  private:
    sim::DeviceLink& link_;
    std::uint64_t token_ = 0;
    std::mutex lock_;
    std::condition_variable changed_;
    std::uint64_t last_ = 0;
};

std::vector<double> pictureToUnit(const std::string& path, sim::DeviceLink& link, int rounds) {
    client::ClientSocket viewer(path);
    // Key frames far apart, so that a still screen sends nothing a new picture could be
    // mistaken for.
    const auto stream = viewer.request(nlohmann::json{
        {"op", "stream"}, {"fps", 60}, {"scale", 1}, {"key_frame_s", 60}, {"bitrate", 8000000}}
                                           .dump());
    auto drain = [&](std::chrono::milliseconds quiet) {
        for (;;) {
            try {
                if (!viewer.next(stream, Clock::now() + quiet))
                    throw HelperFailure("the stream ended", 502);
            } catch (const HelperFailure& failure) {
                if (failure.status() == 504) return;
                throw;
            }
        }
    };
    drain(700ms);
    FrameClock frames(link);
    std::vector<double> latencies;
    for (int round = 0; round < rounds; ++round) {
        const auto before = nowNs();
        link.setAnimating(true);
        const auto drawn = frames.firstAfter(before);
        link.setAnimating(false);
        auto frame = viewer.next(stream, Clock::now() + 5s);
        if (!frame || frame->kind != FrameKind::chunk)
            throw HelperFailure("no access unit after a new picture", 502);
        latencies.push_back(double(nowNs() - drawn) / 1e6);
        drain(400ms);  // the frames drawn before the animation stopped
    }
    return latencies;
}

int run(int rounds) {
    e2e::SimulatorHome home;
    const auto udid = home.boot("Timing");
    const auto record = sim::DeviceSet().device(udid);
    if (!record) throw HelperFailure("the booted device is not in the set", 404);
    sim::plugCapture(*record, "", false);
    e2e::ServedDevice served(home, udid);
    CaptureHelper captured(home, "Timing");

    client::ClientSocket simulator(served.socket());
    client::ClientSocket cable(captured.socket());
    ask(simulator, client::ClientRequests::hello());  // both wait for their warm-up
    ask(cable, client::ClientRequests::hello());

    const std::string screenshot = R"({"op":"screenshot","quality":75})";
    std::vector<double> simulatorShots, cableShots;
    ask(simulator, screenshot);
    ask(cable, screenshot);
    for (int round = 0; round < rounds; ++round) {
        auto start = Clock::now();
        ask(simulator, screenshot);
        simulatorShots.push_back(millisecondsSince(start));
        start = Clock::now();
        ask(cable, screenshot);
        cableShots.push_back(millisecondsSince(start));
    }

    sim::DeviceLink link(record->directory);
    const int pictures = std::max(5, rounds / 2);
    const auto simulatorUnits = pictureToUnit(served.socket(), link, pictures);
    const auto cableUnits = pictureToUnit(captured.socket(), link, pictures);

    const double shotSim = median(simulatorShots), shotCable = median(cableShots);
    const double unitSim = median(simulatorUnits), unitCable = median(cableUnits);
    std::cout << nlohmann::json{
                     {"rounds", rounds},
                     {"screenshot_round_trip_ms_simulator", rounded(shotSim)},
                     {"screenshot_round_trip_ms_capture", rounded(shotCable)},
                     {"screenshot_capture_over_simulator", rounded(shotCable / shotSim)},
                     {"picture_to_unit_ms_simulator", rounded(unitSim)},
                     {"picture_to_unit_ms_capture", rounded(unitCable)},
                     {"picture_to_unit_capture_over_simulator", rounded(unitCable / unitSim)},
                 }
                     .dump()
              << std::endl;
    return 0;
}

}  // namespace
}  // namespace tavrel

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(3, std::atoi(argv[1])) : 30;
    try {
        return tavrel::run(rounds);
    } catch (const std::exception& error) {
        std::cerr << "CaptureTiming: " << error.what() << '\n';
        return 1;
    }
}
