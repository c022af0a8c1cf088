// Many viewers of one animating simulated iPhone 15 Pro, all served by one helper, and prints
// one JSON line (and the same as a table on standard error):
//   - the helper's CPU time per second of wall time (utime + stime from /proc/PID/stat) with
//     1, 2, 4 and 8 viewers streaming the same settings (fps 30, scale 0.5), and with 2
//     settings x 4 viewers; each against the cost of one viewer;
//   - picture in to access unit out (median) for the first and the eighth of 8 viewers, timed as
//     CaptureTiming does, while the other seven keep reading.
// Usage: SharedStreamTiming [SECONDS [ROUNDS]]   (defaults 8, 10)

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
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
const std::string settingsA =
    R"({"bitrate":4000000,"fps":30,"key_frame_s":60,"op":"stream","scale":0.5})";
const std::string settingsB =
    R"({"bitrate":2000000,"fps":30,"key_frame_s":60,"op":"stream","scale":0.5})";

// Seconds of CPU the process has used, user and system.
double cpuSeconds(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');
    if (close == std::string::npos) throw HelperFailure("no /proc stat for the helper", 502);
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    // Fields 3 to 13 come before utime (14) and stime (15).
    for (int index = 3; index <= 15 && fields >> field; ++index) {
        if (index == 14) utime = std::stoull(field);
        if (index == 15) stime = std::stoull(field);
    }
    return double(utime + stime) / double(::sysconf(_SC_CLK_TCK));
}

// One viewer reading its stream on a thread of its own until told to leave; when its turn
// comes it runs the picture probe instead.
struct Viewer {
    std::unique_ptr<client::ClientSocket> socket;
    std::uint32_t stream = 0;
    std::thread reader;
    std::vector<double> pictureToUnit;
    std::string failure;
};

struct Round {
    std::vector<Viewer> viewers;
    std::atomic<bool> leave{false};
    // The viewer that runs one round of the probe now; -1 once it is done.
    std::atomic<int> probing{-1};
};

void read(Round& round, int index, sim::DeviceLink& link) {
    Viewer& viewer = round.viewers[static_cast<std::size_t>(index)];
    try {
        while (!round.leave.load()) {
            if (round.probing.load() == index) {
                const auto one = pictureToUnit(*viewer.socket, viewer.stream, link, 1);
                viewer.pictureToUnit.insert(viewer.pictureToUnit.end(), one.begin(), one.end());
                link.setAnimating(true);
                round.probing.store(-1);
                continue;
            }
            try {
                if (!viewer.socket->next(viewer.stream, Clock::now() + 50ms))
                    throw HelperFailure("the stream ended", 502);
            } catch (const HelperFailure& failure) {
                if (failure.status() != 504) throw;
            }
        }
    } catch (const std::exception& error) {
        viewer.failure = error.what();
        round.probing.store(-1);
    }
}

struct Measured {
    std::string name;
    int viewers = 0;
    double cpuPerSecond = 0;
    std::vector<std::vector<double>> probes;  // of the viewers probed, in order
};

Measured measure(const std::string& name, const std::vector<std::string>& requests,
                 e2e::ServedDevice& served, sim::DeviceLink& link, int seconds,
                 const std::vector<int>& probe, int rounds) {
    Round round;
    round.viewers.resize(requests.size());
    for (std::size_t i = 0; i < requests.size(); ++i) {
        auto& viewer = round.viewers[i];
        viewer.socket = std::make_unique<client::ClientSocket>(served.socket());
        viewer.stream = viewer.socket->request(requests[i]);
    }
    for (std::size_t i = 0; i < requests.size(); ++i) {
        round.viewers[i].reader = std::thread(read, std::ref(round), int(i), std::ref(link));
    }
    // Encoders open and the first key frames go out before the window.
    std::this_thread::sleep_for(2s);
    const pid_t pid = served.process().pid();
    const double cpuBefore = cpuSeconds(pid);
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double cpuAfter = cpuSeconds(pid);
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();

    Measured measured{name, int(requests.size()), (cpuAfter - cpuBefore) / wall, {}};
    // The probed viewers take turns round by round, so a change in the machine's load over
    // time falls on each of them alike.
    for (int r = 0; r < rounds; ++r) {
        for (const int index : probe) {
            round.probing.store(index);
            while (round.probing.load() != -1) std::this_thread::sleep_for(10ms);
        }
    }
    for (const int index : probe) {
        measured.probes.push_back(round.viewers[static_cast<std::size_t>(index)].pictureToUnit);
    }
    round.leave.store(true);
    for (auto& viewer : round.viewers) viewer.reader.join();
    for (auto& viewer : round.viewers) {
        if (!viewer.failure.empty()) throw HelperFailure(viewer.failure, 502);
    }
    round.viewers.clear();  // the viewers hang up
    // The helper stops the encoders of the round before the next one starts.
    std::this_thread::sleep_for(1s);
    return measured;
}

