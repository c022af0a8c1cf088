// The helper in a child process against clients that misbehave: many idle connections, a
// pipeline that is never read, a stream nobody reads, hostile request texts, two helpers on one
// path. Each checks the helper's threads, descriptors and memory, and that a fresh client is
// served throughout.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <thread>

#include "Support/SimulatorHome.hpp"
#include "Support/TestClient.hpp"
#include "Support/Unprivileged.hpp"
#include "Support/WaitUntil.hpp"

namespace tavrel::e2e {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;
using testing::TestClient;
using testing::waitUntil;

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif

// What /proc shows of the helper.
struct Footprint {
    long threads = 0;
    long descriptors = 0;
    long residentKiB = 0;
};

Footprint footprintOf(pid_t pid) {
    Footprint footprint;
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Threads:", 0) == 0) footprint.threads = std::stol(line.substr(8));
        if (line.rfind("VmRSS:", 0) == 0) footprint.residentKiB = std::stol(line.substr(6));
    }
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
        ++footprint.descriptors;
    }
    return footprint;
}

// A fresh client's describe comes back.
void expectServed(const std::string& socket) {
    TestClient fresh(socket);
    const auto answer = fresh.ask(1, R"({"op":"describe"})", 10s);
    EXPECT_EQ(answer.final.kind, FrameKind::reply) << answer.json();
}

struct Pressure : ::testing::Test {
    SimulatorHome home;
    std::unique_ptr<ServedDevice> served;
    Footprint baseline;

    void SetUp() override {
        served = std::make_unique<ServedDevice>(home, home.boot("Phone"));
        // The first answers make the device's lazy parts and the pool's first workers.
        for (int i = 0; i < 3; ++i) expectServed(served->socket());
        TestClient warm(served->socket());
        EXPECT_EQ(warm.ask(1, R"({"op":"screenshot","quality":50})", 10s).final.kind,
                  FrameKind::reply);
        baseline = footprintOf(served->process().pid());
    }

    Footprint now() const { return footprintOf(served->process().pid()); }

    // Threads, descriptors and memory settle back (a freed heap may keep a little); the last
    // answer may still be freeing what it held.
    void expectBackToBaseline(long residentSlackKiB = 30 * 1024) {
        EXPECT_TRUE(waitUntil([&] { return now().descriptors <= baseline.descriptors; }))
            << now().descriptors << " descriptors, " << baseline.descriptors << " before";
        EXPECT_TRUE(waitUntil([&] { return now().threads <= baseline.threads + 16; }))
            << now().threads << " threads, " << baseline.threads << " before";
        // A sanitizer's allocator keeps what is freed (quarantine, caches) whatever the helper
        // gives back.
        // Idle pool workers stay by design; each keeps its touched stack and its arena's head.
        const auto allowed = [&](const auto& sample) {
            const long extraThreads = std::max<long>(
                0, static_cast<long>(sample.threads) - static_cast<long>(baseline.threads));
            return baseline.residentKiB + residentSlackKiB + 256 * extraThreads;
        };
        if (!sanitized) {
            EXPECT_TRUE(waitUntil([&] {
                const auto sample = now();
                return sample.residentKiB < allowed(sample);
            })) << now().residentKiB
                << " KiB resident, " << baseline.residentKiB << " before";
        }
        expectServed(served->socket());
        EXPECT_EQ(served->process().wait(0ms), std::nullopt) << "the helper ended";
    }
};

TEST_F(Pressure, FiveHundredIdleConnectionsCostNoThreads) {
    std::vector<std::unique_ptr<TestClient>> idle;
    for (int i = 0; i < 500; ++i) idle.push_back(std::make_unique<TestClient>(served->socket()));
    ASSERT_TRUE(waitUntil([&] { return now().descriptors >= baseline.descriptors + 490; }))
        << now().descriptors << " descriptors, " << baseline.descriptors << " before";
    EXPECT_LE(now().threads, baseline.threads + 8);
    expectServed(served->socket());
    idle.clear();
    expectBackToBaseline();
}

