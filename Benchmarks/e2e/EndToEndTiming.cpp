// Times the helper end to end over its socket against a simulated iPhone 15 Pro, and prints
// medians and same-run ratios as one JSON line:
//   - a full-size screenshot (quality 75) round trip, against encoding a surface of the same
//     picture in this process with Pictures;
//   - tap to frame: from sending a hid tap to the first stream chunk after it, at scale 0.5 and 1;
//   - pinch to frame: from sending a two-finger pinch of the map to the first chunk after it (the
//     map's new zoom), at scale 0.5, beside tap to frame at the same scale;
//   - the Demo app's accessibility document round trip.
// Usage: EndToEndTiming [ROUNDS]   (default 30)

#include <turbojpeg.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <thread>

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperCore/Screenshot/ScreenGeometry.hpp"
#include "HelperPlatform/Media/Pictures.hpp"
#include "Support/SimulatorHome.hpp"
#include "Timing.hpp"
#include "tavrel-client/ClientElements.hpp"
#include "tavrel-client/ClientRequests.hpp"
#include "tavrel-client/ClientSocket.hpp"
#include "tavrel-client/TwoFingers.hpp"

namespace tavrel {
namespace {

using namespace std::chrono_literals;
using namespace timing;

std::shared_ptr<Surface> decodedSurface(const Bytes& jpeg) {
    tjhandle handle = tjInitDecompress();
    int width = 0, height = 0, subsampling = 0, colorspace = 0;
    tjDecompressHeader3(handle, jpeg.data(), jpeg.size(), &width, &height, &subsampling,
                        &colorspace);
    auto surface = Surface::allocate(width, height);
    tjDecompress2(handle, jpeg.data(), jpeg.size(), surface->mutablePixels(), width,
                  static_cast<int>(surface->bytesPerRow()), height, TJPF_BGRA, 0);
    tjDestroy(handle);
    return surface;
}

struct Timings {
    std::vector<double> screenshot;
    std::vector<double> inProcess;
    std::vector<double> accessibility;
    std::vector<double> tapHalf;
    std::vector<double> tapFull;
    std::vector<double> pinchHalf;
};

// Taps the button and waits for the first chunk that the stream sends after the tap went out.
std::vector<double> tapToFrame(const std::string& path, double scale, int rounds,
                               std::pair<double, double> button) {
    client::ClientSocket viewer(path);
    client::ClientSocket input(path);
    // Key frames far apart, so that an idle screen sends nothing a tap could be mistaken for.
    const auto stream = viewer.request(nlohmann::json{
        {"op", "stream"}, {"fps", 60}, {"scale", scale}, {"key_frame_s", 60}, {"bitrate", 4000000}}
                                           .dump());
    drain(viewer, stream, 500ms);
    std::vector<double> latencies;
    for (int round = 0; round < rounds; ++round) {
        const auto start = Clock::now();
        input.request(
            client::ClientRequests::hid(client::ClientRequests::tap(button.first, button.second)));
        auto frame = viewer.next(stream, Clock::now() + 5s);
        if (!frame || frame->kind != FrameKind::chunk)
            throw HelperFailure("no frame after a tap", 502);
        latencies.push_back(millisecondsSince(start));
        drain(viewer, stream, 300ms);  // the release and any later redraws
    }
    return latencies;
}

// Pinches the map in one request (both fingers down, one move apart, both up) and waits for the
// first chunk after it. Rounds spread the fingers to twice their distance and close them again
// in turn, so every round changes the zoom (1x, 2x, 1x, ...).
std::vector<double> pinchToFrame(const std::string& path, double scale, int rounds,
                                 std::pair<double, double> photo) {
    client::ClientSocket viewer(path);
    client::ClientSocket input(path);
    const auto stream = viewer.request(nlohmann::json{
        {"op", "stream"}, {"fps", 60}, {"scale", scale}, {"key_frame_s", 60}, {"bitrate", 4000000}}
                                           .dump());
    drain(viewer, stream, 500ms);
    std::vector<double> latencies;
    for (int round = 0; round < rounds; ++round) {
        const bool spread = round % 2 == 0;
        const auto moments =
            client::TwoFingers::path(photo.first, photo.second, spread ? 2 : 0.5, 0, 0);
        const auto& from = moments.front();
        const auto& to = moments.back();
        std::vector<HIDEvent> events = client::TwoFingers::events(from, HIDEvent::Phase::down);
        for (const auto& event : client::TwoFingers::events(to, HIDEvent::Phase::down))
            events.push_back(event);
        for (const auto& event : client::TwoFingers::events(to, HIDEvent::Phase::up))
            events.push_back(event);
        const auto start = Clock::now();
        input.request(client::ClientRequests::hid(events));
        auto frame = viewer.next(stream, Clock::now() + 5s);
        if (!frame || frame->kind != FrameKind::chunk)
            throw HelperFailure("no frame after a pinch", 502);
        latencies.push_back(millisecondsSince(start));
        drain(viewer, stream, 300ms);
    }
    return latencies;
}

void run(int rounds) {
    e2e::SimulatorHome home;
    e2e::ServedDevice served(home, home.boot("Timing"));
    client::ClientSocket socket(served.socket());
    ask(socket, client::ClientRequests::hello());  // waits for the warm-up

    Timings timings;
    const std::string screenshot = R"({"op":"screenshot","quality":75})";
    Frame last = ask(socket, screenshot);
    for (int round = 0; round < rounds; ++round) {
        const auto start = Clock::now();
        last = ask(socket, screenshot);
        timings.screenshot.push_back(millisecondsSince(start));
    }
    const auto surface = decodedSurface(last.blob);
    const auto screen = ScreenGeometry::of(1179, 2556, 3);
    const auto plan =
        ScreenshotPlan::make(ScreenshotRequest{}, surface->width(), surface->height(), screen);
    Pictures pictures;
    pictures.jpeg(*surface, plan);
    for (int round = 0; round < rounds; ++round) {
        const auto start = Clock::now();
        pictures.jpeg(*surface, plan);
        timings.inProcess.push_back(millisecondsSince(start));
    }

    std::string document;
    for (int round = 0; round < rounds; ++round) {
        const auto start = Clock::now();
        const auto reply = ask(socket, client::ClientRequests::accessibility());
        timings.accessibility.push_back(millisecondsSince(start));
        document.assign(reply.json.begin(), reply.json.end());
    }
    const auto button = client::ClientElements::find(nlohmann::json::parse(document), "tap-button");
    if (!button) throw HelperFailure("the Demo app has no tap-button", 404);
    const auto center = client::ClientElements::center(*button);
    const int taps = std::max(5, rounds / 2);
    timings.tapHalf = tapToFrame(served.socket(), 0.5, taps, center);
    timings.tapFull = tapToFrame(served.socket(), 1, taps, center);
    const auto photo = client::ClientElements::find(nlohmann::json::parse(document), "photo");
    if (!photo) throw HelperFailure("the Demo app has no photo", 404);
    timings.pinchHalf =
        pinchToFrame(served.socket(), 0.5, taps, client::ClientElements::center(*photo));

    const double shot = median(timings.screenshot);
    const double local = median(timings.inProcess);
    report({
        {"rounds", rounds},
        {"screenshot_round_trip_ms", rounded(shot)},
        {"screenshot_in_process_encode_ms", rounded(local)},
        {"screenshot_round_trip_over_encode", rounded(shot / local)},
        {"screenshot_bytes", last.blob.size()},
        {"accessibility_round_trip_ms", rounded(median(timings.accessibility))},
        {"accessibility_bytes", document.size()},
        {"tap_to_frame_ms_scale_0_5", rounded(median(timings.tapHalf))},
        {"tap_to_frame_ms_scale_1", rounded(median(timings.tapFull))},
        {"tap_to_frame_scale_1_over_0_5",
         rounded(median(timings.tapFull) / median(timings.tapHalf))},
        {"tap_to_frame_ms_scale_0_5_p90", rounded(percentile(timings.tapHalf, 0.9))},
        {"pinch_to_frame_ms_scale_0_5", rounded(median(timings.pinchHalf))},
        {"pinch_to_frame_ms_scale_0_5_p90", rounded(percentile(timings.pinchHalf, 0.9))},
        {"pinch_over_tap_to_frame_scale_0_5",
         rounded(median(timings.pinchHalf) / median(timings.tapHalf))},
    });
}

}  // namespace
}  // namespace tavrel

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(3, std::atoi(argv[1])) : 30;
    return tavrel::timing::runTool("EndToEndTiming", [&] { tavrel::run(rounds); });
}
