// tavrel-helper capture serving plugged simulated iPhones, checked against the simulator's
// own screen; the cable, the permission, the linger time and the disclaimed relaunch. Every
// test works in its own temporary HOME; devices and helpers stop when it ends.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <thread>

#include "HelperCore/Video/AnnexB.hpp"
#include "HelperCore/Video/NALUnit.hpp"
#include "Support/FrameFiles.hpp"
#include "Support/SimulatorHome.hpp"
#include "Support/StreamCheck.hpp"
#include "Support/TestClient.hpp"
#include "Support/WaitUntil.hpp"

namespace tavrel::e2e {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;
using testing::waitUntil;

std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

std::string simctl(const std::vector<std::string>& arguments) {
    const auto result = runProgram("tavrel-simctl", arguments);
    if (result.status != 0) throw std::runtime_error("tavrel-simctl failed: " + result.err);
    return trimmed(result.out);
}

int occurrences(const std::string& text, const std::string& part) {
    int count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

// `tavrel-helper capture` for a plugged device named `name`.
class CapturedDevice {
  public:
    CapturedDevice(SimulatorHome& home, const std::string& name,
                   const std::vector<std::string>& extra = {},
                   const std::string& socket = "cap.sock",
                   const std::vector<std::string>& launcher = {})
        : socket_(home.file(socket)) {
        std::vector<std::string> arguments{
            "capture",     "--udid",       "00008110-0001",
            "--name",      name,           "--socket",
            socket_,       "--width-px",   "1179",
            "--height-px", "2556",         "--scale",
            "3",           "--parent-pid", std::to_string(::getpid())};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        const auto outputs = home.path() / ("outputs-" + socket);
        std::filesystem::create_directories(outputs);
        if (launcher.empty()) {
            process_ = std::make_unique<ChildProcess>("tavrel-helper", arguments, outputs);
        } else {
            // The helper exec'd by another program, as a host's own launcher would.
            auto all = std::vector<std::string>(launcher.begin() + 1, launcher.end());
            all.push_back(programPath("tavrel-helper"));
            all.insert(all.end(), arguments.begin(), arguments.end());
            process_ = std::make_unique<ChildProcess>(launcher.front(), all, outputs);
        }
        if (!waitUntil([&] { return std::filesystem::exists(socket_) || process_->wait(0ms); }))
            throw std::runtime_error("the helper never listened: " + process_->standardError());
    }
    ~CapturedDevice() { process_->stop(); }

    ProgramResult client(const std::vector<std::string>& arguments) const {
        std::vector<std::string> all{"--socket", socket_};
        all.insert(all.end(), arguments.begin(), arguments.end());
        return runProgram("tavrel-client", all);
    }
    ChildProcess& process() { return *process_; }
    const std::string& socket() const { return socket_; }

  private:
    std::string socket_;
    std::unique_ptr<ChildProcess> process_;
};

ProgramResult clientOf(const ServedDevice& served, const std::vector<std::string>& arguments) {
    return served.client(arguments);
}

struct Image {
    int width = 0, height = 0;
    std::vector<std::uint8_t> bgra;
};

Image decodeJPEG(const std::string& path) {
    const auto bytes = readBytes(path);
    Image image;
    tjhandle handle = tjInitDecompress();
    int subsampling = 0, colorspace = 0;
    if (tjDecompressHeader3(handle, bytes.data(), bytes.size(), &image.width, &image.height,
                            &subsampling, &colorspace) == 0) {
        image.bgra.resize(std::size_t(image.width) * image.height * 4);
        if (tjDecompress2(handle, bytes.data(), bytes.size(), image.bgra.data(), image.width, 0,
                          image.height, TJPF_BGRA, 0) != 0)
            image = {};
    }
    tjDestroy(handle);
    return image;
}

double meanDifference(const Image& a, const Image& b) {
    if (a.bgra.size() != b.bgra.size() || a.bgra.empty()) return 255;
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < a.bgra.size(); ++i)
        sum += std::abs(int(a.bgra[i]) - int(b.bgra[i]));
    return double(sum) / double(a.bgra.size());
}

// Width and height of the stream in an Annex B file, as ffprobe reads it.
std::string probedSize(const std::string& path) {
    const auto result =
        runProgram("ffprobe", {"-v", "error", "-select_streams", "v:0", "-show_entries",
                               "stream=width,height", "-of", "csv=p=0", path});
    return result.status == 0 ? trimmed(result.out) : "ffprobe failed: " + result.err;
}

// The rows "| status | message | when |" of docs/protocol.md's table of a cabled device's
// failures, as (status, pattern): a `{placeholder}` stands for any text.
std::vector<std::pair<int, std::regex>> documentedCaptureFailures() {
    std::ifstream file(std::string(TAVREL_SOURCE_DIR) + "/docs/protocol.md");
    const std::string text(std::istreambuf_iterator<char>(file), {});
    const auto start = text.find("#### Failures of a cabled device");
    EXPECT_NE(start, std::string::npos);
    std::istringstream lines(text.substr(start, text.find("\n#", start + 1) - start));
    std::vector<std::pair<int, std::regex>> rows;
    static const std::regex row(R"(^\| (\d+) \| (.*) \| [^|]* \|$)");
    static const std::regex code("`([^`]*)`");
    for (std::string line; std::getline(lines, line);) {
        std::smatch match;
        if (!std::regex_match(line, match, row)) continue;
        const int status = std::stoi(match[1]);
        const std::string messages = match[2];
        for (std::sregex_iterator it(messages.begin(), messages.end(), code), end; it != end;
             ++it) {
            std::string pattern;
            for (char c : (*it)[1].str()) {
                if (std::string("\\^$.|?*+()[]").find(c) != std::string::npos) pattern += '\\';
                pattern += c;
            }
            pattern = std::regex_replace(pattern, std::regex(R"(\\?\{[a-zA-Z]+\\?\})"), ".+");
            rows.emplace_back(status, std::regex(pattern));
        }
    }
    return rows;
}

// Whether the client's refusal ("tavrel-client: {message} (status {status})") is a row of the
// document's table.
bool documented(const ProgramResult& refused) {
    static const std::regex form(R"(tavrel-client: (.*) \(status (\d+)\)\s*$)");
    std::smatch match;
    if (!std::regex_search(refused.err, match, form)) return false;
    const std::string message = match[1];
    const int status = std::stoi(match[2]);
    for (const auto& [documentedStatus, pattern] : documentedCaptureFailures())
        if (documentedStatus == status && std::regex_match(message, pattern)) return true;
    return false;
}

// Screenshots come once the warm-up has opened the capture.
ProgramResult screenshotWhenOpen(const CapturedDevice& captured, const std::string& file) {
    ProgramResult result;
    waitUntil([&] {
        result = captured.client({"screenshot", file});
        return result.err.find("not open yet") == std::string::npos;
    });
    return result;
}

TEST(CaptureServe, ScreenshotsAndStreamsMatchTheSimulatorsOwnScreen) {
    for (bool landscape : {false, true}) {
        SCOPED_TRACE(landscape ? "landscape" : "portrait");
        SimulatorHome home;
        const auto udid = home.boot("Phone");
        ServedDevice served(home, udid);
        std::vector<std::string> plug{"plug", udid};
        if (landscape) plug.push_back("--landscape");
        const auto id = simctl(plug);
        CapturedDevice captured(home, "Phone");

        const auto cabled = screenshotWhenOpen(captured, home.file("cabled.jpg"));
        ASSERT_EQ(cabled.status, 0) << cabled.err;
        const auto own = clientOf(served, {"screenshot", home.file("own.jpg")});
        ASSERT_EQ(own.status, 0) << own.err;
        const auto a = decodeJPEG(home.file("cabled.jpg"));
        const auto b = decodeJPEG(home.file("own.jpg"));
        EXPECT_EQ(a.width, 1179);
        EXPECT_EQ(a.height, 2556);
        EXPECT_EQ(a.width, b.width);
        EXPECT_EQ(a.height, b.height);
        EXPECT_LT(meanDifference(a, b), 1.0);

        const auto hello = json::parse(captured.client({"hello"}).out, nullptr, false);
        EXPECT_EQ(hello["source"], id);
        EXPECT_EQ(hello["core_simulator"], nullptr);

        ASSERT_EQ(captured.client({"stream", home.file("cabled.h264"), "--seconds", "1"}).status,
                  0);
        ASSERT_EQ(clientOf(served, {"stream", home.file("own.h264"), "--seconds", "1"}).status, 0);
        EXPECT_EQ(probedSize(home.file("cabled.h264")), probedSize(home.file("own.h264")));

        const auto tap = captured.client({"tap", "10", "10"});
        EXPECT_NE(tap.status, 0);
        EXPECT_NE(tap.err.find("a real device's touches go through WebDriverAgent, not its cable"),
                  std::string::npos)
            << tap.err;
        const auto tree = captured.client({"accessibility"});
        EXPECT_NE(tree.err.find("a real device's element tree is read through WebDriverAgent, "
                                "not its cable"),
                  std::string::npos)
            << tree.err;
    }
}

// The access units of a frame file: each frame's payload, a frame of parameter sets alone
// joined to the picture after it as a stream carries them.
std::vector<Bytes> framePayloads(const Bytes& file) {
    std::vector<Bytes> payloads;
    Bytes parameterSets;
    for (auto& frame : testing::readFrames(file)) {
        const bool picture = std::ranges::any_of(AnnexB::nalUnitViews(frame.data), [](auto nal) {
            return NALUnit::isPicture(AnnexB::type(nal));
        });
        if (!picture) {
            parameterSets.insert(parameterSets.end(), frame.data.begin(), frame.data.end());
            continue;
        }
        frame.data.insert(frame.data.begin(), parameterSets.begin(), parameterSets.end());
        parameterSets.clear();
        payloads.push_back(std::move(frame.data));
    }
    return payloads;
}

TEST(CaptureServe, KeepsAReplayOfTheCabledScreen) {
    SimulatorHome home;
    const auto udid = home.boot("Phone");
    simctl({"plug", udid});
    ASSERT_EQ(runProgram("tavrel-simctl", {"animate", udid, "on"}).status, 0);
    CapturedDevice captured(home, "Phone", {"--replay-seconds", "2"});
    testing::TestClient client(captured.socket());
    EXPECT_EQ(json::parse(client.ask(1, R"({"op":"hello"})", 30s).json())["replay_seconds"], 2);

    // Before the capture opens and its stream starts, the replay has nothing; then it has the
    // cabled screen, which libavcodec decodes from its first frame on.
    std::uint32_t id = 1;
    testing::TestClient::Answer answer;
    ASSERT_TRUE(waitUntil([&] {
        answer = client.ask(++id, R"({"op":"replay"})", 30s);
        if (answer.final.kind == FrameKind::failure) {
            EXPECT_EQ(answer.json(),
                      R"({"message":"the replay holds no pictures yet","status":409})");
            return false;
        }
        return framePayloads(answer.final.blob).size() >= 10;
    }));
    const auto decoded = decodeAccessUnits(framePayloads(answer.final.blob));
    EXPECT_EQ(decoded.error, "");
    EXPECT_GE(decoded.pictures, 8);
    EXPECT_EQ(decoded.width, 590);
    EXPECT_EQ(decoded.height, 1278);
}

TEST(CaptureServe, TellsTwoDevicesOfOneNameApartByAReferencePicture) {
    SimulatorHome home;
    const auto first = home.boot("Phone");
    const auto second = home.boot("Spare");
    {
        // The second shows its home screen, so that the two screens differ.
        ServedDevice served(home, second, "auto", "spare.sock");
        ASSERT_EQ(clientOf(served, {"button", "home"}).status, 0);
        ServedDevice other(home, first, "auto", "phone.sock");
        ASSERT_EQ(clientOf(other, {"screenshot", home.file("first.jpg")}).status, 0);
    }
    ASSERT_TRUE(waitUntil([&] {
        simctl({"screenshot", second, home.file("second.png")});
        auto own = decodeJPEG(home.file("first.jpg"));
        return std::filesystem::file_size(home.file("second.png")) > 0 && own.width > 0;
    }));
    const auto firstId = simctl({"plug", first});
    const auto secondId = simctl({"plug", second, "--name", "Phone"});

    struct Case {
        const char* reference;
        std::string expected;
    };
    const Case cases[] = {{"second.png", secondId}, {"first.jpg", firstId}};
    int serial = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reference);
        CapturedDevice captured(home, "Phone", {"--reference", home.file(c.reference)},
                                "cap" + std::to_string(serial++) + ".sock");
        const auto shot = screenshotWhenOpen(captured, home.file("shot.jpg"));
        ASSERT_EQ(shot.status, 0) << shot.err;
        const auto hello = json::parse(captured.client({"hello"}).out, nullptr, false);
        EXPECT_EQ(hello["source"], c.expected);
    }

    // No reference, or one that cannot be used: the choice goes on as if none was given, and
    // an unusable one neither stalls the opening nor is read without bound.
    ASSERT_EQ(::mkfifo(home.file("fifo").c_str(), 0600), 0);
    std::ofstream(home.file("garbage.png")) << "not a picture";
    struct Unusable {
        std::string reference;
        const char* warning;
    };
    const Unusable unusable[] = {{"", nullptr},
                                 {home.file("fifo"), "is not a regular file"},
                                 {"/dev/zero", "is not a regular file"},
                                 {home.path().string(), "is not a regular file"},
                                 {home.file("missing.png"), "cannot be opened"},
                                 {home.file("garbage.png"), "is not a picture that can be read"}};
    for (const auto& u : unusable) {
        SCOPED_TRACE(u.reference);
        std::vector<std::string> extra;
        if (!u.reference.empty()) extra = {"--reference", u.reference};
        CapturedDevice captured(home, "Phone", extra, "plain" + std::to_string(serial++) + ".sock");
        const auto refused = screenshotWhenOpen(captured, home.file("none.jpg"));
        EXPECT_NE(refused.err.find("2 cabled devices are called Phone, and no picture of its "
                                   "screen tells them apart (status 409)"),
                  std::string::npos)
            << refused.err;
        EXPECT_TRUE(documented(refused)) << refused.err;
        const auto log = captured.process().standardError();
        if (u.warning) {
            EXPECT_NE(log.find("[warning] the reference picture cannot be used: " + u.reference +
                               " " + u.warning),
                      std::string::npos)
                << log;
        }
    }
}

