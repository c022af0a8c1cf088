// Times the cable path against the simulator path for the same simulated iPhone 15 Pro, in one
// run, and prints medians and same-run ratios as one JSON line:
//   - a full-size screenshot (quality 75) round trip through `capture` and through `serve`,
//     taken in alternation;
//   - picture in to access unit out: the device draws one new frame on a still screen (no tap:
//     its animation is switched on), and the time from the frame being drawn to the first
//     stream chunk after it, on a full-size stream of each helper in turn.
// Usage: CaptureTiming [ROUNDS]   (default 30)

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <thread>

#include "HelperCore/Base/HelperFailure.hpp"
#include "PictureToUnit.hpp"
#include "SimulatedPlatform/Device/DeviceLink/CaptureSet.hpp"
#include "SimulatedPlatform/Device/DeviceLink/DeviceLink.hpp"
#include "Support/SimulatorHome.hpp"
#include "tavrel-client/ClientRequests.hpp"
#include "tavrel-client/ClientSocket.hpp"

namespace tavrel {
namespace {

using namespace std::chrono_literals;
using namespace timing;

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

// A full-size stream of the helper at `path`, its pictures timed.
std::vector<double> pictureToUnit(const std::string& path, sim::DeviceLink& link, int rounds) {
    client::ClientSocket viewer(path);
    const auto stream = viewer.request(nlohmann::json{
        {"op", "stream"}, {"fps", 60}, {"scale", 1}, {"key_frame_s", 60}, {"bitrate", 8000000}}
                                           .dump());
    return timing::pictureToUnit(viewer, stream, link, rounds);
}

void run(int rounds) {
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
    report({
        {"rounds", rounds},
        {"screenshot_round_trip_ms_simulator", rounded(shotSim)},
        {"screenshot_round_trip_ms_capture", rounded(shotCable)},
        {"screenshot_capture_over_simulator", rounded(shotCable / shotSim)},
        {"picture_to_unit_ms_simulator", rounded(unitSim)},
        {"picture_to_unit_ms_capture", rounded(unitCable)},
        {"picture_to_unit_capture_over_simulator", rounded(unitCable / unitSim)},
    });
}

}  // namespace
}  // namespace tavrel

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(3, std::atoi(argv[1])) : 30;
    return tavrel::timing::runTool("CaptureTiming", [&] { tavrel::run(rounds); });
}
