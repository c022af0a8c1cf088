// Several simulated iPhone 15 Pros at once, each served by its own helper and streamed at fps
// 30, scale 0.5, while their screens animate, and prints one JSON line:
//   - each stream's frames per second over a window of all of them running;
//   - each stream's picture in to access unit out (median and 90th percentile), timed as
//     CaptureTiming does, one device at a time while the others keep animating and streaming.
// Usage: MultiDeviceTiming [DEVICES [SECONDS [ROUNDS]]]   (defaults 4, 10, 10)

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "HelperCore/Base/HelperFailure.hpp"
#include "PictureToUnit.hpp"
#include "SimulatedPlatform/Device/DeviceLink/DeviceSet.hpp"
#include "Support/SimulatorHome.hpp"
#include "tavrel-client/ClientRequests.hpp"
#include "tavrel-client/ClientSocket.hpp"

namespace tavrel {
namespace {

using namespace std::chrono_literals;
using namespace timing;

// Key frames far apart: the picture probe needs a still screen to send nothing.
const std::string streamRequest =
    R"({"bitrate":4000000,"fps":30,"key_frame_s":60,"op":"stream","scale":0.5})";

// Reads the stream's frames for a while, as a viewer keeps up with it.
void keepUp(client::ClientSocket& viewer, std::uint32_t stream, std::chrono::milliseconds time) {
    const auto until = Clock::now() + time;
    try {
        while (viewer.next(stream, until)) {
        }
    } catch (const HelperFailure& failure) {
        if (failure.status() != 504) throw;
        return;
    }
    throw HelperFailure("the stream ended", 502);
}

struct Phone {
    std::string udid;
    std::unique_ptr<e2e::ServedDevice> served;
    std::unique_ptr<sim::DeviceLink> link;
    double fps = 0;
    std::vector<double> pictureToUnit;
    std::string failure;
};

// One phone's stream, read by its own thread: counted through the window, then drained while
// the others take their turn at the probe and probed at its own.
void watch(Phone& phone, int index, Clock::time_point windowStart, Clock::time_point windowEnd,
           int rounds, std::atomic<int>& turn) {
    try {
        client::ClientSocket viewer(phone.served->socket());
        const auto stream = viewer.request(streamRequest);
        int chunks = 0;
        Clock::time_point first{}, last{};
        for (;;) {
            const auto frame = viewer.next(stream, Clock::now() + 5s);
            if (!frame || frame->kind != FrameKind::chunk) {
                throw HelperFailure("the stream ended", 502);
            }
            const auto now = Clock::now();
            if (now >= windowEnd) break;
            if (now < windowStart) continue;
            if (chunks++ == 0) first = now;
            last = now;
        }
        // Chunks between the first and the last counted, over the time between them.
        phone.fps =
            chunks > 1 ? (chunks - 1) / std::chrono::duration<double>(last - first).count() : 0;
        while (turn.load() < index) keepUp(viewer, stream, 50ms);
        phone.pictureToUnit = timing::pictureToUnit(viewer, stream, *phone.link, rounds);
        phone.link->setAnimating(true);
        turn.fetch_add(1);
        while (turn.load() >= 0) keepUp(viewer, stream, 50ms);  // load for the others' turns
    } catch (const std::exception& error) {
        phone.failure = error.what();
        turn.fetch_add(1);
    }
}

void run(int devices, int seconds, int rounds) {
    e2e::SimulatorHome home;
    std::vector<Phone> phones(static_cast<std::size_t>(devices));
    for (int i = 0; i < devices; ++i) {
        Phone& phone = phones[static_cast<std::size_t>(i)];
        phone.udid = home.boot("Phone " + std::to_string(i + 1));
        phone.served = std::make_unique<e2e::ServedDevice>(
            home, phone.udid, "auto", "helper-" + std::to_string(i + 1) + ".sock");
        client::ClientSocket socket(phone.served->socket());
        ask(socket, client::ClientRequests::hello());  // waits for the warm-up
        const auto record = sim::DeviceSet().device(phone.udid);
        if (!record) throw HelperFailure("a booted device is not in the set", 404);
        phone.link = std::make_unique<sim::DeviceLink>(record->directory);
        phone.link->setAnimating(true);
    }

    // The streams settle (encoders open, first key frames) before the window opens.
    const auto windowStart = Clock::now() + 3s;
    const auto windowEnd = windowStart + std::chrono::seconds(seconds);
    std::atomic<int> turn{0};
    std::vector<std::thread> watchers;
    for (int i = 0; i < devices; ++i) {
        watchers.emplace_back(watch, std::ref(phones[static_cast<std::size_t>(i)]), i, windowStart,
                              windowEnd, rounds, std::ref(turn));
    }
    while (turn.load() < devices) std::this_thread::sleep_for(10ms);
    turn.store(-1);  // every probe is done: the watchers leave
    for (auto& watcher : watchers) watcher.join();

    nlohmann::json streams = nlohmann::json::array();
    double slowest = 0, fastest = 0;
    for (std::size_t i = 0; i < phones.size(); ++i) {
        const Phone& phone = phones[i];
        if (!phone.failure.empty()) throw HelperFailure(phone.failure, 502);
        slowest = i == 0 ? phone.fps : std::min(slowest, phone.fps);
        fastest = std::max(fastest, phone.fps);
        streams.push_back({
            {"fps", rounded(phone.fps)},
            {"picture_to_unit_ms_p50", rounded(median(phone.pictureToUnit))},
            {"picture_to_unit_ms_p90", rounded(percentile(phone.pictureToUnit, 0.9))},
        });
    }
    report({
        {"devices", devices},
        {"window_s", seconds},
        {"rounds", rounds},
        {"stream", nlohmann::json::parse(streamRequest)},
        {"streams", streams},
        {"fps_min", rounded(slowest)},
        {"fps_min_over_max", rounded(fastest > 0 ? slowest / fastest : 0)},
    });
}

}  // namespace
}  // namespace tavrel

int main(int argc, char** argv) {
    const int devices = argc > 1 ? std::max(1, std::atoi(argv[1])) : 4;
    const int seconds = argc > 2 ? std::max(2, std::atoi(argv[2])) : 10;
    const int rounds = argc > 3 ? std::max(3, std::atoi(argv[3])) : 10;
    return tavrel::timing::runTool("MultiDeviceTiming",
                                   [&] { tavrel::run(devices, seconds, rounds); });
}