TEST(CaptureServe, NoDeviceOfTheNameFailsEveryRequestAfterTheWait) {
    SimulatorHome home;
    simctl({"plug", home.boot("Phone"), "--name", "Other"});
    CapturedDevice captured(home, "Phone", {"--wait", "1"});
    const std::string message =
        "no screen of a cabled device called Phone is among this Mac's capture devices: is it "
        "plugged in by cable, trusted and unlocked? (status 409)";
    const auto shot = screenshotWhenOpen(captured, home.file("shot.jpg"));
    EXPECT_NE(shot.err.find(message), std::string::npos) << shot.err;
    EXPECT_TRUE(documented(shot)) << shot.err;
    const auto again = captured.client({"screenshot", home.file("shot.jpg")});
    EXPECT_NE(again.err.find(message), std::string::npos) << again.err;
    const auto describe = captured.client({"describe"});
    EXPECT_NE(describe.err.find(message), std::string::npos) << describe.err;
}

TEST(CaptureServe, PullingTheCableOrShuttingDownStopsTheHelper) {
    for (bool shutdown : {false, true}) {
        SCOPED_TRACE(shutdown ? "shutdown" : "unplug");
        SimulatorHome home;
        const auto udid = home.boot("Phone");
        const auto id = simctl({"plug", udid});
        CapturedDevice captured(home, "Phone");
        ASSERT_EQ(screenshotWhenOpen(captured, home.file("shot.jpg")).status, 0);
        simctl(shutdown ? std::vector<std::string>{"shutdown", udid}
                        : std::vector<std::string>{"unplug", id});
        EXPECT_EQ(captured.process().wait(10s), 0);
        EXPECT_NE(captured.process().standardError().find(
                      "[info] stopping: the device's cable was unplugged"),
                  std::string::npos)
            << captured.process().standardError();
    }
}