TEST_F(Pressure, AThousandPipelinedScreenshotsNeverReadStayBounded) {
    TestClient greedy(served->socket());
    Bytes pipeline;
    for (std::uint32_t id = 1; id <= 1000; ++id) {
        const std::string request = R"({"op":"screenshot","quality":90})";
        const Bytes frame =
            Wire::encode(Frame{FrameKind::request, id, Bytes(request.begin(), request.end()), {}});
        pipeline.insert(pipeline.end(), frame.begin(), frame.end());
    }
    std::thread writer([&] {
        // Blocks once the helper stops reading: that is the back-pressure.
        ::send(greedy.descriptor(), pipeline.data(), pipeline.size(), MSG_NOSIGNAL);
    });
    // Wait until the helper has answered enough to be held back by the unread replies.
    std::this_thread::sleep_for(100ms);  // nothing to wait on: the helper is meant to stall
    waitUntil([&] { return now().residentKiB > baseline.residentKiB + 4 * 1024; }, 3s);
    const Footprint loaded = now();
    EXPECT_LE(loaded.threads, baseline.threads + 24);
    EXPECT_LT(loaded.residentKiB, baseline.residentKiB + 80 * 1024);
    expectServed(served->socket());
    ::shutdown(greedy.descriptor(), SHUT_RDWR);
    writer.join();
    greedy.close();
    expectBackToBaseline();
}

TEST_F(Pressure, AStreamNobodyReadsKeepsMemoryFlat) {
    TestClient viewer(served->socket());
    viewer.request(7, R"({"op":"stream","fps":60,"scale":1,"key_frame_s":1,"bitrate":8000000})");
    const auto result = runProgram("tavrel-simctl", {"animate", served->udid(), "on"});
    ASSERT_EQ(result.status, 0) << result.err;
    // The encoder's own working set comes first; from then on nothing may pile up.
    std::this_thread::sleep_for(1500ms);  // the client does not read: time is the test's input
    const Footprint started = now();
    std::this_thread::sleep_for(6s);
    EXPECT_LT(now().residentKiB, started.residentKiB + 20 * 1024);
    expectServed(served->socket());
    // Reading again, frames still flow.
    for (int i = 0; i < 50; ++i) {
        const auto frame = viewer.readFrame(5s);
        ASSERT_TRUE(frame);
        ASSERT_EQ(frame->kind, FrameKind::chunk);
    }
    runProgram("tavrel-simctl", {"animate", served->udid(), "off"});
    viewer.close();
    EXPECT_TRUE(waitUntil([&] { return now().threads <= baseline.threads + 16; }));
    EXPECT_TRUE(waitUntil([&] { return now().descriptors <= baseline.descriptors; }));
    expectServed(served->socket());
}

TEST_F(Pressure, HostileTextsGetFailuresWithMessageAndStatus) {
    TestClient client(served->socket());
    const auto bad = client.ask(1, "{\"op\":\"\xff\xfe\"}");
    ASSERT_EQ(bad.final.kind, FrameKind::failure);
    const json failure = json::parse(bad.json());
    EXPECT_EQ(failure["status"], 400) << bad.json();
    EXPECT_TRUE(failure["message"].is_string()) << bad.json();

    const std::string deep = std::string(100000, '[') + std::string(100000, ']');
    const auto nested = client.ask(2, deep, 10s);
    ASSERT_EQ(nested.final.kind, FrameKind::failure);
    EXPECT_EQ(json::parse(nested.json()),
              json({{"message", "a request that is not one: nested deeper than 32 levels"},
                    {"status", 400}}));
    EXPECT_EQ(client.ask(3, R"({"op":"describe"})").final.kind, FrameKind::reply)
        << "the connection carries on";
    expectBackToBaseline();
}

TEST(PressurePaths, AStoppingHelperLeavesTheSocketOfTheNextOne) {
    SimulatorHome home;
    const std::string udid = home.boot("Phone");
    std::ofstream(home.file("helper.sock")) << "reserved by the host";
    auto first = std::make_unique<ServedDevice>(home, udid);
    ServedDevice second(home, udid);  // same path: takes it over
    ASSERT_TRUE(waitUntil([&] {
        return second.process().standardError().find("[info] serving") != std::string::npos;
    })) << second.process().standardError();
    first.reset();  // stops, and must not remove the second's socket
    struct stat info {};
    ASSERT_EQ(::stat(second.socket().c_str(), &info), 0);
    EXPECT_TRUE(S_ISSOCK(info.st_mode));
    expectServed(second.socket());

    // A socket that cannot be made is no start: no serving line, status 3.
    ChildProcess failing("tavrel-helper",
                         {"serve", "--udid", udid, "--socket", home.file("missing/helper.sock")},
                         home.path());
    EXPECT_EQ(failing.wait(15s), 3);
    EXPECT_EQ(failing.standardError().find("serving"), std::string::npos)
        << failing.standardError();
}

