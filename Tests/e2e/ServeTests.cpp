// tavrel-helper serving simulated iPhones, driven by tavrel-client and a wire-protocol client.
// Every test works in its own temporary HOME; devices and helpers stop when it ends.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <thread>

#include "Support/SimulatorHome.hpp"
#include "Support/StreamCheck.hpp"
#include "Support/TestClient.hpp"
#include "Support/WaitUntil.hpp"

namespace tavrel::e2e {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;
using testing::waitUntil;

json parsed(const ProgramResult& result) {
    EXPECT_EQ(result.status, 0) << result.err;
    return json::parse(result.out, nullptr, false);
}

// The first element with this identifier, searched depth first through "children".
std::optional<json> element(const json& elements, const std::string& identifier) {
    for (const auto& item : elements) {
        if (item.value("identifier", json()) == identifier) return item;
        if (auto found = element(item["children"], identifier)) return found;
    }
    return std::nullopt;
}

std::optional<json> elementOf(const ServedDevice& served, const std::string& identifier) {
    const auto document = parsed(served.client({"accessibility", "--raw"}));
    if (!document.is_object()) return std::nullopt;
    return element(document["elements"], identifier);
}

std::pair<std::string, std::string> center(const json& item) {
    const auto& frame = item["frame"];
    auto text = [](double value) { return std::to_string(value); };
    return {text(frame["x"].get<double>() + frame["width"].get<double>() / 2),
            text(frame["y"].get<double>() + frame["height"].get<double>() / 2)};
}

std::string tapCount(const ServedDevice& served) {
    const auto count = elementOf(served, "tap-count");
    return count ? count->value("label", std::string("(no label)")) : "(no element)";
}

void tapButton(const ServedDevice& served) {
    const auto button = elementOf(served, "tap-button");
    ASSERT_TRUE(button);
    EXPECT_EQ((*button)["label"], "Tap me");
    const auto [x, y] = center(*button);
    const auto tapped = served.client({"tap", x, y});
    ASSERT_EQ(tapped.status, 0) << tapped.err;
}

TEST(Serve, AnswersEveryRequestOfTheClient) {
    SimulatorHome home;
    ServedDevice served(home, home.boot("Phone"));

    const auto hello = parsed(served.client({"hello"}));
    EXPECT_EQ(hello["wire"], 1);
    EXPECT_EQ(hello["version"], "2.0.1");
    EXPECT_TRUE(hello["hid"] == "dtuhid" || hello["hid"] == "indigo") << hello;
    EXPECT_EQ(hello["reasons"], json::array());
    EXPECT_EQ(hello["screen"]["width_px"], 1179);
    EXPECT_EQ(hello["screen"]["height_px"], 2556);
    EXPECT_EQ(parsed(served.client({"describe"})), hello["screen"]);

    // Full size, then limited in width and cropped.
    struct Shot {
        std::vector<std::string> flags;
        int width;
        int height;
    };
    for (const Shot& shot :
         {Shot{{}, 1179, 2556}, Shot{{"--max-width", "300", "--quality", "40"}, 300, 650},
          Shot{{"--crop", "0,0,100,50"}, 300, 150}}) {
        const auto file = home.file("shot.jpg");
        std::vector<std::string> arguments{"screenshot", file};
        arguments.insert(arguments.end(), shot.flags.begin(), shot.flags.end());
        const auto reply = parsed(served.client(arguments));
        const auto jpeg = readBytes(file);
        EXPECT_EQ(jpegSize(jpeg), std::make_pair(shot.width, shot.height));
        EXPECT_EQ(reply["width"], shot.width);
        EXPECT_EQ(reply["height"], shot.height);
        EXPECT_EQ(reply["bytes"], jpeg.size());
    }
    // The helper's refusal reaches the user with its status.
    const auto refused = served.client({"screenshot", home.file("bad.jpg"), "--quality", "0"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("quality must be 1 to 100 (status 400)"), std::string::npos)
        << refused.err;

    // Tapping "Tap me" counts in the element tree; typing fills the name field.
    EXPECT_EQ(tapCount(served), "Taps: 0");
    tapButton(served);
    waitUntil([&] { return tapCount(served) == "Taps: 1"; });
    EXPECT_EQ(tapCount(served), "Taps: 1");
    const auto field = elementOf(served, "name-field");
    ASSERT_TRUE(field);
    const auto [fx, fy] = center(*field);
    ASSERT_EQ(served.client({"tap", fx, fy}).status, 0);
    ASSERT_EQ(served.client({"type", "Hi 42"}).status, 0);
    waitUntil([&] { return elementOf(served, "name-field").value_or(json())["value"] == "Hi 42"; });
    EXPECT_EQ(elementOf(served, "name-field").value_or(json())["value"], "Hi 42");
}

TEST(Serve, StreamsDecodableAccessUnitsAndStopsWhenTheClientGoes) {
    SimulatorHome home;
    ServedDevice served(home, home.boot("Phone"));
    ASSERT_EQ(runProgram("tavrel-simctl", {"animate", served.udid(), "on"}).status, 0);
    std::vector<Bytes> units;
    {
        testing::TestClient client(served.socket());
        client.request(7,
                       R"({"op":"stream","fps":30,"scale":0.5,"key_frame_s":1,"bitrate":1000000})");
        // An animated screen at 30 fps: a loaded machine only makes them come later.
        while (units.size() < 10) {
            auto frame = client.readFrame(5s);
            ASSERT_TRUE(frame);
            ASSERT_EQ(frame->id, 7u);
            ASSERT_EQ(frame->kind, FrameKind::chunk)
                << std::string(frame->json.begin(), frame->json.end());
            EXPECT_TRUE(frame->json.empty());
            units.push_back(frame->blob);
        }
    }
    for (const auto& unit : units) EXPECT_TRUE(endsWithDelimiter(unit));
    const auto decoded = decodeAccessUnits(units);
    EXPECT_EQ(decoded.error, "");
    EXPECT_EQ(decoded.pictures, static_cast<int>(units.size()));
    EXPECT_EQ(decoded.width, 590);  // 589.5 rounded to the encoder's even size
    EXPECT_EQ(decoded.height, 1278);
    // The helper lives on after the client left mid-stream, and answers the next one.
    EXPECT_FALSE(served.process().wait(0ms));
    EXPECT_EQ(served.client({"describe"}).status, 0);

    const auto video = home.file("live.h264");
    const auto recorded = parsed(served.client({"stream", video, "--seconds", "1"}));
    EXPECT_GT(recorded["access_units"].get<int>(), 5);
    const auto probe = runProgram(
        "ffprobe", {"-v", "error", "-count_frames", "-select_streams", "v:0", "-show_entries",
                    "stream=codec_name,width,height,nb_read_frames", "-of", "json", video});
    ASSERT_EQ(probe.status, 0) << probe.err;
    const auto stream = json::parse(probe.out)["streams"][0];
    EXPECT_EQ(stream["codec_name"], "h264");
    EXPECT_EQ(stream["width"], 1180);  // H.264 4:2:0 pictures have even sides
    EXPECT_EQ(stream["height"], 2556);
    EXPECT_EQ(std::stoi(stream["nb_read_frames"].get<std::string>()),
              recorded["access_units"].get<int>());
}

TEST(Serve, DrivesInputThroughEitherTransportAndRefusesTheTreeWhenLocked) {
    SimulatorHome home;
    const auto udid = home.boot("Phone");
    int taps = 0;
    for (const std::string transport : {"dtuhid", "indigo"}) {
        SCOPED_TRACE(transport);
        ServedDevice served(home, udid, transport, transport + ".sock");
        EXPECT_EQ(parsed(served.client({"hello"}))["hid"], transport);
        tapButton(served);
        ++taps;
        const auto expected = "Taps: " + std::to_string(taps);
        waitUntil([&] { return tapCount(served) == expected; });
        EXPECT_EQ(tapCount(served), expected);
    }

    ServedDevice served(home, udid);
    ASSERT_EQ(served.client({"button", "lock"}).status, 0);
    ProgramResult locked;
    waitUntil([&] {
        locked = served.client({"accessibility"});
        return locked.status != 0;
    });
    EXPECT_EQ(locked.status, 1);
    EXPECT_NE(locked.err.find("(status 503)"), std::string::npos) << locked.err;
    // The next press unlocks, and the app's tree is back; a second press too soon would be a
    // double press (the Wallet card).
    std::this_thread::sleep_for(1s);
    ASSERT_EQ(served.client({"button", "lock"}).status, 0);
    waitUntil([&] { return elementOf(served, "tap-button").has_value(); });
    EXPECT_TRUE(elementOf(served, "tap-button"));
    // An unknown button is the helper's refusal, not the client's.
    const auto unknown = served.client({"button", "Home"});
    EXPECT_EQ(unknown.status, 1);
    EXPECT_NE(unknown.err.find("not a button: Home (status 400)"), std::string::npos)
        << unknown.err;
}

TEST(Serve, TwoHelpersServeTwoDevicesAtOnce) {
    SimulatorHome home;
    std::string pro, se;
    {
        std::thread other([&] { se = home.boot("Small", "iPhone-SE"); });
        pro = home.boot("Large");
        other.join();
    }
    ServedDevice first(home, pro, "auto", "first.sock");
    ServedDevice second(home, se, "auto", "second.sock");
    json firstScreen, secondScreen;
    {
        std::thread other([&] { secondScreen = parsed(second.client({"describe"})); });
        firstScreen = parsed(first.client({"describe"}));
        other.join();
    }
    EXPECT_EQ(firstScreen["width_px"], 1179);
    EXPECT_EQ(secondScreen["width_px"], 750);
    tapButton(second);
    waitUntil([&] { return tapCount(second) == "Taps: 1"; });
    EXPECT_EQ(tapCount(second), "Taps: 1");
    EXPECT_EQ(tapCount(first), "Taps: 0");
}

}  // namespace
}  // namespace tavrel::e2e
