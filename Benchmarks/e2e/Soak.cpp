// One helper serving one animating simulated iPhone under a churn of clients for many minutes:
// four streams (one that never reads, one that reads slowly, two that keep up), screenshots,
// taps, element trees, describes and replays (the helper keeps 30 s), and connections dropped in
// the middle of requests, each client bounded in count and time. Every 10 s it samples the helper's
// resident memory, descriptors and threads and prints the series as a table; it fails (status 1)
// when memory grows by more than 5 MB from the first third of the samples to the last, when
// descriptors or threads do not come back to where they were once the clients leave, or when a
// request goes unanswered for more than 10 s.
//
// Usage: Soak [--minutes M]   (default 20)

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "HelperCore/Base/HelperFailure.hpp"
#include "SimulatedPlatform/Device/DeviceLink/DeviceLink.hpp"
#include "SimulatedPlatform/Device/DeviceLink/DeviceSet.hpp"
#include "Support/SimulatorHome.hpp"
#include "Timing.hpp"
#include "tavrel-client/ClientRequests.hpp"
#include "tavrel-client/ClientSocket.hpp"

namespace tavrel {
namespace {

using namespace std::chrono_literals;
using timing::Clock;

constexpr auto answerLimit = 10s;
constexpr double growthLimitMB = 5;

struct Sample {
    double atS = 0;
    double residentMB = 0;
    int descriptors = 0;
    int threads = 0;
};

int entries(const std::string& directory) {
    int count = 0;
    if (DIR* dir = ::opendir(directory.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            if (entry->d_name[0] != '.') ++count;
        }
        ::closedir(dir);
    }
    return count;
}

// The names of the process's threads, sorted, to say which ones stayed.
std::vector<std::string> threadNames(pid_t pid) {
    std::vector<std::string> names;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    if (DIR* dir = ::opendir(tasks.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            if (entry->d_name[0] == '.') continue;
            std::ifstream comm(tasks + "/" + entry->d_name + "/comm");
            std::string name;
            std::getline(comm, name);
            names.push_back(name);
        }
        ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

Sample sample(pid_t pid, Clock::time_point start) {
    Sample s;
    s.atS = std::chrono::duration<double>(Clock::now() - start).count();
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("VmRSS:")) s.residentMB = std::stod(line.substr(6)) / 1024.0;
    }
    s.descriptors = entries("/proc/" + std::to_string(pid) + "/fd");
    s.threads = entries("/proc/" + std::to_string(pid) + "/task");
    return s;
}

// What the clients did, and what went wrong.
class Tally {
  public:
    void count(const std::string& what) {
        std::lock_guard lock(mutex_);
        ++counts_[what];
    }
    void answered(Clock::duration took) {
        std::lock_guard lock(mutex_);
        longest_ = std::max(longest_, took);
    }
    void fail(const std::string& what) {
        std::lock_guard lock(mutex_);
        if (failures_.size() < 20) failures_.push_back(what);
    }
    std::map<std::string, int> counts() const {
        std::lock_guard lock(mutex_);
        return counts_;
    }
    std::vector<std::string> failures() const {
        std::lock_guard lock(mutex_);
        return failures_;
    }
    double longestS() const {
        std::lock_guard lock(mutex_);
        return std::chrono::duration<double>(longest_).count();
    }

  private:
    mutable std::mutex mutex_;
    std::map<std::string, int> counts_;
    std::vector<std::string> failures_;
    Clock::duration longest_{};
};

struct Churn {
    std::string socket;
    Tally tally;
    std::atomic<bool> leaving{false};

