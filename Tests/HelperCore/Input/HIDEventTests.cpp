#include "HelperCore/Input/HIDEvent.hpp"

#include <gtest/gtest.h>

#include "HelperCore/Base/JSON.hpp"
#include "HelperCore/Base/JSONMembers.hpp"

namespace tavrel {
namespace {

using json = nlohmann::json;

HIDEvent decoded(const char* text) {
    return json::parse(text).get<HIDEvent>();
}

HIDEvent event(HIDEvent::Kind kind, HIDEvent::Phase phase, double x = 0, double y = 0,
               std::string button = "", std::int64_t code = 0) {
    return HIDEvent{kind, phase, x, y, std::move(button), code};
}

TEST(HIDEvent, DecodesWithDefaultsForAbsentOrNullMembers) {
    struct Case {
        const char* text;
        HIDEvent expected;
    };
    const Case cases[] = {
        {R"({"kind":"touch","phase":"down"})", event(HIDEvent::Kind::touch, HIDEvent::Phase::down)},
        {R"({"kind":"touch","phase":"up","x":null,"y":null,"button":null,"code":null})",
         event(HIDEvent::Kind::touch, HIDEvent::Phase::up)},
        {R"({"kind":"button","phase":"up","button":"home","other":[1,2]})",
         {HIDEvent::Kind::button, HIDEvent::Phase::up, 0, 0, "home", 0}},
        {R"({"kind":"key","phase":"down","code":4,"x":1.5,"y":-2})",
         {HIDEvent::Kind::key, HIDEvent::Phase::down, 1.5, -2, "", 4}},
        {R"({"code":-1,"kind":"key","phase":"up"})",
         {HIDEvent::Kind::key, HIDEvent::Phase::up, 0, 0, "", -1}},
        // An integral number written with a fraction is still that integer.
        {R"({"kind":"key","phase":"up","code":40.0})",
         {HIDEvent::Kind::key, HIDEvent::Phase::up, 0, 0, "", 40}},
        {R"({"kind":"touch","phase":"down","x":195,"y":422.25})",
         {HIDEvent::Kind::touch, HIDEvent::Phase::down, 195, 422.25, "", 0}},
        {R"({"kind":"touch","phase":"down","finger":1})",
         {HIDEvent::Kind::touch, HIDEvent::Phase::down, 0, 0, "", 0, 1}},
        {R"({"kind":"touch","phase":"up","finger":1.0,"x":3})",
         {HIDEvent::Kind::touch, HIDEvent::Phase::up, 3, 0, "", 0, 1}},
        {R"({"kind":"touch","phase":"up","finger":0})",
         event(HIDEvent::Kind::touch, HIDEvent::Phase::up)},
        {R"({"kind":"touch","phase":"up","finger":null})",
         event(HIDEvent::Kind::touch, HIDEvent::Phase::up)},
    };
    for (const Case& c : cases) EXPECT_EQ(decoded(c.text), c.expected) << c.text;
}

TEST(HIDEvent, RefusesUnreadableEventsWithTheLibrarysDescription) {
    struct Case {
        const char* text;
        const char* mentions;
    };
    const Case cases[] = {
        {R"({"phase":"down"})", "'kind'"},
        {R"({"kind":"touch"})", "'phase'"},
        {R"({"kind":null,"phase":"down"})", "'kind'"},
        {R"({"kind":"Touch","phase":"down"})", "\"Touch\""},
        {R"({"kind":"move","phase":"down"})", "\"move\""},
        {R"({"kind":"touch","phase":"moved"})", "\"moved\""},
        {R"({"kind":1,"phase":"down"})", "\"kind\""},
        {R"({"kind":"touch","phase":"down","x":"1"})", "\"x\""},
        {R"({"kind":"touch","phase":"down","y":true})", "\"y\""},
        {R"({"kind":"button","phase":"down","button":7})", "\"button\""},
        {R"({"kind":"key","phase":"down","code":"4"})", "\"code\""},
        {R"({"kind":"key","phase":"down","code":4.5})", "\"code\""},
        {R"({"kind":"key","phase":"down","code":18446744073709551615})", "\"code\""},
        {R"({"kind":"key","phase":"down","code":1e300})", "\"code\""},
        {R"({"kind":"touch","phase":"down","finger":"1"})", "\"finger\""},
        {R"({"kind":"touch","phase":"down","finger":true})", "\"finger\""},
        {R"({"kind":"touch","phase":"down","finger":0.5})", "\"finger\""},
        {R"({"kind":"touch","phase":"down","finger":2})",
         "\"finger\" of a HID event is 0 or 1, not 2"},
        {R"({"kind":"touch","phase":"down","finger":-1})", "is 0 or 1, not -1"},
        {R"({"kind":"button","phase":"down","button":"home","finger":7})", "is 0 or 1, not 7"},
        {R"(["touch","down"])", "object"},
        {R"("touch")", "object"},
    };
    for (const Case& c : cases) {
        try {
            decoded(c.text);
            ADD_FAILURE() << "decoded " << c.text;
        } catch (const JSONMemberError& error) {
            EXPECT_NE(std::string(error.what()).find(c.mentions), std::string::npos)
                << c.text << " gave " << error.what();
        }
    }
}

TEST(HIDEvent, EncodesAllSixMembersWhateverTheKind) {
    EXPECT_EQ(JSON::encode(decoded(R"({"kind":"touch","phase":"down"})")),
              R"({"button":"","code":0,"kind":"touch","phase":"down","x":0.0,"y":0.0})");
    EXPECT_EQ(JSON::encode(HIDEvent{HIDEvent::Kind::key, HIDEvent::Phase::up, 0, 0, "", 65535}),
              R"({"button":"","code":65535,"kind":"key","phase":"up","x":0.0,"y":0.0})");
    EXPECT_EQ(JSON::encode(event(HIDEvent::Kind::button, HIDEvent::Phase::down, 1.5, 2, "a/b")),
              R"({"button":"a/b","code":0,"kind":"button","phase":"down","x":1.5,"y":2.0})");
}

TEST(HIDEvent, WritesTheFingerOnlyForTheSecond) {
    // What a one-finger host sends and reads today, byte for byte.
    const std::vector<HIDEvent> tap{
        {HIDEvent::Kind::touch, HIDEvent::Phase::down, 195, 422, "", 0},
        {HIDEvent::Kind::touch, HIDEvent::Phase::up, 195, 422, "", 0},
    };
    EXPECT_EQ(JSON::encode(json{{"op", "hid"}, {"events", tap}}),
              R"({"events":[{"button":"","code":0,"kind":"touch","phase":"down","x":195.0,)"
              R"("y":422.0},{"button":"","code":0,"kind":"touch","phase":"up","x":195.0,)"
              R"("y":422.0}],"op":"hid"})");
    EXPECT_EQ(
        JSON::encode(HIDEvent{HIDEvent::Kind::touch, HIDEvent::Phase::down, 10, 20, "", 0, 1}),
        R"({"button":"","code":0,"finger":1,"kind":"touch","phase":"down","x":10.0,"y":20.0})");
}

TEST(HIDEvent, RoundTripsThroughJSON) {
    const HIDEvent events[] = {
        {HIDEvent::Kind::touch, HIDEvent::Phase::down, 0.125, 844, "", 0},
        {HIDEvent::Kind::touch, HIDEvent::Phase::up, 1, 2, "", 0, 1},
        {HIDEvent::Kind::button, HIDEvent::Phase::up, 0, 0, "apple_pay", 0},
        {HIDEvent::Kind::key, HIDEvent::Phase::down, -3, 7, "x", -9'000'000'000},
    };
    for (const HIDEvent& event : events)
        EXPECT_EQ(json::parse(JSON::encode(event)).get<HIDEvent>(), event);
}

TEST(HIDUsage, ConsumerPageConstants) {
    EXPECT_EQ(HIDUsage::power, (HIDUsage{0x0C, 0x30}));
    EXPECT_EQ(HIDUsage::menu, (HIDUsage{0x0C, 0x40}));
    EXPECT_EQ(HIDUsage::voiceCommand, (HIDUsage{0x0C, 0xCF}));
    EXPECT_NE(HIDUsage::menu, (HIDUsage{0x07, 0x40}));
}

TEST(DigitizerPhase, RawValues) {
    EXPECT_EQ(digitizerPhase(0), DigitizerPhase::start);
    EXPECT_EQ(digitizerPhase(1), DigitizerPhase::position);
    EXPECT_EQ(digitizerPhase(2), DigitizerPhase::end);
    EXPECT_EQ(digitizerPhase(3), std::nullopt);
    EXPECT_EQ(digitizerPhase(UINT64_MAX), std::nullopt);
    EXPECT_EQ(rawValue(DigitizerPhase::end), 2u);
}

TEST(HIDStep, ComparesCaseAndPayload) {
    EXPECT_EQ(HIDStep::touch(DigitizerPhase::start, 0.5, 0.25),
              HIDStep::touch(DigitizerPhase::start, 0.5, 0.25));
    EXPECT_NE(HIDStep::touch(DigitizerPhase::start, 0.5, 0.25),
              HIDStep::touch(DigitizerPhase::position, 0.5, 0.25));
    EXPECT_NE(HIDStep::button(HIDUsage::power, true), HIDStep::button(HIDUsage::power, false));
    // Same numbers, different case.
    EXPECT_NE(HIDStep::key(0x30, true), HIDStep::button(HIDUsage{0, 0x30}, true));
    EXPECT_EQ(HIDStep::touch(DigitizerPhase::end, 1, 0).description(), "touch(end, 1, 0)");
    EXPECT_EQ(HIDStep::button(HIDUsage::menu, true).description(), "button(12:64, down)");
    EXPECT_EQ(HIDStep::key(4, false).description(), "key(4, up)");
    const HIDStep::Contact resting{DigitizerPhase::position, 0.5, 0.5};
    const HIDStep::Contact landing{DigitizerPhase::start, 0.25, 0.75};
    EXPECT_NE(HIDStep::touch(resting, landing), HIDStep::touch(resting, std::nullopt));
    EXPECT_NE(HIDStep::touch(resting, std::nullopt), HIDStep::touch(std::nullopt, resting));
    EXPECT_EQ(HIDStep::touch(resting, std::nullopt),
              HIDStep::touch(DigitizerPhase::position, 0.5, 0.5));
    EXPECT_EQ(HIDStep::touch(resting, landing).description(),
              "touch(position, 0.5, 0.5 | start, 0.25, 0.75)");
    EXPECT_EQ(HIDStep::touch(std::nullopt, landing).description(), "touch(- | start, 0.25, 0.75)");
}

}  // namespace
}  // namespace tavrel