int run(int seconds, int rounds) {
    e2e::SimulatorHome home;
    const auto udid = home.boot("Phone");
    e2e::ServedDevice served(home, udid);
    {
        client::ClientSocket socket(served.socket());
        ask(socket, client::ClientRequests::hello());  // waits for the warm-up
    }
    const auto record = sim::DeviceSet().device(udid);
    if (!record) throw HelperFailure("a booted device is not in the set", 404);
    sim::DeviceLink link(record->directory);
    link.setAnimating(true);

    std::vector<Measured> all;
    for (const int count : {1, 2, 4, 8}) {
        const std::vector<int> probe = count == 1   ? std::vector<int>{0}
                                       : count == 8 ? std::vector<int>{0, 7}
                                                    : std::vector<int>{};
        all.push_back(measure(std::to_string(count) + " x same", std::vector(count, settingsA),
                              served, link, seconds, probe, rounds));
    }
    std::vector<std::string> mixed;
    for (int i = 0; i < 4; ++i) {
        mixed.push_back(settingsA);
        mixed.push_back(settingsB);
    }
    all.push_back(measure("2 settings x 4", mixed, served, link, seconds, {}, rounds));

    const double one = all.front().cpuPerSecond;
    nlohmann::json runs = nlohmann::json::array();
    std::fprintf(stderr, "%-16s %8s %12s %10s\n", "viewers", "count", "cpu s/s", "x one");
    for (const auto& m : all) {
        nlohmann::json entry{{"name", m.name},
                             {"viewers", m.viewers},
                             {"cpu_s_per_s", rounded(m.cpuPerSecond)},
                             {"cost_over_one", rounded(one > 0 ? m.cpuPerSecond / one : 0)}};
        for (std::size_t i = 0; i < m.probes.size(); ++i) {
            const auto key = "picture_to_unit_ms_p50_" + std::string(i == 0 ? "first" : "eighth");
            entry[key] = rounded(median(m.probes[i]));
        }
        std::fprintf(stderr, "%-16s %8d %12.3f %10.2f", m.name.c_str(), m.viewers, m.cpuPerSecond,
                     one > 0 ? m.cpuPerSecond / one : 0);
        for (std::size_t i = 0; i < m.probes.size(); ++i) {
            std::fprintf(stderr, "  p50 %s %.1f ms", i == 0 ? "first" : "eighth",
                         median(m.probes[i]));
        }
        std::fprintf(stderr, "\n");
        runs.push_back(entry);
    }
    std::cout << nlohmann::json{{"window_s", seconds},
                                {"rounds", rounds},
                                {"settings",
                                 {nlohmann::json::parse(settingsA),
                                  nlohmann::json::parse(settingsB)}},
                                {"runs", runs}}
                     .dump()
              << std::endl;
    return 0;
}

}  // namespace
}  // namespace tavrel

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::max(2, std::atoi(argv[1])) : 8;
    const int rounds = argc > 2 ? std::max(3, std::atoi(argv[2])) : 10;
    try {
        return tavrel::run(seconds, rounds);
    } catch (const std::exception& error) {
        std::cerr << "SharedStreamTiming: " << error.what() << '\n';
        return 1;
    }
}