    // Sleeps in short steps, so leaving is quick.
    void pause(std::chrono::milliseconds time) const {
        const auto until = Clock::now() + time;
        while (!leaving.load() && Clock::now() < until) std::this_thread::sleep_for(20ms);
    }
};

enum class Reading { keepsUp, slowly, never };

// One stream client: connects, streams for 5 to 30 s in its way, hangs up, and again.
void streamer(Churn& churn, Reading reading, std::string request, unsigned seed) {
    std::mt19937 random(seed);
    const char* name = reading == Reading::keepsUp  ? "stream"
                       : reading == Reading::slowly ? "slow stream"
                                                    : "unread stream";
    while (!churn.leaving.load()) {
        try {
            client::ClientSocket socket(churn.socket);
            const auto asked = Clock::now();
            const auto id = socket.request(request);
            const auto until = Clock::now() + std::chrono::seconds(5 + random() % 26);
            churn.tally.count(name);
            if (reading == Reading::never) {
                churn.pause(
                    std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()));
                continue;
            }
            bool first = true;
            while (!churn.leaving.load() && Clock::now() < until) {
                const auto before = Clock::now();
                const auto frame = socket.next(id, before + answerLimit);
                if (!frame || frame->kind != FrameKind::chunk) {
                    churn.tally.fail(std::string(name) + " ended early");
                    break;
                }
                if (first) churn.tally.answered(Clock::now() - asked);
                first = false;
                if (reading == Reading::slowly) churn.pause(250ms);
            }
        } catch (const std::exception& error) {
            churn.tally.fail(std::string(name) + ": " + error.what());
            churn.pause(1s);
        }
    }
}

// Short requests, one at a time on a connection that lives for a few of them; now and then a
// request is left unread and its connection dropped.
void asker(Churn& churn, double width, unsigned seed) {
    std::mt19937 random(seed);
    const std::vector<std::pair<std::string, std::string>> requests = {
        {"screenshot", R"({"op":"screenshot","max_width":400,"quality":60})"},
        {"tree", client::ClientRequests::accessibility()},
        {"describe", client::ClientRequests::describe()},
        {"hello", client::ClientRequests::hello()},
        {"replay", R"({"op":"replay"})"},
        // The status bar: a tap that changes nothing on the screen.
        {"tap", client::ClientRequests::hid(client::ClientRequests::tap(width / 2, 5))},
    };
    while (!churn.leaving.load()) {
        try {
            client::ClientSocket socket(churn.socket);
            if (random() % 10 == 0) {
                churn.tally.count("silent connection");
                continue;  // hung up without asking anything
            }
            const int uses = 1 + int(random() % 8);
            for (int use = 0; use < uses && !churn.leaving.load(); ++use) {
                const auto& [name, json] = requests[random() % requests.size()];
                const auto asked = Clock::now();
                const auto id = socket.request(json);
                if (random() % 10 == 0) {
                    churn.tally.count("dropped " + name);
                    break;  // hung up with the answer unread
                }
                const auto frame = socket.answer(id, asked + answerLimit);
                churn.tally.answered(Clock::now() - asked);
                churn.tally.count(name);
                (void)frame;
                churn.pause(std::chrono::milliseconds(50 + random() % 400));
            }
        } catch (const std::exception& error) {
            churn.tally.fail(std::string("request: ") + error.what());
            churn.pause(1s);
        }
    }
}

// The helper's task pool keeps up to this many finished workers for the next requests, by
// design; more than that staying would be tasks that never end.
constexpr std::size_t poolIdleCap = 16;
const std::string poolThread = "tavrel.task";

std::size_t poolThreads(const std::vector<std::string>& names) {
    return std::size_t(std::count(names.begin(), names.end(), poolThread));
}

// Waits up to 30 s for the descriptors to come back to the baseline, and the threads too but
// for the pool's idle workers, which need only stay within the pool's cap.
bool backTo(pid_t pid, Clock::time_point start, const Sample& baseline,
            const std::vector<std::string>& baselineThreads, Sample& last) {
    const auto deadline = Clock::now() + 30s;
    const std::size_t baselinePool = poolThreads(baselineThreads);
    for (;;) {
        last = sample(pid, start);
        const auto names = threadNames(pid);
        const std::size_t pool = poolThreads(names);
        const bool threadsBack = names.size() - pool <= baselineThreads.size() - baselinePool &&
                                 pool <= std::max(baselinePool, poolIdleCap);
        if (last.descriptors <= baseline.descriptors && threadsBack) return true;
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(250ms);
    }
}

double meanResident(const std::vector<Sample>& samples, std::size_t from, std::size_t to) {
    double sum = 0;
    for (std::size_t i = from; i < to; ++i) sum += samples[i].residentMB;
    return to > from ? sum / double(to - from) : 0;
}

// The replay the helper keeps throughout, fetched now and then like any request.
constexpr int replaySeconds = 30;

int run(double minutes) {
    e2e::SimulatorHome home;
    const auto udid = home.boot("Phone");
    e2e::ServedDevice served(home, udid, "auto", "helper.sock",
                             {"--replay-seconds", std::to_string(replaySeconds)});
    const pid_t pid = served.process().pid();
    nlohmann::json screen;
    {
        client::ClientSocket socket(served.socket());
        timing::ask(socket, client::ClientRequests::hello());  // waits for the warm-up
        const auto reply = timing::ask(socket, client::ClientRequests::describe());
        screen = nlohmann::json::parse(std::string(reply.json.begin(), reply.json.end()));
    }
    const auto record = sim::DeviceSet().device(udid);
    if (!record) throw HelperFailure("a booted device is not in the set", 404);
    sim::DeviceLink link(record->directory);
    link.setAnimating(true);
    const double width = screen.value("width_pt", 393.0);

    const auto start = Clock::now();
    // What every kind of request leaves standing (the input transport, the element reader)
    // is made once before the baseline.
    {
        client::ClientSocket socket(served.socket());
        timing::ask(socket, R"({"op":"screenshot","max_width":400,"quality":60})");
        timing::ask(socket, client::ClientRequests::accessibility());
        timing::ask(socket, client::ClientRequests::hid(client::ClientRequests::tap(width / 2, 5)));
        // A stream for a moment: the picture pipeline makes its drawing thread once.
        const auto stream = socket.request(
            R"({"op":"stream","fps":30,"scale":0.5,"key_frame_s":2,"bitrate":2000000})");
        for (int i = 0; i < 10; ++i) socket.next(stream, Clock::now() + answerLimit);
    }
    std::this_thread::sleep_for(2s);
    const Sample baseline = sample(pid, start);
    const auto baselineThreads = threadNames(pid);

    Churn churn;
    churn.socket = served.socket();
    const std::string normal =
        R"({"op":"stream","fps":30,"scale":0.5,"key_frame_s":2,"bitrate":2000000})";
    const std::string other =
        R"({"op":"stream","fps":15,"scale":0.25,"key_frame_s":1,"bitrate":500000})";
    std::vector<std::thread> clients;
    clients.emplace_back(streamer, std::ref(churn), Reading::keepsUp, normal, 1u);
    clients.emplace_back(streamer, std::ref(churn), Reading::keepsUp, other, 2u);
    clients.emplace_back(streamer, std::ref(churn), Reading::slowly, normal, 3u);
    clients.emplace_back(streamer, std::ref(churn), Reading::never, normal, 4u);
    clients.emplace_back(asker, std::ref(churn), width, 5u);
    clients.emplace_back(asker, std::ref(churn), width, 6u);

    std::vector<Sample> samples;
    const auto end = start + std::chrono::duration_cast<Clock::duration>(
                                 std::chrono::duration<double>(minutes * 60));
    std::fprintf(stderr, "%8s %12s %12s %8s\n", "t (s)", "rss (MB)", "descriptors", "threads");
    std::fprintf(stderr, "%8.0f %12.1f %12d %8d  baseline\n", baseline.atS, baseline.residentMB,
                 baseline.descriptors, baseline.threads);
    auto next = Clock::now() + 10s;
    while (Clock::now() < end) {
        std::this_thread::sleep_until(std::min(next, end));
        if (Clock::now() < next) break;
        next += 10s;
        samples.push_back(sample(pid, start));
        const auto& s = samples.back();
        std::fprintf(stderr, "%8.0f %12.1f %12d %8d\n", s.atS, s.residentMB, s.descriptors,
                     s.threads);
    }
    churn.leaving.store(true);
    for (auto& client : clients) client.join();
    Sample after;
    const bool back = backTo(pid, start, baseline, baselineThreads, after);
    std::fprintf(stderr, "%8.0f %12.1f %12d %8d  clients gone\n", after.atS, after.residentMB,
                 after.descriptors, after.threads);

    std::vector<std::string> failures = churn.tally.failures();
    const std::size_t third = samples.size() / 3;
    const double firstThird = meanResident(samples, 0, third);
    const double lastThird = meanResident(samples, samples.size() - third, samples.size());
    if (third == 0) failures.push_back("too few samples to compare thirds");
    if (lastThird - firstThird > growthLimitMB) failures.push_back("resident memory grew");
    if (!back) {
        std::vector<std::string> stayed;
        const auto now = threadNames(pid);
        std::set_difference(now.begin(), now.end(), baselineThreads.begin(), baselineThreads.end(),
                            std::back_inserter(stayed));
        std::string names;
        for (const auto& name : stayed) names += (names.empty() ? "" : ", ") + name;
        failures.push_back(
            "descriptors or threads did not come back (threads that stayed: " + names + ")");
    }
    if (churn.tally.longestS() > std::chrono::duration<double>(answerLimit).count())
        failures.push_back("a request waited longer than 10 s");
    if (served.process().wait(0ms)) failures.push_back("the helper ended");

    nlohmann::json series = nlohmann::json::array();
    for (const auto& s : samples) {
        series.push_back(
            {timing::rounded(s.atS), timing::rounded(s.residentMB), s.descriptors, s.threads});
    }
    std::cout << nlohmann::json{{"minutes", minutes},
                                {"replay_seconds", replaySeconds},
                                {"requests", churn.tally.counts()},
                                {"longest_answer_s", timing::rounded(churn.tally.longestS())},
                                {"baseline",
                                 {timing::rounded(baseline.residentMB), baseline.descriptors,
                                  baseline.threads}},
                                {"after",
                                 {timing::rounded(after.residentMB), after.descriptors,
                                  after.threads}},
                                {"resident_mb_first_third", timing::rounded(firstThird)},
                                {"resident_mb_last_third", timing::rounded(lastThird)},
                                {"series_t_rss_fds_threads", series},
                                {"failures", failures}}
                     .dump()
              << std::endl;
    return failures.empty() ? 0 : 1;
}

}  // namespace
}  // namespace tavrel

int main(int argc, char** argv) {
    double minutes = 20;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--minutes" && i + 1 < argc) {
            minutes = std::atof(argv[++i]);
        } else {
            std::cerr << "usage: Soak [--minutes M]\n";
            return 2;
        }
    }
    if (!(minutes > 0)) {
        std::cerr << "Soak: --minutes must be above 0\n";
        return 2;
    }
    try {
        return tavrel::run(minutes);
    } catch (const std::exception& error) {
        std::cerr << "Soak: " << error.what() << '\n';
        return 1;
    }
}
