#include "HelperCore/Input/InputDriver.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperCore/Input/TransportPolicy.hpp"

namespace tavrel {

void PrintTo(const HIDStep& step, std::ostream* out) {
    *out << step.description();
}

namespace {

using Kind = HIDEvent::Kind;
using Phase = HIDEvent::Phase;

/// Records what it is sent; fails the send numbered `failAt` (0-based) when set. Carries as
/// many fingers as it is told.
class FakeTransport : public HIDTransport {
  public:
    explicit FakeTransport(int fingers = 1) : fingers_(fingers) {}
    std::string name() const override { return "fake"; }
    int fingers() const override { return fingers_; }
    void send(const HIDStep& step) override {
        std::lock_guard guard(lock);
        if (failAt && sends == *failAt) {
            ++sends;
            throw HelperFailure("input to the simulator did not go out within 2 seconds", 504);
        }
        ++sends;
        sent.push_back(step);
    }

    std::mutex lock;
    std::optional<int> failAt;
    int sends = 0;
    std::vector<HIDStep> sent;

  private:
    int fingers_;
};

ScreenGeometry phone() {
    return ScreenGeometry{1170, 2532, 390, 844, 3};
}

HIDEvent touch(Phase phase, double x, double y) {
    return {Kind::touch, phase, x, y, "", 0};
}
HIDEvent button(Phase phase, std::string name) {
    return {Kind::button, phase, 0, 0, name, 0};
}
HIDEvent key(Phase phase, std::int64_t code) {
    return {Kind::key, phase, 0, 0, "", code};
}

HIDEvent second(Phase phase, double x, double y) {
    return {Kind::touch, phase, x, y, "", 0, 1};
}

HIDStep start(double x, double y) {
    return HIDStep::touch(DigitizerPhase::start, x, y);
}
HIDStep position(double x, double y) {
    return HIDStep::touch(DigitizerPhase::position, x, y);
}
HIDStep end(double x, double y) {
    return HIDStep::touch(DigitizerPhase::end, x, y);
}

template <class Body>
void expectFailure(Body body, const std::string& message, int status) {
    try {
        body();
        ADD_FAILURE() << "no failure, expected " << message;
    } catch (const HelperFailure& failure) {
        EXPECT_EQ(failure.message(), message);
        EXPECT_EQ(failure.status(), status);
    }
}

TEST(InputDriver, ButtonTable) {
    using Steps = std::vector<HIDStep>;
    const HIDStep power = HIDStep::button(HIDUsage::power, true);
    const HIDStep powerUp = HIDStep::button(HIDUsage::power, false);
    struct Case {
        const char* name;
        Steps down;
        Steps up;
    };
    const Case cases[] = {
        {"home", {HIDStep::button(HIDUsage::menu, true)}, {HIDStep::button(HIDUsage::menu, false)}},
        {"lock", {power}, {powerUp}},
        {"side", {power}, {powerUp}},
        {"siri",
         {HIDStep::button(HIDUsage::voiceCommand, true)},
         {HIDStep::button(HIDUsage::voiceCommand, false)}},
        {"apple_pay", {power, powerUp, power}, {powerUp}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(InputDriver::button(c.name, true), c.down) << c.name;
        EXPECT_EQ(InputDriver::button(c.name, false), c.up) << c.name;
    }
    for (const char* name : {"", "Home", "HOME", "home ", "power", "apple pay", "volume_up"})
        expectFailure([&] { InputDriver::button(name, true); },
                      std::string("not a button: ") + name, 400);
}

TEST(InputDriver, KeyboardUsageRange) {
    EXPECT_EQ(InputDriver::key(1, true), HIDStep::key(1, true));
    EXPECT_EQ(InputDriver::key(65535, false), HIDStep::key(65535, false));
    for (std::int64_t code : {std::int64_t{0}, std::int64_t{-1}, std::int64_t{65536},
                              std::int64_t{4294967300}, INT64_MIN})
        expectFailure([&] { InputDriver::key(code, true); },
                      "not a keyboard usage: " + std::to_string(code), 400);
}

TEST(InputDriver, TouchStepsFollowTheFinger) {
    InputDriver driver(std::make_shared<FakeTransport>(), phone());
    struct Case {
        HIDEvent event;
        HIDStep step;
    };
    const Case cases[] = {
        {touch(Phase::down, 195, 422), start(0.5, 0.5)},
        {touch(Phase::down, 390, 0), position(1, 0)},  // a down while down is a move
        {touch(Phase::down, 39, 211), position(0.1, 0.25)},
        {touch(Phase::up, -10, 900), end(0, 1)},
        {touch(Phase::up, 97.5, 211), end(0.25, 0.25)},  // an up with no finger down still ends
        {touch(Phase::down, 1e308, -1e308), start(1, 0)},
        {touch(Phase::down, std::nan(""), INFINITY), position(0, 0)},
        {touch(Phase::up, -INFINITY, 843.9999), end(0, 843.9999 / 844)},
    };
    for (const Case& c : cases)
        EXPECT_EQ(driver.steps({c.event}), std::vector<HIDStep>{c.step}) << c.step.description();
}

TEST(InputDriver, TwoFingersShareEachReport) {
    using Contact = HIDStep::Contact;
    auto at = [](DigitizerPhase phase, double x, double y) { return Contact{phase, x, y}; };
    constexpr auto S = DigitizerPhase::start, P = DigitizerPhase::position, E = DigitizerPhase::end;
    const auto none = std::nullopt;
    InputDriver driver(std::make_shared<FakeTransport>(2), phone());
    struct Case {
        const char* what;
        HIDEvent event;
        HIDStep step;
    };
    const Case cases[] = {
        {"finger 0 alone is today's report", touch(Phase::down, 97.5, 211), start(0.25, 0.25)},
        {"finger 1 lands beside it", second(Phase::down, 292.5, 633),
         HIDStep::touch(at(P, 0.25, 0.25), at(S, 0.75, 0.75))},
        {"finger 1 moves, finger 0 rests", second(Phase::down, 390, 844),
         HIDStep::touch(at(P, 0.25, 0.25), at(P, 1, 1))},
        {"finger 0 moves, finger 1 rests where it went", touch(Phase::down, 0, 0),
         HIDStep::touch(at(P, 0, 0), at(P, 1, 1))},
        {"finger 0 lifts, ending only itself", touch(Phase::up, 39, 84.4),
         HIDStep::touch(at(E, 0.1, 0.1), at(P, 1, 1))},
        {"finger 1 alone", second(Phase::down, 195, 422), HIDStep::touch(none, at(P, 0.5, 0.5))},
        {"finger 0 comes back", touch(Phase::down, 0, 844),
         HIDStep::touch(at(S, 0, 1), at(P, 0.5, 0.5))},
        {"finger 1 lifts", second(Phase::up, 195, 0), HIDStep::touch(at(P, 0, 1), at(E, 0.5, 0))},
        {"finger 0 alone again is today's report", touch(Phase::down, 390, 0), position(1, 0)},
        {"finger 0 lifts", touch(Phase::up, 390, 0), end(1, 0)},
        {"finger 1 lifting while up still ends", second(Phase::up, 0, 0),
         HIDStep::touch(none, at(E, 0, 0))},
        {"finger 1 starts a touch of its own", second(Phase::down, 0, 0),
         HIDStep::touch(none, at(S, 0, 0))},
    };
    for (const Case& c : cases)
        EXPECT_EQ(driver.steps({c.event}), std::vector<HIDStep>{c.step}) << c.what;
}

TEST(InputDriver, PinchInOneRequest) {
    auto transport = std::make_shared<FakeTransport>(2);
    InputDriver driver(transport, phone());
    driver.play({touch(Phase::down, 156, 422), second(Phase::down, 234, 422),
                 touch(Phase::down, 117, 422), second(Phase::down, 273, 422),
                 touch(Phase::up, 117, 422), second(Phase::up, 273, 422)});
    using Contact = HIDStep::Contact;
    constexpr auto S = DigitizerPhase::start, P = DigitizerPhase::position, E = DigitizerPhase::end;
    EXPECT_EQ(transport->sent,
              (std::vector<HIDStep>{start(0.4, 0.5),
                                    HIDStep::touch(Contact{P, 0.4, 0.5}, Contact{S, 0.6, 0.5}),
                                    HIDStep::touch(Contact{P, 0.3, 0.5}, Contact{P, 0.6, 0.5}),
                                    HIDStep::touch(Contact{P, 0.3, 0.5}, Contact{P, 0.7, 0.5}),
                                    HIDStep::touch(Contact{E, 0.3, 0.5}, Contact{P, 0.7, 0.5}),
                                    HIDStep::touch(std::nullopt, Contact{E, 0.7, 0.5})}));
}

TEST(InputDriver, ASecondFingerOnATransportOfOneIsRefusedBeforeAnythingIsSent) {
    auto transport = std::make_shared<FakeTransport>(1);
    InputDriver driver(transport, phone());
    expectFailure(
        [&] {
            driver.play({touch(Phase::down, 195, 422), second(Phase::down, 100, 100),
                         touch(Phase::up, 195, 422)});
        },
        "fake input carries one finger", 409);
    expectFailure([&] { driver.play({second(Phase::up, 100, 100)}); },
                  "fake input carries one finger", 409);
    EXPECT_EQ(transport->sends, 0);
    // The refused request moved no finger: the next down still starts a touch.
    driver.play({touch(Phase::down, 195, 422)});
    EXPECT_EQ(transport->sent, std::vector<HIDStep>{start(0.5, 0.5)});
    // A finger that is not 0 or 1 (only code can make one) is refused too.
    expectFailure(
        [&] {
            driver.steps({HIDEvent{Kind::touch, Phase::down, 0, 0, "", 0, 2}});
        },
        "not a finger: 2", 400);
}

TEST(InputDriver, EmptyScreenGivesZeroFractions) {
    InputDriver driver(std::make_shared<FakeTransport>(), ScreenGeometry{0, 0, 0, 844, 0});
    EXPECT_EQ(driver.steps({touch(Phase::down, 100, 422), touch(Phase::up, 390, 844)}),
              (std::vector<HIDStep>{start(0, 0.5), end(0, 1)}));
}

TEST(InputDriver, MixedRequestConcatenatesStepsInOrder) {
    InputDriver driver(std::make_shared<FakeTransport>(), phone());
    EXPECT_EQ(driver.steps({touch(Phase::down, 0, 0), button(Phase::down, "apple_pay"),
                            key(Phase::down, 4), touch(Phase::down, 390, 844), key(Phase::up, 4),
                            touch(Phase::up, 390, 844)}),
              (std::vector<HIDStep>{start(0, 0), HIDStep::button(HIDUsage::power, true),
                                    HIDStep::button(HIDUsage::power, false),
                                    HIDStep::button(HIDUsage::power, true), HIDStep::key(4, true),
                                    position(1, 1), HIDStep::key(4, false), end(1, 1)}));
    EXPECT_TRUE(driver.steps({}).empty());
}

TEST(InputDriver, RefusedRequestSendsNothingAndLeavesTheFingerWhereItWas) {
    auto transport = std::make_shared<FakeTransport>();
    InputDriver driver(transport, phone());
    expectFailure(
        [&] {
            driver.play({touch(Phase::down, 10, 10), button(Phase::down, "Home")});
        },
        "not a button: Home", 400);
    expectFailure(
        [&] {
            driver.play({key(Phase::down, 4), key(Phase::up, 0)});
        },
        "not a keyboard usage: 0", 400);
    EXPECT_EQ(transport->sends, 0);
    // Nothing of the refused request reached the device, so the next down starts a touch
    // (a move without a start would be dropped and the tap lost).
    driver.play({touch(Phase::down, 195, 422)});
    ASSERT_EQ(transport->sent.size(), 1u);
    EXPECT_EQ(transport->sent[0], HIDStep::touch(DigitizerPhase::start, 0.5, 0.5));
    // A finger that is down stays down through a refused request.
    expectFailure(
        [&] {
            driver.play({touch(Phase::up, 1, 1), key(Phase::down, 0)});
        },
        "not a keyboard usage: 0", 400);
    driver.play({touch(Phase::down, 195, 422)});
    EXPECT_EQ(transport->sent.back(), position(0.5, 0.5));
}

TEST(InputDriver, PlaySendsInOrderAndStopsAtTheFirstFailedSend) {
    auto transport = std::make_shared<FakeTransport>();
    InputDriver driver(transport, phone());
    driver.play({button(Phase::down, "home"), button(Phase::up, "home")});
    EXPECT_EQ(transport->sent, (std::vector<HIDStep>{HIDStep::button(HIDUsage::menu, true),
                                                     HIDStep::button(HIDUsage::menu, false)}));

    transport->sent.clear();
    transport->sends = 0;
    transport->failAt = 1;
    expectFailure(
        [&] {
            driver.play({button(Phase::down, "apple_pay"), key(Phase::down, 5)});
        },
        "input to the simulator did not go out within 2 seconds", 504);
    EXPECT_EQ(transport->sends, 2);  // the failing one was tried, the rest were not
    EXPECT_EQ(transport->sent, std::vector<HIDStep>{HIDStep::button(HIDUsage::power, true)});
    EXPECT_EQ(driver.transport()->name(), "fake");
}

TEST(InputDriver, ConcurrentRequestsSeeOneFinger) {
    auto transport = std::make_shared<FakeTransport>();
    InputDriver driver(transport, phone());
    constexpr int perThread = 500;
    auto tap = [&] {
        for (int i = 0; i < perThread; ++i)
            driver.play(
                {touch(Phase::down, 1, 1), touch(Phase::down, 2, 2), touch(Phase::up, 3, 3)});
    };
    { std::jthread first(tap), second(tap); }
    ASSERT_EQ(transport->sent.size(), 2u * perThread * 3);
    // Each request is translated atomically, so every one of them starts with a fresh finger:
    // exactly one start per request.
    int starts = 0;
    for (const HIDStep& step : transport->sent)
        if (step.asTouch()->one->phase == DigitizerPhase::start) ++starts;
    EXPECT_EQ(starts, 2 * perThread);
}

TEST(InputDriver, NeedsATransport) {
    EXPECT_THROW(InputDriver(nullptr, phone()), std::invalid_argument);
}

TEST(TransportPolicy, Order) {
    using TransportPolicy::Preference;
    using Names = std::vector<std::string>;
    const Names both{"dtuhid", "indigo"}, indigo{"indigo"}, dtuhid{"dtuhid"};
    struct Case {
        Preference preference;
        std::optional<std::string> coreSimulator;
        Names order;
    };
    const Case cases[] = {
        {Preference::dtuhid, std::nullopt, dtuhid},    {Preference::dtuhid, "1051.49", dtuhid},
        {Preference::indigo, "1165.1", indigo},        {Preference::indigo, std::nullopt, indigo},
        {Preference::automatic, "1155.4", both},       {Preference::automatic, "1155.10", both},
        {Preference::automatic, "1165.1", both},       {Preference::automatic, "10000", both},
        {Preference::automatic, "1155.4.1", both},     {Preference::automatic, "1155.3.99", indigo},
        {Preference::automatic, "1155", indigo},       {Preference::automatic, "999", indigo},
        {Preference::automatic, "1051.49", indigo},    {Preference::automatic, "", indigo},
        {Preference::automatic, std::nullopt, indigo},
    };
    for (const Case& c : cases)
        EXPECT_EQ(TransportPolicy::order(c.preference, c.coreSimulator), c.order)
            << TransportPolicy::rawValue(c.preference) << " " << c.coreSimulator.value_or("-");
}

TEST(TransportPolicy, NumericVersionComparison) {
    struct Case {
        const char* left;
        const char* right;
        int order;
    };
    const Case cases[] = {
        {"10.0", "9.9", 1},
        {"1155.10", "1155.4", 1},
        {"1155.4", "1155.4", 0},
        {"999", "1155.4", -1},
        {"1155.04", "1155.4", 0},
        {"1155.4a", "1155.4", 1},
        {"1155.4", "1155.4.0", -1},
        {"a10", "a9", 1},
        {"b1", "a2", 1},
        {"", "", 0},
        {"", "0", -1},
        {"1.2.3", "1.10", -1},
        // Numbers longer than any integer type still compare by value.
        {"123456789012345678901234567890", "123456789012345678901234567891", -1},
        {"0000000000000000000000000000001", "2", -1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(TransportPolicy::compareVersions(c.left, c.right), c.order)
            << c.left << " vs " << c.right;
        EXPECT_EQ(TransportPolicy::compareVersions(c.right, c.left), -c.order)
            << c.right << " vs " << c.left;
    }
}

TEST(TransportPolicy, FirstTransportThatConstructs) {
    std::vector<std::string> tried;
    auto construct = [&](const std::string& name) -> std::shared_ptr<HIDTransport> {
        tried.push_back(name);
        if (name == "dtuhid")
            throw HelperFailure(
                "the simulator publishes no com.apple.coredevice.feature.remote.hid.digitizer",
                502);
        if (name == "broken") throw std::runtime_error("dlsym failed");
        return std::make_shared<FakeTransport>();
    };
    auto transport = TransportPolicy::firstTransport({"dtuhid", "indigo", "later"}, construct);
    EXPECT_EQ(transport->name(), "fake");
    EXPECT_EQ(tried, (std::vector<std::string>{"dtuhid", "indigo"}));

    expectFailure([&] { TransportPolicy::firstTransport({"dtuhid"}, construct); },
                  "input cannot reach the simulator (dtuhid: the simulator publishes no "
                  "com.apple.coredevice.feature.remote.hid.digitizer)",
                  409);
    expectFailure(
        [&] {
            TransportPolicy::firstTransport({"dtuhid", "broken"}, construct);
        },
        "input cannot reach the simulator (dtuhid: the simulator publishes no "
        "com.apple.coredevice.feature.remote.hid.digitizer; broken: dlsym failed)",
        409);
}

TEST(TransportPolicy, PreferenceNames) {
    using TransportPolicy::Preference;
    for (Preference preference : TransportPolicy::allPreferences)
        EXPECT_EQ(TransportPolicy::preferenceNamed(TransportPolicy::rawValue(preference)),
                  preference);
    EXPECT_EQ(TransportPolicy::rawValue(Preference::automatic), std::string("auto"));
    EXPECT_EQ(TransportPolicy::preferenceNamed("AUTO"), std::nullopt);
    EXPECT_EQ(TransportPolicy::preferenceNamed(""), std::nullopt);
    EXPECT_EQ(TransportPolicy::firstDTUHIDCoreSimulator, std::string("1155.4"));
}

}  // namespace
}  // namespace tavrel