TEST(CaptureServe, LingerKeepsTheCaptureRunningAcrossQuickScreenshots) {
    SimulatorHome home;
    simctl({"plug", home.boot("Phone")});
    CapturedDevice captured(home, "Phone", {"--linger", "8", "--log-level", "debug"});
    const std::string started = "[debug] capturing the screen of Phone";
    const std::string stopped = "[debug] no longer capturing the screen of Phone";
    ASSERT_EQ(screenshotWhenOpen(captured, home.file("0.jpg")).status, 0);
    for (int i = 1; i < 4; ++i)
        ASSERT_EQ(captured.client({"screenshot", home.file(std::to_string(i) + ".jpg")}).status, 0);
    EXPECT_EQ(occurrences(captured.process().standardError(), started), 1);
    ASSERT_TRUE(waitUntil(
        [&] { return occurrences(captured.process().standardError(), stopped) == 1; }, 30s));
    EXPECT_EQ(occurrences(captured.process().standardError(), started), 1);
    // The next screenshot starts it again.
    ASSERT_EQ(captured.client({"screenshot", home.file("4.jpg")}).status, 0);
    EXPECT_EQ(occurrences(captured.process().standardError(), started), 2);
}

TEST(CaptureServe, WithoutTheCameraPermissionNothingIsRead) {
    SimulatorHome home;
    simctl({"plug", home.boot("Phone")});
    simctl({"camera", "denied"});
    {
        CapturedDevice captured(home, "Phone");
        const auto shot = screenshotWhenOpen(captured, home.file("shot.jpg"));
        EXPECT_NE(shot.err.find("macOS has not let tavrel-helper use the Camera, which reading a "
                                "cabled device's screen needs: allow it in System Settings > "
                                "Privacy & Security > Camera (status 403)"),
                  std::string::npos)
            << shot.err;
        EXPECT_TRUE(documented(shot)) << shot.err;
    }
    // Not yet asked: the opening waits for the answer, then reads.
    simctl({"camera", "undetermined"});
    CapturedDevice captured(home, "Phone", {}, "asked.sock");
    // A wrong opening would go ahead and read within the second.
    EXPECT_FALSE(waitUntil(
        [&] {
            return captured.client({"screenshot", home.file("early.jpg")}).status == 0;
        },
        1s));
    const auto early = captured.client({"screenshot", home.file("early.jpg")});
    EXPECT_NE(early.err.find("the device's screen is not open yet (status 503)"), std::string::npos)
        << early.err;
    EXPECT_TRUE(documented(early)) << early.err;
    simctl({"camera", "granted"});
    EXPECT_EQ(screenshotWhenOpen(captured, home.file("late.jpg")).status, 0);
}

