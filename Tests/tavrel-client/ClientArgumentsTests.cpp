// The client's command line and the request documents it sends, read back with the helper's
// own request decoder so that the two cannot drift apart.

#include <gtest/gtest.h>

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperCore/Server/Requests.hpp"
#include "tavrel-client/ClientArguments.hpp"
#include "tavrel-client/ClientElements.hpp"
#include "tavrel-client/ClientRequests.hpp"
#include "tavrel-client/TwoFingers.hpp"

namespace tavrel::client {
namespace {

using Args = std::vector<std::string>;

ClientInvocation parse(Args arguments) {
    arguments.insert(arguments.begin(), {"--socket", "/tmp/s"});
    return ClientArguments::parse(arguments);
}

Request decoded(const std::string& json) {
    return Request::decode(
        std::span(reinterpret_cast<const std::uint8_t*>(json.data()), json.size()));
}

TEST(ClientArguments, ParsesEveryCommand) {
    struct Case {
        Args arguments;
        ClientCommand expected;
    };
    const std::vector<Case> cases = {
        {{"hello"}, HelloCommand{}},
        {{"describe"}, DescribeCommand{}},
        {{"screenshot", "a.jpg"}, ScreenshotCommand{"a.jpg", {}, {}, {}}},
        {{"screenshot", "a.jpg", "--max-width", "320", "--quality", "40", "--crop", "1,2.5,30,40"},
         ScreenshotCommand{"a.jpg", 320, 40, Crop{1, 2.5, 30, 40}}},
        {{"screenshot", "--quality", "90", "-"}, ScreenshotCommand{"-", {}, 90, {}}},
        {{"tap", "10", "-2.5"}, TapCommand{10, -2.5, "", {}}},
        {{"tap", "--element", "tap-button"}, TapCommand{0, 0, "tap-button", {}}},
        {{"element", "tap-count"}, ElementCommand{"tap-count"}},
        {{"swipe", "1", "2", "3", "4"}, SwipeCommand{1, 2, 3, 4, 0.3, {}}},
        {{"swipe", "1", "2", "3", "4", "--seconds", "0"}, SwipeCommand{1, 2, 3, 4, 0, {}}},
        {{"tap", "5", "6", "--log", "t.jsonl", "--since", "100.5"},
         TapCommand{5, 6, "", TouchLog{"t.jsonl", 100.5}}},
        {{"swipe", "1", "2", "3", "4", "--log", "t.jsonl"},
         SwipeCommand{1, 2, 3, 4, 0.3, TouchLog{"t.jsonl", 0}}},
        {{"record", "r.tvrf", "--seconds", "5", "--fps", "20", "--scale", "0.5"},
         RecordCommand{"r.tvrf", 5, 20, 0.5}},
        {{"replay", "last.mp4"}, ReplayCommand{"last.mp4", std::nullopt}},
        {{"replay", "--gif", "a/last.gif", "a/last.mp4"},
         ReplayCommand{"a/last.mp4", "a/last.gif"}},
        {{"button", "home"}, ButtonCommand{"home", 0}},
        {{"button", "siri", "--hold", "1.5"}, ButtonCommand{"siri", 1.5}},
        {{"key", "40"}, KeyCommand{40}},
        {{"type", "Hello 42"}, TypeCommand{"Hello 42"}},
        {{"accessibility"}, AccessibilityCommand{false}},
        {{"accessibility", "--raw"}, AccessibilityCommand{true}},
        {{"stream", "out.h264", "--seconds", "5"}, StreamCommand{"out.h264", 5}},
        {{"pinch", "100", "420", "--scale", "2"}, PinchCommand{100, 420, "", 2, 0.5, {}}},
        {{"pinch", "--element", "photo", "--scale", "0.5", "--seconds", "0", "--log", "t"},
         PinchCommand{0, 0, "photo", 0.5, 0, TouchLog{"t", 0}}},
        {{"rotate", "1", "2", "--degrees", "-90", "--seconds", "2"},
         RotateCommand{1, 2, "", -90, 2, {}}},
        {{"rotate", "--degrees", "45", "--element", "photo"},
         RotateCommand{0, 0, "photo", 45, 0.5, {}}},
        {{"stream", "o", "--seconds", "1", "--fps", "60", "--scale", "0.5", "--key-frame-s", "1",
          "--bitrate", "200000"},
         StreamCommand{"o", 1, 60, 0.5, 1, 200000}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.arguments));
        const auto invocation = parse(c.arguments);
        EXPECT_EQ(invocation.socket, "/tmp/s");
        EXPECT_EQ(invocation.command, c.expected);
    }
}

TEST(ClientArguments, RefusesWhatItCannotUse) {
    const std::vector<std::pair<Args, std::string>> cases = {
        {{}, "the helper is named with --socket PATH"},
        {{"--socket"}, "--socket needs a value"},
        {{"--socket", "/s"}, "no command"},
        {{"--socket", "/s", "--verbose", "1", "hello"}, "not a flag: --verbose"},
        {{"--socket", "/s", "--timeout", "0", "hello"}, "--timeout is more than 0, not 0"},
        {{"--socket", "/s", "shake"}, "not a command: shake"},
        {{"--socket", "/s", "hello", "extra"}, "hello takes no arguments"},
        {{"--socket", "/s", "screenshot"}, "screenshot takes one FILE"},
        {{"--socket", "/s", "screenshot", "a", "--quality"}, "--quality needs a value"},
        {{"--socket", "/s", "screenshot", "a", "--quality", "high"},
         "--quality is a whole number, not high"},
        {{"--socket", "/s", "screenshot", "a", "--crop", "1,2,3"},
         "--crop is X,Y,W,H in points, not 1,2,3"},
        {{"--socket", "/s", "screenshot", "a", "--crop", "1,2,,4"}, "--crop is a number, not "},
        {{"--socket", "/s", "screenshot", "a", "--hold", "1"}, "not a flag of screenshot: --hold"},
        {{"--socket", "/s", "tap", "1"}, "tap takes X Y or --element IDENTIFIER"},
        {{"--socket", "/s", "tap", "1", "2", "--element", "b"},
         "tap takes X Y or --element IDENTIFIER, not both"},
        {{"--socket", "/s", "element"}, "element takes one IDENTIFIER"},
        {{"--socket", "/s", "tap", "1", "nan"}, "Y is a number, not nan"},
        {{"--socket", "/s", "tap", "1", "2x"}, "Y is a number, not 2x"},
        {{"--socket", "/s", "tap", "1", "inf"}, "Y is a number, not inf"},
        {{"--socket", "/s", "swipe", "1", "2", "3", "4", "--seconds", "-1"},
         "--seconds is 0 to 60, not -1"},
        {{"--socket", "/s", "button", "home", "--hold", "61"}, "--hold is 0 to 60 seconds, not 61"},
        {{"--socket", "/s", "key", "4.5"}, "CODE is a whole number, not 4.5"},
        {{"--socket", "/s", "stream", "o"}, "stream needs --seconds"},
        {{"--socket", "/s", "record", "o"}, "record needs --seconds"},
        {{"--socket", "/s", "tap", "1", "2", "--since", "3"}, "--since goes with --log FILE"},
        {{"--socket", "/s", "pinch", "1", "2"}, "pinch needs --scale"},
        {{"--socket", "/s", "pinch", "1", "--scale", "2"},
         "pinch takes X Y or --element IDENTIFIER"},
        {{"--socket", "/s", "pinch", "1", "2", "--scale", "0"}, "--scale is 0.1 to 10, not 0"},
        {{"--socket", "/s", "pinch", "1", "2", "--scale", "11"}, "--scale is 0.1 to 10, not 11"},
        {{"--socket", "/s", "pinch", "1", "2", "--degrees", "3"}, "not a flag of pinch: --degrees"},
        {{"--socket", "/s", "rotate", "1", "2", "--degrees", "721"},
         "--degrees is -720 to 720, not 721"},
        {{"--socket", "/s", "rotate", "1", "2", "--degrees", "9", "--seconds", "61"},
         "--seconds is 0 to 60, not 61"},
        {{"--socket", "/s", "rotate", "1", "2", "--element", "p", "--degrees", "9"},
         "rotate takes X Y or --element IDENTIFIER, not both"},
        {{"--socket", "/s", "stream", "o", "--seconds", "0"}, "--seconds is more than 0, not 0"},
        {{"--socket", "/s", "stream", "o", "--seconds", "1", "--fps", "30.5"},
         "--fps is a whole number, not 30.5"},
        {{"--socket", "/s", "record"}, "record takes one FILE"},
        {{"--socket", "/s", "record", "o", "--seconds", "-2"}, "--seconds is more than 0, not -2"},
        {{"--socket", "/s", "record", "o", "--seconds", "1", "--scale", "half"},
         "--scale is a number, not half"},
        {{"--socket", "/s", "record", "o", "--seconds", "1", "--bitrate", "9"},
         "not a flag of record: --bitrate"},
        {{"--socket", "/s", "replay"}, "replay takes one FILE.mp4"},
        {{"--socket", "/s", "replay", "a.mp4", "b.mp4"}, "replay takes one FILE.mp4"},
        {{"--socket", "/s", "replay", "last.gif"}, "replay writes FILE.mp4, not last.gif"},
        {{"--socket", "/s", "replay", ".mp4"}, "replay writes FILE.mp4, not .mp4"},
        {{"--socket", "/s", "replay", "a.mp4", "--gif", "a.mp4"},
         "--gif names FILE.gif, not a.mp4"},
        {{"--socket", "/s", "replay", "a.mp4", "--seconds", "5"},
         "not a flag of replay: --seconds"},
        {{"--socket", "/s", "accessibility", "--raw", "x"}, "accessibility takes no arguments"},
        {{"--socket", "/s", "type", "a", "b"}, "type takes one TEXT (quote it when it has spaces)"},
        {{"--socket", "/s", "view", "--port", "70000"}, "--port is 0 to 65535, not 70000"},
    };
    for (const auto& [arguments, message] : cases) {
        SCOPED_TRACE(testing::PrintToString(arguments));
        try {
            ClientArguments::parse(arguments);
            ADD_FAILURE() << "accepted";
        } catch (const UsageError& error) {
            EXPECT_EQ(error.what(), message);
        }
    }
}

TEST(ClientArguments, PrintsEveryCommandInItsUsage) {
    EXPECT_EQ(
        std::string(ClientArguments::usage),
        "usage: tavrel-client --socket PATH [--timeout SECONDS] COMMAND ...\n"
        "commands:\n"
        "  hello\n"
        "  describe\n"
        "  screenshot FILE [--max-width N] [--quality Q] [--crop X,Y,W,H]\n"
        "  tap X Y | tap --element IDENTIFIER [--log FILE [--since T]]\n"
        "  swipe X1 Y1 X2 Y2 [--seconds S] [--log FILE [--since T]]\n"
        "  pinch (X Y | --element IDENTIFIER) --scale S [--seconds S] [--log FILE [--since T]]\n"
        "  rotate (X Y | --element IDENTIFIER) --degrees D [--seconds S] [--log FILE "
        "[--since T]]\n"
        "  button home|lock|side|siri|apple_pay [--hold S]\n"
        "  key CODE\n"
        "  type TEXT\n"
        "  accessibility [--raw | --compact]\n"
        "  element IDENTIFIER\n"
        "  stream FILE --seconds N [--fps N] [--scale S] [--key-frame-s S] [--bitrate N]\n"
        "  record FILE --seconds N [--fps N] [--scale S]   (and FILE.job.json to render it)\n"
        "  replay FILE.mp4 [--gif FILE.gif]   (the helper's last seconds, touches painted on)\n"
        "  view [--port N] [--bind ADDR] [--fps N] [--scale S]\n"
        "  mcp [--socket PATH]... [--udid UDID]...   (a Model Context Protocol server on "
        "stdio)\n"
        "points are the screen's points; FILE - writes to standard output");
}

TEST(ClientArguments, ParsesTheViewer) {
    const auto defaults = std::get<ViewCommand>(parse({"view"}).command);
    EXPECT_EQ(defaults, ViewCommand{});
    EXPECT_EQ(defaults.bind, "127.0.0.1");
    const auto given = std::get<ViewCommand>(
        parse({"view", "--port", "8500", "--bind", "0.0.0.0", "--fps", "60", "--scale", "1"})
            .command);
    EXPECT_EQ(given.port, 8500);
    EXPECT_EQ(given.bind, "0.0.0.0");
    EXPECT_EQ(given.fps, 60);
    EXPECT_EQ(given.scale, 1);
    for (const Args& refused : {Args{"view", "--port", "65536"}, Args{"view", "--port", "-1"},
                                Args{"view", "extra"}, Args{"view", "--token", "t"}}) {
        EXPECT_THROW(parse(refused), UsageError) << refused.back();
    }
}

TEST(ClientRequests, DocumentsDecodeAsTheHelperReadsThem) {
    EXPECT_EQ(decoded(ClientRequests::hello()), Request::hello());
    EXPECT_EQ(decoded(ClientRequests::describe()), Request::describe());
    EXPECT_EQ(decoded(ClientRequests::accessibility()), Request::accessibility());
    EXPECT_EQ(decoded(ClientRequests::screenshot({"f", {}, {}, {}})),
              Request::screenshot(ScreenshotRequest{}));
    EXPECT_EQ(decoded(ClientRequests::screenshot({"f", 200, 30, Crop{1, 2, 3, 4}})),
              Request::screenshot(ScreenshotRequest{200, 30, Crop{1, 2, 3, 4}}));
    EXPECT_EQ(decoded(ClientRequests::stream({"f", 5, 60, 0.5, 1.5, 300000})),
              Request::stream(StreamSettings{60, 0.5, 1.5, 300000}));
    const auto tap = ClientRequests::tap(12.5, 700);
    EXPECT_EQ(decoded(ClientRequests::hid(tap)), Request::hid(tap));
    ASSERT_EQ(tap.size(), 2u);
    EXPECT_EQ(tap[0].phase, HIDEvent::Phase::down);
    EXPECT_EQ(tap[1].phase, HIDEvent::Phase::up);
    EXPECT_EQ(tap[1].x, 12.5);
    EXPECT_EQ(tap[1].y, 700);
}

// Each key as (code, down); shift is 225.
std::vector<std::pair<std::int64_t, bool>> keys(const std::vector<HIDEvent>& events) {
    std::vector<std::pair<std::int64_t, bool>> result;
    for (const auto& event : events) {
        EXPECT_EQ(event.kind, HIDEvent::Kind::key);
        result.emplace_back(event.code, event.phase == HIDEvent::Phase::down);
    }
    return result;
}

TEST(ClientRequests, TypesLettersDigitsAndSpaces) {
    using Keys = std::vector<std::pair<std::int64_t, bool>>;
    EXPECT_EQ(keys(ClientRequests::type("az")),
              (Keys{{4, true}, {4, false}, {29, true}, {29, false}}));
    EXPECT_EQ(keys(ClientRequests::type("Z 0")), (Keys{{225, true},
                                                       {29, true},
                                                       {29, false},
                                                       {225, false},
                                                       {44, true},
                                                       {44, false},
                                                       {39, true},
                                                       {39, false}}));
    EXPECT_EQ(keys(ClientRequests::type("19")),
              (Keys{{30, true}, {30, false}, {38, true}, {38, false}}));
    EXPECT_TRUE(ClientRequests::type("").empty());
    for (const std::string refused : {"a-b", "é", "tab\there"}) {
        SCOPED_TRACE(refused);
        EXPECT_THROW(ClientRequests::type(refused), UsageError);
    }
}

TEST(ClientRequests, SwipesAlongAStraightLineInTime) {
    const auto points = ClientRequests::swipe(SwipeCommand{0, 100, 60, 40, 0.5, {}});
    ASSERT_EQ(points.size(), 31u);  // every 1/60 s, both ends included
    EXPECT_EQ(points.front().x, 0);
    EXPECT_EQ(points.front().y, 100);
    EXPECT_EQ(points.front().atS, 0);
    EXPECT_DOUBLE_EQ(points[15].x, 30);
    EXPECT_DOUBLE_EQ(points[15].y, 70);
    EXPECT_EQ(points.back().x, 60);
    EXPECT_EQ(points.back().y, 40);
    EXPECT_DOUBLE_EQ(points.back().atS, 0.5);
    // An instant swipe still goes down at one end and lifts at the other.
    const auto instant = ClientRequests::swipe(SwipeCommand{1, 2, 3, 4, 0, {}});
    ASSERT_EQ(instant.size(), 2u);
    EXPECT_EQ(instant.back().x, 3);
}

TEST(TwoFingers, SpreadAndTurnAboutTheCentreInTime) {
    using Moment = TwoFingers::Moment;
    const auto pinch = TwoFingers::path(200, 400, 2, 0, 0.5);
    ASSERT_EQ(pinch.size(), 31u);  // every 1/60 s, both ends included
    EXPECT_EQ(pinch.front(), (Moment{150, 400, 250, 400, 0}));
    EXPECT_EQ(pinch[15], (Moment{125, 400, 275, 400, 0.25}));
    EXPECT_EQ(pinch.back(), (Moment{100, 400, 300, 400, 0.5}));
    // A quarter turn clockwise on the screen (y grows downwards): finger 1 ends below.
    const auto turn = TwoFingers::path(200, 400, 1, 90, 0);
    ASSERT_EQ(turn.size(), 2u);
    EXPECT_NEAR(turn.back().x0, 200, 1e-9);
    EXPECT_NEAR(turn.back().y0, 350, 1e-9);
    EXPECT_NEAR(turn.back().x1, 200, 1e-9);
    EXPECT_NEAR(turn.back().y1, 450, 1e-9);
    // Each moment is one event per finger, and the helper reads the second as finger 1.
    const auto events = TwoFingers::events(pinch.back(), HIDEvent::Phase::up);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(decoded(ClientRequests::hid(events)), Request::hid(events));
    EXPECT_EQ(events[0].finger, 0);
    EXPECT_EQ(events[1].finger, 1);
    EXPECT_EQ(events[1].x, 300);
    // What a one-finger command sends stays as it was, byte for byte.
    EXPECT_EQ(ClientRequests::hid(ClientRequests::tap(196.5, 129)),
              R"({"events":[{"button":"","code":0,"kind":"touch","phase":"down","x":196.5,)"
              R"("y":129.0},{"button":"","code":0,"kind":"touch","phase":"up","x":196.5,)"
              R"("y":129.0}],"op":"hid"})");
}

TEST(ClientElements, FindsNestedElementsAndTheirCentres) {
    const auto document = nlohmann::json::parse(R"({"elements":[
        {"identifier":null,"label":"Demo","children":[
            {"identifier":"tap-button","frame":{"x":10,"y":20,"width":100,"height":40},"children":[]},
            {"identifier":"tap-count","frame":{"x":0,"y":0,"width":1,"height":1},"children":[]}]},
        {"identifier":"tap-count","frame":{"x":5,"y":5,"width":2,"height":2},"children":[]}]})");
    const auto button = ClientElements::find(document, "tap-button");
    ASSERT_TRUE(button);
    EXPECT_EQ(ClientElements::center(*button), std::make_pair(60.0, 40.0));
    // Depth first: the nested one comes before the later top-level one.
    EXPECT_EQ((*ClientElements::find(document, "tap-count"))["frame"]["x"], 0);
    EXPECT_FALSE(ClientElements::find(document, "Demo"));
    EXPECT_FALSE(ClientElements::find(nlohmann::json::parse("[]"), "tap-button"));
    EXPECT_THROW(ClientElements::center(nlohmann::json::parse(R"({"frame":{"x":1}})")),
                 HelperFailure);
}

}  // namespace
}  // namespace tavrel::client
