// Two fingers end to end: tavrel-client pinching and rotating the simulated iPhone's map through
// tavrel-helper, read back from the element tree; and the bytes of a one-finger host, unchanged.

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <thread>

#include "Support/SimulatorHome.hpp"
#include "Support/TestClient.hpp"

namespace tavrel::e2e {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

std::optional<json> element(const json& elements, const std::string& identifier) {
    for (const auto& item : elements) {
        if (item.value("identifier", json()) == identifier) return item;
        if (auto found = element(item["children"], identifier)) return found;
    }
    return std::nullopt;
}

std::optional<json> elementOf(const ServedDevice& served, const std::string& identifier) {
    const auto result = served.client({"accessibility", "--raw"});
    const auto document = json::parse(result.out, nullptr, false);
    if (result.status != 0 || !document.is_object()) return std::nullopt;
    return element(document["elements"], identifier);
}

std::string labelOf(const ServedDevice& served, const std::string& identifier) {
    const auto found = elementOf(served, identifier);
    return found ? found->value("label", std::string("(no label)")) : "(no element)";
}

// The number in a label such as "Zoom: 2.3x" or "Angle: -45°"; NaN when there is none.
double numberIn(const std::string& label) {
    const auto colon = label.find(": ");
    if (colon == std::string::npos) return NAN;
    try {
        return std::stod(label.substr(colon + 2));
    } catch (const std::exception&) {
        return NAN;
    }
}

// Polls until `condition` holds; generous, for two loaded cores.
bool waitFor(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

double zoom(const ServedDevice& served) {
    return numberIn(labelOf(served, "zoom-label"));
}
double angle(const ServedDevice& served) {
    return numberIn(labelOf(served, "angle-label"));
}

TEST(TwoFingers, TheClientPinchesAndRotatesTheMap) {
    SimulatorHome home;
    ServedDevice served(home, home.boot("Phone"));
    ASSERT_EQ(labelOf(served, "zoom-label"), "Zoom: 1.0x");
    ASSERT_EQ(labelOf(served, "angle-label"), "Angle: 0°");

    const auto pinched = served.client({"pinch", "--element", "photo", "--scale", "2"});
    ASSERT_EQ(pinched.status, 0) << pinched.err;
    // The reply comes once the last report went in; the tree may show it a moment later.
    EXPECT_TRUE(waitFor([&] { return std::abs(zoom(served) - 2) <= 0.2; }))
        << labelOf(served, "zoom-label");
    EXPECT_EQ(labelOf(served, "angle-label"), "Angle: 0°");

    const auto photo = elementOf(served, "photo");
    ASSERT_TRUE(photo);
    const auto& frame = (*photo)["frame"];
    const auto x = std::to_string(frame["x"].get<double>() + frame["width"].get<double>() / 2);
    const auto y = std::to_string(frame["y"].get<double>() + frame["height"].get<double>() / 2);
    const auto rotated = served.client({"rotate", x, y, "--degrees", "45", "--seconds", "0.3"});
    ASSERT_EQ(rotated.status, 0) << rotated.err;
    EXPECT_TRUE(waitFor([&] { return std::abs(angle(served) - 45) <= 5; }))
        << labelOf(served, "angle-label");
    EXPECT_TRUE(std::abs(zoom(served) - 2) <= 0.2) << labelOf(served, "zoom-label");

    // One finger still scrolls the list after two fingers were down.
    const auto rowOne = elementOf(served, "row-1");
    ASSERT_TRUE(rowOne);
    const double top = (*rowOne)["frame"]["y"].get<double>();
    const auto swiped =
        served.client({"swipe", "196", "780", "196", std::to_string(top + 10), "--seconds", "0.3"});
    ASSERT_EQ(swiped.status, 0) << swiped.err;
    EXPECT_TRUE(waitFor([&] {
        const auto row = elementOf(served, "row-1");
        return !row || (*row)["frame"]["y"].get<double>() < top - 100;
    })) << elementOf(served, "row-1").value_or(json()).dump();
    // Nor did any of it tap anything.
    EXPECT_EQ(labelOf(served, "tap-count"), "Taps: 0");
}

TEST(TwoFingers, TheLogHoldsBothFingersPaths) {
    SimulatorHome home;
    const auto udid = home.boot("Phone");
    const auto log = home.file("touches.jsonl");
    {
        ServedDevice served(home, udid, "dtuhid", "dtuhid.sock");
        ASSERT_EQ(served
                      .client({"pinch", "--element", "photo", "--scale", "0.5", "--seconds", "0",
                               "--log", log})
                      .status,
                  0);
        ASSERT_EQ(served.client({"rotate", "100", "420", "--degrees", "-90", "--log", log}).status,
                  0);
    }
    std::ifstream lines(log);
    std::vector<json> touches;
    for (std::string line; std::getline(lines, line);) touches.push_back(json::parse(line));
    ASSERT_EQ(touches.size(), 2u);
    EXPECT_EQ(touches[0]["kind"], "pinch");
    EXPECT_EQ(touches[1]["kind"], "rotate");
    for (const auto& touch : touches) {
        ASSERT_TRUE(touch["points"].is_array()) << touch;
        ASSERT_TRUE(touch["points_two"].is_array()) << touch;
        EXPECT_GE(touch["points"].size(), 2u);
        EXPECT_EQ(touch["points"].size(), touch["points_two"].size());
    }
    // A pinch to half: both fingers end nearer the middle than they began, on either side of it.
    const auto& pinch = touches[0];
    const double startApart =
        pinch["points_two"][0][0].get<double>() - pinch["points"][0][0].get<double>();
    const double endApart =
        pinch["points_two"][1][0].get<double>() - pinch["points"][1][0].get<double>();
    EXPECT_NEAR(endApart / startApart, 0.5, 1e-6);
    // A quarter turn anticlockwise: finger 1 starts right of the centre and ends above it.
    const auto& turn = touches[1];
    const auto& last = turn["points_two"].back();
    EXPECT_NEAR(last[0].get<double>(), 100.0 / 393, 1e-6);
    EXPECT_NEAR(last[1].get<double>(), (420.0 - 50) / 852, 1e-6);
}

TEST(TwoFingers, AOneFingerHostSendsAndReadsTheSameBytes) {
    SimulatorHome home;
    ServedDevice served(home, home.boot("Phone"));
    testing::TestClient client(served.socket());
    // A tap on "Tap me" (196.5, 129) as a one-finger host has always sent it: length 0xb0,
    // kind 1, id 7, JSON length 0xa7, then the document.
    const std::string document =
        R"({"events":[{"button":"","code":0,"kind":"touch","phase":"down","x":196.5,"y":129.0},)"
        R"({"button":"","code":0,"kind":"touch","phase":"up","x":196.5,"y":129.0}],"op":"hid"})";
    Bytes request{0x00, 0x00, 0x00, 0xb0, 0x01, 0x00, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00, 0xa7};
    request.insert(request.end(), document.begin(), document.end());
    client.sendRaw(request);
    const auto reply = client.readFrame(30s);
    ASSERT_TRUE(reply);
    // The reply "{}": length 11, kind 2, id 7, JSON length 2.
    EXPECT_EQ(Wire::encode(*reply), (Bytes{0x00, 0x00, 0x00, 0x0b, 0x02, 0x00, 0x00, 0x00, 0x07,
                                           0x00, 0x00, 0x00, 0x02, '{', '}'}));
    EXPECT_TRUE(waitFor([&] { return labelOf(served, "tap-count") == "Taps: 1"; }))
        << labelOf(served, "tap-count");
}

}  // namespace
}  // namespace tavrel::e2e
