#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <string>
#include <variant>

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperCore/Base/JSON.hpp"
#include "HelperCore/Server/Requests.hpp"

namespace tavrel {
namespace {

constexpr std::int64_t noLimit = std::numeric_limits<std::int64_t>::max();

// What decoding gives: the request, or the failure's message and status.
std::variant<Request, HelperFailure> decoded(std::string_view text) {
    try {
        return Request::decode(bytesOf(text));
    } catch (const HelperFailure& failure) {
        return failure;
    }
}

HIDEvent touch(HIDEvent::Phase phase, double x, double y) {
    HIDEvent event;
    event.kind = HIDEvent::Kind::touch;
    event.phase = phase;
    event.x = x;
    event.y = y;
    return event;
}

TEST(RequestDecode, ReadsEveryKindWithItsDefaults) {
    struct Case {
        const char* document;
        Request expected;
        bool inOrder;
    };
    const Case cases[] = {
        {R"({"op":"hello"})", Request::hello(), true},
        {R"({"op":"describe"})", Request::describe(), false},
        {R"({"op":"accessibility","quality":1})", Request::accessibility(), false},
        {R"({"op":"replay"})", Request::replay(), true},
        {R"({"op":"touches"})", Request::touches(std::nullopt), false},
        {R"({"op":"touches","since":null})", Request::touches(std::nullopt), false},
        {R"({"op":"touches","since":1765324800.25})", Request::touches(1765324800.25), false},
        {R"({"op":"touches","since":0})", Request::touches(0), false},
        {R"({"op":"hello","unknown":[1,{"x":null}]})", Request::hello(), true},
        {R"({"op":"screenshot"})", Request::screenshot({noLimit, 75, std::nullopt}), false},
        {R"({"op":"screenshot","max_width":null,"quality":null,"crop":null})",
         Request::screenshot({noLimit, 75, std::nullopt}), false},
        // Ranges are judged when the screenshot is planned, not here.
        {R"({"op":"screenshot","quality":0,"max_width":-3})",
         Request::screenshot({-3, 0, std::nullopt}), false},
        {R"({"op":"screenshot","max_width":320.0,"quality":90,)"
         R"("crop":{"x":1,"y":2.5,"width":100,"height":50}})",
         Request::screenshot({320, 90, Crop{1, 2.5, 100, 50}}), false},
        {R"({"op":"hid"})", Request::hid({}), true},
        {R"({"op":"hid","events":[]})", Request::hid({}), true},
        {R"({"op":"hid","quality":5,"events":[)"
         R"({"kind":"touch","phase":"down","x":10,"y":20},)"
         R"({"kind":"touch","phase":"up","x":10.5,"y":20}]})",
         Request::hid({touch(HIDEvent::Phase::down, 10, 20), touch(HIDEvent::Phase::up, 10.5, 20)}),
         true},
        {R"({"op":"stream","fps":0,"scale":0.5,"key_frame_s":2,"bitrate":-1})",
         Request::stream(StreamSettings{0, 0.5, 2, -1}), false},
        {R"({"op":"stream","fps":30,"scale":1,"key_frame_s":0.25,"bitrate":9223372036854775807})",
         Request::stream(StreamSettings{30, 1, 0.25, noLimit}), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.document);
        const auto result = decoded(c.document);
        if (const auto* failure = std::get_if<HelperFailure>(&result)) {
            ADD_FAILURE() << "refused: " << failure->message();
            continue;
        }
        const auto& request = std::get<Request>(result);
        EXPECT_EQ(request, c.expected);
        EXPECT_EQ(request.inOrder(), c.inOrder);
    }
}

TEST(RequestDecode, RefusesWithTheMessageOfTheFirstProblem) {
    const std::string unreadable = "a request that is not one: ";
    struct Case {
        const char* document;
        std::string message;  // exact, or a prefix when it ends with ": "
    };
    const Case cases[] = {
        {"{}", "not a request this helper knows: none"},
        {R"({"op":null})", "not a request this helper knows: none"},
        {R"({"op":"Hello"})", "not a request this helper knows: Hello"},
        {R"({"op":"hello "})", "not a request this helper knows: hello "},
        {R"({"op":""})", "not a request this helper knows: "},
        {R"({"op":"stream","fps":30,"scale":1,"key_frame_s":2})",
         "a stream needs fps, scale, key_frame_s and bitrate"},
        {R"({"op":"stream","fps":30,"scale":1,"key_frame_s":2,"bitrate":null})",
         "a stream needs fps, scale, key_frame_s and bitrate"},
        {R"({"op":"stream"})", "a stream needs fps, scale, key_frame_s and bitrate"},
        // Reading comes first: a malformed member beats both later checks.
        {R"({"op":"stream","scale":"1"})", unreadable},
        {R"({"op":"dance","fps":1.5})", unreadable},
        {R"({"op":"screenshot","quality":"high"})", unreadable},
        {R"({"op":"touches","since":"yesterday"})", unreadable},
        {R"({"op":"Replay"})", "not a request this helper knows: Replay"},
        // Every member is read whatever the op: a hid request never uses "quality".
        {R"({"op":"hid","quality":"high"})", unreadable},
        {R"({"op":"hello","max_width":9223372036854775808})", unreadable},
        {R"({"op":"screenshot","crop":{"x":1,"y":2,"width":3}})", unreadable},
        {R"({"op":"screenshot","crop":[1,2,3,4]})", unreadable},
        {R"({"op":"hid","events":{"kind":"touch"}})", unreadable},
        {R"({"op":"hid","events":[{"kind":"swipe","phase":"down"}]})", unreadable},
        {R"({"op":"hid","events":[{"kind":"touch"}]})", unreadable},
        {R"({"op":5})", unreadable},
        {R"(["op","hello"])", unreadable},
        {"null", unreadable},
        {"", unreadable},
        {"not json", unreadable},
        {R"({"op":"hello"} trailing)", unreadable},
        {"{\"op\":\"hel\xFFlo\"}", unreadable},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.document);
        const auto result = decoded(c.document);
        const auto* failure = std::get_if<HelperFailure>(&result);
        ASSERT_NE(failure, nullptr);
        EXPECT_EQ(failure->status(), 400);
        if (c.message == unreadable) {
            EXPECT_EQ(failure->message().rfind(unreadable, 0), 0u) << failure->message();
            // The reading library says what went wrong after the prefix.
            EXPECT_GT(failure->message().size(), unreadable.size() + 10) << failure->message();
        } else {
            EXPECT_EQ(failure->message(), c.message);
        }
    }
}

TEST(RequestDecode, NamesTheMemberAtFaultInAnUnreadableDocument) {
    const auto result = decoded(R"({"op":"screenshot","quality":"high"})");
    const auto& failure = std::get<HelperFailure>(result);
    EXPECT_NE(failure.message().find("\"quality\""), std::string::npos) << failure.message();
    EXPECT_NE(failure.message().find("string"), std::string::npos) << failure.message();
}

TEST(RequestDecode, GivesTheOpOfEachKind) {
    EXPECT_EQ(Request::screenshot({}).op(), "screenshot");
    EXPECT_EQ(Request::hid({}).op(), "hid");
    EXPECT_EQ(Request::stream({}).op(), "stream");
    EXPECT_EQ(Request::hello().op(), "hello");
    EXPECT_EQ(Request::describe().op(), "describe");
    EXPECT_EQ(Request::accessibility().op(), "accessibility");
    EXPECT_EQ(Request::accessibility().asScreenshot(), nullptr);
    EXPECT_EQ(Request::hid({}).asStream(), nullptr);
}

Hello withReplay(Hello hello, std::int64_t seconds) {
    hello.replaySeconds = seconds;
    return hello;
}

TEST(HelloDocument, IsWrittenByteForByte) {
    const ScreenGeometry screen{1179, 2556, 393, 852, 3.0};
    struct Case {
        Hello hello;
        std::string expected;
    };
    const Case cases[] = {
        {Hello("1165.1", "digitizer", {}, screen, "simulator"),
         R"({"core_simulator":"1165.1","hid":"digitizer","reasons":[],)"
         R"("screen":{"height_pt":852,"height_px":2556,"scale":3.0,"width_pt":393,"width_px":1179},)"
         R"("source":"simulator","version":"2.0.1","wire":1})"},
        {Hello(std::nullopt, std::nullopt, {"touches need a simulator / not a cable"}, screen,
               std::nullopt),
         R"({"core_simulator":null,"hid":null,"reasons":["touches need a simulator / not a cable"],)"
         R"("screen":{"height_pt":852,"height_px":2556,"scale":3.0,"width_pt":393,"width_px":1179},)"
         R"("source":null,"version":"2.0.1","wire":1})"},
        {withReplay(Hello("1165.1", "digitizer", {}, screen, "simulator"), 30),
         R"({"core_simulator":"1165.1","hid":"digitizer","reasons":[],"replay_seconds":30,)"
         R"("screen":{"height_pt":852,"height_px":2556,"scale":3.0,"width_pt":393,"width_px":1179},)"
         R"("source":"simulator","version":"2.0.1","wire":1})"},
    };
    for (const auto& c : cases) EXPECT_EQ(JSON::encode(c.hello), c.expected);
}

TEST(ImageSizeDocument, WritesHeightThenWidth) {
    EXPECT_EQ(JSON::encode(ImageSize{590, 1278}), R"({"height":1278,"width":590})");
}

}  // namespace
}  // namespace tavrel