// The copy the launching process started, found by its parent.
std::optional<pid_t> childOf(pid_t parent) {
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const auto name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        std::getline(stat, line);
        const auto close = line.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream rest(line.substr(close + 2));
        char state;
        pid_t ppid = 0;
        rest >> state >> ppid;
        if (ppid == parent) return std::stoi(name);
    }
    return std::nullopt;
}

std::string environmentOf(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/environ", std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return text;
}

// Sets variables for the programs started while it lives.
class ScopedEnvironment {
  public:
    void set(const std::string& name, const std::string& value) {
        const char* old = std::getenv(name.c_str());
        saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        ::setenv(name.c_str(), value.c_str(), 1);
    }
    ~ScopedEnvironment() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            if (it->second)
                ::setenv(it->first.c_str(), it->second->c_str(), 1);
            else
                ::unsetenv(it->first.c_str());
        }
    }

  private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

std::unique_ptr<CapturedDevice> disclaimedCapture(SimulatorHome& home, const char* marker,
                                                  const std::string& socket,
                                                  const std::vector<std::string>& launcher = {}) {
    ScopedEnvironment environment;
    environment.set("LD_PRELOAD", TAVREL_DISCLAIM_FIXTURE);
    // A sanitized helper would refuse a library loaded ahead of its runtime.
    const char* asan = std::getenv("ASAN_OPTIONS");
    environment.set("ASAN_OPTIONS",
                    std::string(asan ? asan : "") + (asan ? ":" : "") + "verify_asan_link_order=0");
    if (marker)
        environment.set("TAVREL_HELPER_DISCLAIMED", marker);
    else
        ::unsetenv("TAVREL_HELPER_DISCLAIMED");
    return std::make_unique<CapturedDevice>(home, "Phone", std::vector<std::string>{}, socket,
                                            launcher);
}

