// The tavrel-helper program against simulated iPhones: serve over its socket, self-check and
// the version report.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "HelperPlatform/Frameworks/Frameworks.hpp"
#include "HelperPlatform/Support/Simulators.hpp"
#include "Support/TemporaryDirectory.hpp"
#include "Support/TestClient.hpp"

namespace tavrel {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::programPath;
using testing::runProgram;
using testing::SimulatorHome;
using testing::TemporaryDirectory;
using testing::TestClient;

TEST(ServeSimulator, ServesABootedSimulatorUntilItShutsDown) {
    auto udid = SimulatorHome::shared().boot("Served");
    TemporaryDirectory directory;
    const auto socket = directory.file("helper.sock");
    ChildProcess helper(programPath("tavrel-helper"),
                        {"serve", "--udid", udid, "--socket", socket});
    {
        TestClient client(socket, 10s);
        auto hello = client.ask(1, R"({"op":"hello"})", 15s);
        ASSERT_EQ(hello.final.kind, FrameKind::reply) << hello.json();
        auto document = nlohmann::json::parse(hello.json());
        EXPECT_EQ(document["core_simulator"], "1165.1");
        EXPECT_EQ(document["screen"]["width_px"], 1179);

        auto shot = client.ask(2, R"({"op":"screenshot","max_width":200,"quality":50})", 10s);
        ASSERT_EQ(shot.final.kind, FrameKind::reply) << shot.json();
        EXPECT_EQ(nlohmann::json::parse(shot.json())["width"], 200);
        ASSERT_GT(shot.final.blob.size(), 2u);
        EXPECT_EQ(shot.final.blob[0], 0xFF);
        EXPECT_EQ(shot.final.blob[1], 0xD8);
    }

    SimulatorHome::shared().shutdown(udid);
    auto status = helper.wait(10s);
    ASSERT_TRUE(status) << "the helper kept serving a shut-down simulator";
    EXPECT_EQ(*status, 0);
    const auto err = helper.err();
    EXPECT_NE(err.find("[info] serving " + udid + " on " + socket + " with CoreSimulator 1165.1\n"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("[info] stopping: the simulator is no longer booted\n"), std::string::npos)
        << err;
    EXPECT_FALSE(std::filesystem::exists(socket));
}

TEST(ServeSimulator, ExitsWithStatus3WhenTheSimulatorCannotBeOpened) {
    auto& home = SimulatorHome::shared();
    auto idle = home.create("Idle");
    TemporaryDirectory directory;
    auto dir = Frameworks::developerDir({});
    struct Case {
        std::string udid;
        std::string message;
    };
    for (const auto& c : std::vector<Case>{
             {idle, "the simulator " + idle + " is not booted (Shutdown)\n"},
             {"NOT-A-UDID", "no simulator NOT-A-UDID in the device set of " + dir + "\n"}}) {
        auto result = runProgram("tavrel-helper",
                                 {"serve", "--udid", c.udid, "--socket", directory.file("s")});
        EXPECT_EQ(result.status, 3);
        EXPECT_EQ(result.err, c.message);
        EXPECT_EQ(result.out, "");
    }
}

TEST(SelfCheck, ExercisesTheSimulatorEndToEnd) {
    auto udid = SimulatorHome::shared().boot("Checked");
    auto result = runProgram("tavrel-helper", {"self-check", "--udid", udid});
    auto report = nlohmann::json::parse(result.out);
    ASSERT_EQ(report["parts"].size(), 4u) << result.out;
    const std::vector<std::string> names = {"screen", "screenshot", "input", "element tree"};
    for (std::size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(report["parts"][i]["name"], names[i]);
        EXPECT_TRUE(report["parts"][i]["ok"]) << result.out;
    }
    EXPECT_EQ(report["parts"][0]["detail"], "1179x2556 pixels, 393x852 points");
    EXPECT_EQ(report["ok"], true);
    EXPECT_EQ(result.status, 0);
    SimulatorHome::shared().shutdown(udid);
}

TEST(SelfCheck, ReportsOnlyTheDeviceWhenItCannotBeOpened) {
    SimulatorHome::shared();
    auto dir = Frameworks::developerDir({});
    auto result = runProgram("tavrel-helper", {"self-check", "--udid", "NOT-A-UDID"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, R"({"ok":false,"parts":[{"detail":"no simulator NOT-A-UDID in the )"
                          R"(device set of )" +
                              dir + R"(","name":"device","ok":false}]})" + "\n");
}

TEST(VersionReport, NamesTheCoreSimulatorOfTheSelectedXcode) {
    auto result = runProgram("tavrel-helper", {"version"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(nlohmann::json::parse(result.out)["core_simulator"], "1165.1");

    // An Xcode without SimulatorKit: the frameworks do not load, the report still comes.
    TemporaryDirectory xcode;
    ::setenv("DEVELOPER_DIR", xcode.path().c_str(), 1);
    auto without = runProgram("tavrel-helper", {"version"});
    ::unsetenv("DEVELOPER_DIR");
    EXPECT_EQ(without.status, 0);
    EXPECT_EQ(without.out,
              R"({"core_simulator":null,"features":["render","capture"],"version":"2.0.1",)"
              R"("wire":1})"
              "\n");
}

}  // namespace
}  // namespace tavrel