// A 30 MB request takes a worker a good fraction of a second to parse. Were it parsed on the
// event loop, no other client would be answered from its last byte to its failure frame; a
// count rather than a time limit, so that a loaded machine slows both sides alike.
TEST_F(Pressure, AHugeRequestDoesNotHoldUpAnotherClientsDescribes) {
    // Still long for a sanitized parser, and enough for it to be seen holding up the loop.
    const std::size_t filler = sanitized ? 8'000'000 : 30'000'000;
    const std::string huge = R"({"op":"nope","filler":")" + std::string(filler, 'x') + "\"}";
    using Clock = std::chrono::steady_clock;
    std::atomic<bool> done{false};
    std::mutex mutex;
    std::vector<std::pair<Clock::time_point, Clock::time_point>> describes;  // sent, answered
    std::thread describing([&] {
        TestClient other(served->socket());
        for (std::uint32_t id = 1; !done; ++id) {
            const auto sent = Clock::now();
            const auto answer = other.ask(id, R"({"op":"describe"})", 10s);
            if (answer.final.kind != FrameKind::reply) ADD_FAILURE() << answer.json();
            std::lock_guard lock(mutex);
            describes.emplace_back(sent, Clock::now());
        }
    });
    TestClient sender(served->socket());
    sender.request(1, huge);
    const auto lastByte = Clock::now();
    const auto answer = sender.awaitAnswer(1, 60s);
    const auto answered = Clock::now();
    done = true;
    describing.join();
    EXPECT_EQ(answer.json(), R"({"message":"not a request this helper knows: nope","status":400})");
    std::size_t meanwhile = 0;
    for (const auto& [sent, back] : describes) meanwhile += sent >= lastByte && back <= answered;
    EXPECT_GE(meanwhile, 20u)
        << "describes answered while the huge request was decoded, in "
        << std::chrono::duration_cast<std::chrono::milliseconds>(answered - lastByte).count()
        << " ms";
    sender.close();
    expectBackToBaseline();
}

// Huge requests from several connections at once, each decoded by whichever worker is free:
// what they cost goes back to the system every time, not only when the allocator happens to
// have put it where a trim reaches. Well past the allocator's thresholds, yet small enough to
// be decoded quickly on loaded cores; the later requests of each connection would meet the
// thresholds glibc raised after the first ones.
TEST_F(Pressure, HugeRequestsFromFourConnectionsAtOnceGiveTheirMemoryBack) {
    const std::size_t filler = sanitized ? 4'000'000 : 8'000'000;
    const std::string huge = R"({"op":"nope","filler":")" + std::string(filler, 'x') + "\"}";
    std::vector<std::thread> senders;
    for (int c = 0; c < 4; ++c) {
        senders.emplace_back([&] {
            TestClient client(served->socket());
            for (std::uint32_t id = 1; id <= 3; ++id) {
                const auto answer = client.ask(id, huge, 60s);
                if (answer.json() !=
                    R"({"message":"not a request this helper knows: nope","status":400})")
                    ADD_FAILURE() << answer.json();
            }
        });
    }
    for (auto& sender : senders) sender.join();
    expectBackToBaseline(10 * 1024);
}

// As root the test cannot be refused a thread; as `nobody` under RLIMIT_NPROC it can. A limit
// just above what the user runs refuses the helper's first threads: it fails to start cleanly.
// Then a helper that started is made to meet a user with no process slot left.
struct Unprivileged : ::testing::Test {
    UnprivilegedUser nobody = UnprivilegedUser::nobody();
    std::unique_ptr<SimulatorHome> home;
    std::string udid;

    void SetUp() override {
        if (!nobody.mayRun(programPath("tavrel-helper"), {TAVREL_PLATFORM_ROOT}))
            GTEST_SKIP() << nobody.why;
        home = std::make_unique<SimulatorHome>();
        udid = home->boot("Phone");
        shareWithEveryone(home->path());
    }

    std::unique_ptr<UnprivilegedProgram> helper(rlim_t limit, const std::string& name) {
        return std::make_unique<UnprivilegedProgram>(
            nobody, limit, "tavrel-helper",
            std::vector<std::string>{"serve", "--udid", udid, "--socket", socket()},
            home->file(name + ".err"));
    }
    std::string socket() const { return home->file("helper.sock"); }
    bool socketLeft() const { return std::filesystem::exists(socket()); }
};