// The signals a process ignores, as a mask of bit (signal - 1).
std::uint64_t ignoredSignalsOf(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("SigIgn:", 0) == 0) return std::stoull(line.substr(7), nullptr, 16);
    throw std::runtime_error("no SigIgn line for " + std::to_string(pid));
}

TEST(CaptureServe, RelaunchesDisclaimedUnlessMarked) {
    SimulatorHome home;
    simctl({"plug", home.boot("Phone")});
    struct Case {
        const char* marker;
        bool relaunches;
    };
    const Case cases[] = {{nullptr, true}, {"0", true}, {"yes", true}, {"1", false}};
    int serial = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.marker ? c.marker : "(unset)");
        auto captured = disclaimedCapture(home, c.marker, "d" + std::to_string(serial++) + ".sock");
        const auto launcher = captured->process().pid();
        ASSERT_EQ(screenshotWhenOpen(*captured, home.file("shot.jpg")).status, 0);
        const auto copy = childOf(launcher);
        EXPECT_EQ(copy.has_value(), c.relaunches);
        if (copy) {
            EXPECT_NE(environmentOf(*copy).find(std::string("TAVREL_HELPER_DISCLAIMED=1") + '\0'),
                      std::string::npos);
            EXPECT_EQ(occurrences(captured->process().standardError(), "[info] serving the screen"),
                      1);
        }
        EXPECT_EQ(captured->process().stop(), 0);
    }
}

