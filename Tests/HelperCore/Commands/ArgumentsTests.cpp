#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperCore/Base/JSON.hpp"
#include "HelperCore/Commands/Arguments.hpp"
#include "HelperCore/Commands/VersionReport.hpp"

namespace tavrel {
namespace {

using Arguments = std::vector<std::string>;
using Preference = TransportPolicy::Preference;

const std::string usage(Command::usage);

std::string plusUsage(const std::string& message) {
    return message + "\n" + usage;
}

std::vector<std::string> lines(std::string_view text) {
    std::vector<std::string> result;
    std::stringstream stream{std::string(text)};
    for (std::string line; std::getline(stream, line);) result.push_back(line);
    return result;
}

TEST(CommandUsage, LinesUpTheProgramNameAndTheContinuations) {
    const auto usageLines = lines(Command::usage);
    ASSERT_EQ(usageLines.size(), 8u);
    EXPECT_NE(Command::usage.back(), '\n');
    EXPECT_EQ(usageLines[0], "usage: tavrel-helper version");
    const std::string indent(7, ' ');
    EXPECT_EQ(usageLines[1], indent +
                                 "tavrel-helper serve --udid UDID --socket PATH [--parent-pid PID] "
                                 "[--hid auto|dtuhid|indigo]");
    EXPECT_EQ(usageLines[3],
              indent + "tavrel-helper self-check --udid UDID [--hid auto|dtuhid|indigo]");
    EXPECT_EQ(usageLines[4], indent + "tavrel-helper render --job PATH");
    EXPECT_EQ(usageLines[5], indent +
                                 "tavrel-helper capture --udid UDID --name NAME --socket PATH "
                                 "--width-px N --height-px N --scale N");
    for (int line : {0, 1, 3, 4, 5}) EXPECT_EQ(usageLines[line].find("tavrel-helper"), 7u);

    // Continuations start with their "[" under the first flag of the command above.
    struct Continuation {
        int line, above;
        const char* text;
    };
    const Continuation continuations[] = {
        {2, 1,
         "[--idle-key-frames on|off] [--replay-seconds N] [--log-level debug|info|warning|error]"},
        {6, 5,
         "[--capture-id ID] [--reference PATH] [--parent-pid PID] [--wait SECONDS] "
         "[--linger SECONDS]"},
        {7, 5,
         "[--idle-key-frames on|off] [--replay-seconds N] [--log-level debug|info|warning|error]"},
    };
    for (const auto& c : continuations) {
        const auto column = usageLines[c.above].find("--udid");
        EXPECT_EQ(usageLines[c.line], std::string(column, ' ') + c.text) << "line " << c.line + 1;
    }
}

TEST(CommandParse, RefusesWithTheExactMessage) {
    struct Case {
        Arguments arguments;
        std::string message;
        int status = 400;
    };
    const Arguments capture = {"capture",  "--udid",  "U",          "--name", "iPhone",
                               "--socket", "/s",      "--width-px", "1179",   "--height-px",
                               "2556",     "--scale", "3"};
    auto captureWith = [&](Arguments extra) {
        Arguments arguments = capture;
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        return arguments;
    };
    auto captureWithout = [&](const std::string& flag) {
        Arguments arguments;
        for (std::size_t i = 0; i < capture.size(); ++i) {
            if (capture[i] == flag) {
                ++i;
            } else {
                arguments.push_back(capture[i]);
            }
        }
        return arguments;
    };
    const Case cases[] = {
        {{}, usage},
        {{"launch"}, plusUsage("not a command: launch")},
        {{"Version"}, plusUsage("not a command: Version")},
        {{"launch", "bare"}, plusUsage("not a flag: bare")},
        {{"version", "--x", "1"}, plusUsage("not a flag here: --x")},
        {{"version", "--x"}, "--x needs a value"},
        {{"launch", "--x"}, "--x needs a value"},
        {{"version", "-x", "1"}, plusUsage("not a flag: -x")},
        {{"version", "--", "1"}, plusUsage("not a flag: --")},
        {{"version", "--a=1", "2"}, plusUsage("not a flag here: --a=1")},
        {{"version", "--zeta", "1", "--alpha", "2"}, plusUsage("not a flag here: --alpha")},
        {{"serve", "--udid", "A"}, plusUsage("serve needs --socket")},
        {{"serve", "--udid", "A", "--socket", ""}, plusUsage("serve needs --socket")},
        {{"serve", "--socket", "/s"}, plusUsage("a device is named with --udid")},
        {{"serve", "--udid", "", "--socket", "/s"}, plusUsage("a device is named with --udid")},
        {{"serve", "--udid", "A", "--socket", "/s", "--hid", "AUTO"},
         "--hid is auto, dtuhid or indigo, not AUTO"},
        {{"serve", "--udid", "A", "--socket", "/s", "--hid", ""},
         "--hid is auto, dtuhid or indigo, not "},
        {{"serve", "--udid", "A", "--socket", "/s", "--parent-pid", "1"}, "not a pid: 1"},
        {{"serve", "--udid", "A", "--socket", "/s", "--idle-key-frames", "yes"},
         "--idle-key-frames is on or off, not yes"},
        {{"serve", "--udid", "A", "--socket", "/s", "--replay-seconds", "121"},
         "--replay-seconds is a whole number 0 to 120, not 121"},
        {{"serve", "--udid", "A", "--socket", "/s", "--replay-seconds", "2.5"},
         "--replay-seconds is a whole number 0 to 120, not 2.5"},
        {captureWith({"--replay-seconds", "-1"}),
         "--replay-seconds is a whole number 0 to 120, not -1"},
        {{"self-check", "--udid", "A", "--replay-seconds", "5"},
         plusUsage("not a flag here: --replay-seconds")},
        {{"serve", "--udid", "A", "--socket", "/s", "--log-level", "Info"},
         "not a log level: Info"},
        {{"serve", "--udid", "A", "--socket", "/s", "--wait", "3"},
         plusUsage("not a flag here: --wait")},
        // The device flags are looked at before the socket.
        {{"serve", "--hid", "x"}, plusUsage("a device is named with --udid")},
        {{"self-check"}, plusUsage("a device is named with --udid")},
        {{"self-check", "--udid", "A", "--log-level", "debug"},
         plusUsage("not a flag here: --log-level")},
        {{"self-check", "--udid", "A", "--socket", "/s"}, plusUsage("not a flag here: --socket")},
        {{"render"}, plusUsage("render needs --job and the absolute path of its job")},
        {{"render", "--job", "job.json"},
         plusUsage("render needs --job and the absolute path of its job")},
        {{"render", "--job", ""}, plusUsage("render needs --job and the absolute path of its job")},
        {{"render", "--job", "/j.json", "--udid", "A"}, plusUsage("not a flag here: --udid")},
        {{"capture"}, plusUsage("capture needs --udid")},
        {captureWithout("--name"), plusUsage("capture needs --name")},
        {captureWithout("--socket"), plusUsage("capture needs --socket")},
        {captureWithout("--height-px"), plusUsage("capture needs --height-px")},
        {captureWith({"--name", ""}), plusUsage("capture needs --name")},
        {captureWith({"--width-px", "abc"}), "--width-px is a number, not abc"},
        {captureWith({"--width-px", "inf"}), "--width-px is a number, not inf"},
        {captureWith({"--height-px", "nan"}), "--height-px is a number, not nan"},
        {captureWith({"--scale", " 3"}), "--scale is a number, not  3"},
        {captureWith({"--scale", "3x"}), "--scale is a number, not 3x"},
        {captureWith({"--scale", "1e999"}), "--scale is a number, not 1e999"},
        {captureWith({"--width-px", "0"}), "the device reports no screen size (0.0x2556.0 at 3.0x)",
         502},
        {captureWith({"--scale", "-3"}),
         "the device reports no screen size (1179.0x2556.0 at -3.0x)", 502},
        {captureWith({"--reference", "shot.png"}),
         "--reference is the absolute path of a picture, not shot.png"},
        {captureWith({"--reference", ""}), "--reference is the absolute path of a picture, not "},
        {captureWith({"--parent-pid", "0"}), "not a pid: 0"},
        {captureWith({"--idle-key-frames", "On"}), "--idle-key-frames is on or off, not On"},
        {captureWith({"--wait", "0.5"}), "--wait is 1 to 120 seconds, not 0.5"},
        {captureWith({"--wait", "120.01"}), "--wait is 1 to 120 seconds, not 120.01"},
        {captureWith({"--wait", "soon"}), "--wait is 1 to 120 seconds, not soon"},
        {captureWith({"--wait", "nan"}), "--wait is 1 to 120 seconds, not nan"},
        {captureWith({"--linger", "601"}), "--linger is 0 to 600 seconds, not 601"},
        {captureWith({"--linger", "-1"}), "--linger is 0 to 600 seconds, not -1"},
        {captureWith({"--log-level", "WARN"}), "not a log level: WARN"},
        {captureWith({"--hid", "auto"}), plusUsage("not a flag here: --hid")},
        // The first failure in order wins.
        {captureWith({"--reference", "r", "--wait", "0"}),
         "--reference is the absolute path of a picture, not r"},
        {captureWith({"--linger", "-1", "--log-level", "x"}),
         "--linger is 0 to 600 seconds, not -1"},
    };
    for (const auto& c : cases) {
        std::string shown;
        for (const auto& argument : c.arguments) shown += "[" + argument + "] ";
        try {
            Command::parse(c.arguments);
            ADD_FAILURE() << "accepted " << shown;
        } catch (const HelperFailure& failure) {
            EXPECT_EQ(failure.message(), c.message) << shown;
            EXPECT_EQ(failure.status(), c.status) << shown;
        }
    }
}

TEST(CommandParse, ReadsEveryCommand) {
    ServeOptions fullServe{DeviceOptions{"B", Preference::indigo}, "--hid", 42, false,
                           Log::Level::debug};
    CaptureOptions fullCapture;
    fullCapture.udid = "U";
    fullCapture.name = "Ann's iPhone";
    fullCapture.socket = "/tmp/s";
    fullCapture.screen = ScreenGeometry{1180, 2556, 393, 852, 3};
    fullCapture.captureId = "";
    fullCapture.reference = "/ref.png";
    fullCapture.parentPid = 2147483647;
    fullCapture.idleKeyFrames = false;
    fullCapture.waitS = 120;
    fullCapture.lingerS = 0;
    fullCapture.logLevel = Log::Level::error;

    CaptureOptions plainCapture;
    plainCapture.udid = "U";
    plainCapture.name = "N";
    plainCapture.socket = "/s";
    plainCapture.screen = ScreenGeometry{750, 1334, 375, 667, 2};

    struct Case {
        Arguments arguments;
        Command expected;
    };
    const Case cases[] = {
        {{"version"}, {Command::Version{}}},
        {{"serve", "--socket", "/s", "--udid", "A"},
         {ServeOptions{DeviceOptions{"A", Preference::automatic}, "/s", std::nullopt, true,
                       Log::Level::info}}},
        // A later value wins; values are never taken for flags.
        {{"serve", "--udid", "A", "--socket", "--hid", "--udid", "B", "--hid", "indigo",
          "--parent-pid", "+42", "--idle-key-frames", "off", "--log-level", "debug"},
         {fullServe}},
        {{"serve", "--socket", "/s", "--udid", "A", "--replay-seconds", "30"},
         {ServeOptions{DeviceOptions{"A", Preference::automatic}, "/s", std::nullopt, true,
                       Log::Level::info, 30}}},
        {{"self-check", "--udid", "A", "--hid", "dtuhid"},
         {Command::SelfCheck{DeviceOptions{"A", Preference::dtuhid}}}},
        {{"render", "--job", "/no/such/job.json"}, {Command::Render{"/no/such/job.json"}}},
        {{"capture", "--udid", "U", "--name", "N", "--socket", "/s", "--width-px", "750",
          "--height-px", "1334", "--scale", "2"},
         {plainCapture}},
        {{"capture",
          "--scale",
          "0x1.8p1",
          "--height-px",
          "2556",
          "--width-px",
          "1179.5",
          "--udid",
          "U",
          "--name",
          "Ann's iPhone",
          "--socket",
          "/tmp/s",
          "--capture-id",
          "",
          "--reference",
          "/ref.png",
          "--parent-pid",
          "2147483647",
          "--idle-key-frames",
          "off",
          "--wait",
          "120",
          "--linger",
          "0",
          "--log-level",
          "error"},
         {fullCapture}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Command::parse(c.arguments), c.expected) << c.arguments.front();
    }
    EXPECT_EQ(plainCapture.waitS, 15);
    EXPECT_EQ(plainCapture.lingerS, 30);
    EXPECT_TRUE(plainCapture.idleKeyFrames);
    EXPECT_EQ(plainCapture.replaySeconds, 0);
    auto replayCapture = plainCapture;
    replayCapture.replaySeconds = 120;
    EXPECT_EQ(
        Command::parse({"capture", "--udid", "U", "--name", "N", "--socket", "/s", "--width-px",
                        "750", "--height-px", "1334", "--scale", "2", "--replay-seconds", "120"}),
        Command{replayCapture});
}

TEST(CommandReplaySeconds, AcceptsOnlyWholeSecondsUpToTwoMinutes) {
    struct Case {
        const char* text;
        std::int64_t seconds;  // -1: refused
    };
    const Case cases[] = {
        {"0", 0},
        {"1", 1},
        {"120", 120},
        {"030", 30},
        {"0000", 0},
        {"121", -1},
        {"1000", -1},
        {"-1", -1},
        {"+5", -1},
        {"2.0", -1},
        {"", -1},
        {" 5", -1},
        {"5 ", -1},
        {"1e2", -1},
        {"0x10", -1},
        {"ten", -1},
        {"00000000000000000000121", -1},
        {"99999999999999999999", -1},
    };
    for (const auto& c : cases) {
        if (c.seconds >= 0) {
            EXPECT_EQ(Command::replaySeconds(c.text), c.seconds) << c.text;
            continue;
        }
        try {
            Command::replaySeconds(c.text);
            ADD_FAILURE() << "accepted " << c.text;
        } catch (const HelperFailure& failure) {
            EXPECT_EQ(failure,
                      HelperFailure(
                          std::string("--replay-seconds is a whole number 0 to 120, not ") + c.text,
                          400));
        }
    }
}

TEST(CommandPid, AcceptsOnlySigned32BitIdsOfTwoOrMore) {
    struct Case {
        const char* text;
        std::int32_t pid;  // 0: refused
    };
    const Case cases[] = {
        {"2", 2},          {"+42", 42},
        {"00042", 42},     {"2147483647", 2147483647},
        {"1", 0},          {"0", 0},
        {"-5", 0},         {"-0", 0},
        {"2147483648", 0}, {"99999999999999999999", 0},
        {"", 0},           {"+", 0},
        {"++4", 0},        {"+-4", 0},
        {" 42", 0},        {"42 ", 0},
        {"4x", 0},         {"0x10", 0},
        {"4.0", 0},        {"١٢", 0},
    };
    for (const auto& c : cases) {
        if (c.pid != 0) {
            EXPECT_EQ(Command::pid(c.text), c.pid) << c.text;
        } else {
            try {
                Command::pid(c.text);
                ADD_FAILURE() << "accepted " << c.text;
            } catch (const HelperFailure& failure) {
                EXPECT_EQ(failure, HelperFailure(std::string("not a pid: ") + c.text, 400));
            }
        }
    }
}

TEST(CommandFlags, PairsNamesWithValues) {
    EXPECT_TRUE(Command::flags({}).empty());
    EXPECT_EQ(Command::flags({"--a", "1", "--b", "--c", "--a", "3"}),
              (CommandFlags{{"a", "3"}, {"b", "--c"}}));
    EXPECT_EQ(Command::flags({"--x=1", "y", "---", ""}), (CommandFlags{{"x=1", "y"}, {"-", ""}}));
    EXPECT_NO_THROW(Command::refuseLeftovers({}));
}

TEST(VersionReport, WritesAllFourKeysWithNullForAnUnknownCoreSimulator) {
    EXPECT_EQ(
        JSON::encode(VersionReport()),
        R"({"core_simulator":null,"features":["render","capture"],"version":"2.0.1","wire":1})");
    EXPECT_EQ(
        JSON::encode(VersionReport("1165.1")),
        R"({"core_simulator":"1165.1","features":["render","capture"],"version":"2.0.1","wire":1})");
    EXPECT_NE(VersionReport("1165.1"), VersionReport());
}

}  // namespace
}  // namespace tavrel