// Which thread is refused first depends on the build (a sanitizer's runtime has threads of its
// own): each start either ends with one of the two messages or serves and stops cleanly.
TEST_F(Unprivileged, RefusedThreadsAtStartEndItWithItsMessageAndNoSocket) {
    const std::set<std::string> messages = {
        "cannot watch signals: Resource temporarily unavailable\n",
        "cannot start serving: Resource temporarily unavailable\n",
    };
    int refusedStarts = 0;
    for (long room = 1; room <= 3; ++room) {  // threads the helper may have
        auto started = helper(static_cast<rlim_t>(nobody.tasks() + room), "start");
        std::optional<int> status;
        EXPECT_TRUE(waitUntil([&] {
            status = started->wait(0ms);
            return status || started->standardError().find("[info] serving") != std::string::npos;
        })) << room;
        if (!status) {
            ::kill(started->pid(), SIGTERM);
            status = started->wait(20s);
            EXPECT_EQ(status, 0) << room << ": " << started->standardError();
        } else {
            ++refusedStarts;
            EXPECT_EQ(status, 3) << room << ": " << started->standardError();
            EXPECT_TRUE(messages.contains(started->standardError()))
                << room << ": " << started->standardError();
        }
        EXPECT_FALSE(socketLeft()) << room;
    }
    EXPECT_GE(refusedStarts, 1) << "one thread is too few to start with";
}

TEST_F(Unprivileged, AHelperRefusedThreadsWarnsAndServesOn) {
    const long limit = nobody.tasks() + 64;
    auto served = helper(static_cast<rlim_t>(limit), "serve");
    {
        TestClient warm(socket(), 15s);
        EXPECT_EQ(warm.ask(1, R"({"op":"hello"})", 15s).final.kind, FrameKind::reply);
        EXPECT_EQ(warm.ask(2, R"({"op":"screenshot","quality":50})", 10s).final.kind,
                  FrameKind::reply);
    }
    ProcessSlotHog hog(nobody, static_cast<rlim_t>(limit));
    ASSERT_TRUE(hog.waitUntilFull(20s));

    expectServed(socket());
    // More screenshots at once than the helper has idle workers: those it cannot start a
    // worker for wait for a busy one.
    std::vector<std::unique_ptr<TestClient>> clients;
    for (int c = 0; c < 2; ++c) {
        clients.push_back(std::make_unique<TestClient>(socket()));
        for (std::uint32_t id = 1; id <= 16; ++id) {
            clients.back()->request(id, R"({"op":"screenshot","quality":50})");
        }
    }
    for (auto& client : clients) {
        for (std::uint32_t id = 1; id <= 16; ++id) {
            const auto answer = client->awaitAnswer(id, 30s);
            EXPECT_EQ(answer.final.kind, FrameKind::reply) << answer.json();
        }
    }
    // A stream needs threads of its own: refused, with its message and status.
    TestClient viewer(socket());
    const auto refused = viewer.ask(
        1, R"({"op":"stream","fps":30,"scale":0.5,"key_frame_s":1,"bitrate":1000000})", 10s);
    ASSERT_EQ(refused.final.kind, FrameKind::failure);
    EXPECT_EQ(json::parse(refused.json())["status"], 502) << refused.json();
    EXPECT_NE(served->standardError().find("[warning] no thread for an answer, it waits for a busy "
                                           "worker: Resource temporarily unavailable"),
              std::string::npos)
        << served->standardError();

    hog.release();  // threads to be had again: a stream runs
    viewer.request(2, R"({"op":"stream","fps":30,"scale":0.5,"key_frame_s":1,"bitrate":1000000})");
    const auto chunk = viewer.readFrame(10s);
    ASSERT_TRUE(chunk);
    EXPECT_EQ(chunk->kind, FrameKind::chunk);
    viewer.close();
    clients.clear();

    ::kill(served->pid(), SIGTERM);
    EXPECT_EQ(served->wait(20s), 0) << served->standardError();
    EXPECT_EQ(served->standardError().find("terminate"), std::string::npos)
        << served->standardError();
    EXPECT_FALSE(socketLeft());
}

}  // namespace
}  // namespace tavrel::e2e