TEST(CaptureServe, TheLauncherPassesSignalsOnAndExitsWithTheCopysStatus) {
    SimulatorHome home;
    simctl({"plug", home.boot("Phone")});
    struct Case {
        const char* what;
        int signal;
        bool toCopy;
        int status;
    };
    const Case cases[] = {
        {"SIGTERM", SIGTERM, false, 0},
        {"SIGINT", SIGINT, false, 0},
        {"SIGHUP", SIGHUP, false, 128 + SIGHUP},
        {"the copy killed", SIGKILL, true, 137},
    };
    int serial = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto captured = disclaimedCapture(home, nullptr, "s" + std::to_string(serial++) + ".sock");
        const auto launcher = captured->process().pid();
        std::optional<pid_t> copy;
        ASSERT_TRUE(waitUntil([&] { return (copy = childOf(launcher)).has_value(); }));
        ASSERT_EQ(::kill(c.toCopy ? *copy : launcher, c.signal), 0);
        EXPECT_EQ(captured->process().wait(15s), c.status);
        EXPECT_TRUE(waitUntil([&] { return ::kill(*copy, 0) != 0; }, 5s))
            << "the copy outlived its launcher";
    }
}

TEST(CaptureServe, ALauncherStartedWithSignalsIgnoredStillReportsTheCopysEnd) {
    // A host may leave SIGCHLD ignored: the kernel then reaps the copy itself, and a launcher
    // that believed its failed wait would report a killed copy as a success.
    SimulatorHome home;
    simctl({"plug", home.boot("Phone")});
    const std::vector<std::string> ignoring{"sh", "-c", "trap '' CHLD USR1; exec \"$0\" \"$@\""};
    auto captured = disclaimedCapture(home, nullptr, "ignoring.sock", ignoring);
    const auto launcher = captured->process().pid();
    std::optional<pid_t> copy;
    ASSERT_TRUE(waitUntil([&] { return (copy = childOf(launcher)).has_value(); }));
    const std::uint64_t child = 1u << (SIGCHLD - 1), user = 1u << (SIGUSR1 - 1);
    ASSERT_EQ(ignoredSignalsOf(launcher) & user, user) << "the host's dispositions did not hold";
    EXPECT_EQ(ignoredSignalsOf(*copy) & (child | user), 0u)
        << "the copy kept dispositions the host left ignored";
    ASSERT_EQ(::kill(*copy, SIGKILL), 0);
    EXPECT_EQ(captured->process().wait(15s), 128 + SIGKILL);
}

}  // namespace
}  // namespace tavrel::e2e
