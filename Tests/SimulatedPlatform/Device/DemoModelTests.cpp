#include <gtest/gtest.h>

#include <cmath>

#include "SimulatedPlatform/Device/DeviceLink/DeviceLink.hpp"
#include "SimulatedPlatform/Device/simdevice/DemoModel.hpp"

namespace tavrel::sim {
namespace {

constexpr uint32_t consumer = 0x0C, home = 0x40, power = 0x30, voice = 0xCF;

struct Point {
    double x, y;
};

Point centre(const Rect& r) {
    return {r.x + r.width / 2, r.y + r.height / 2};
}

void tap(DemoModel& model, Point p) {
    model.touch(0, p.x, p.y);
    model.touch(2, p.x, p.y);
}

void drag(DemoModel& model, Point from, Point to, int steps = 10) {
    model.touch(0, from.x, from.y);
    for (int i = 1; i <= steps; ++i) {
        model.touch(1, from.x + (to.x - from.x) * i / steps, from.y + (to.y - from.y) * i / steps);
    }
    model.touch(2, to.x, to.y);
}

void press(DemoModel& model, uint32_t usage, double at) {
    model.button(consumer, usage, true, at);
    model.button(consumer, usage, false, at + 0.05);
}

void type(DemoModel& model, std::initializer_list<uint32_t> keys) {
    for (uint32_t key : keys) {
        model.key(key, true);
        model.key(key, false);
    }
}

const Element& element(const Element& root, const std::string& identifier) {
    const Element* found = root.find(identifier);
    if (!found) throw std::runtime_error("no element " + identifier);
    return *found;
}

TEST(DemoModel, BootsIntoTheDemoAppWithItsElements) {
    DemoModel model(393, 852);
    auto app = model.frontmost();
    ASSERT_TRUE(app);
    EXPECT_EQ(app->role, "AXApplication");
    EXPECT_EQ(app->label, "Demo");
    struct Case {
        const char* identifier;
        const char* role;
        const char* label;
        uint64_t traits;
    };
    const Case cases[] = {
        {"tap-button", "AXButton", "Tap me", traits::button},
        {"tap-count", "AXStaticText", "Taps: 0", traits::staticText},
        {"wifi-switch", "AXSwitch", "Wi-Fi", traits::button | traits::toggle},
        {"volume-slider", "AXSlider", "Volume", traits::adjustable},
        {"name-field", "AXTextField", "Name", traits::textEntry},
        {"row-1", "AXCell", "Row 1", traits::button},
        {"photo", "AXImage", "Map",
         traits::image | traits::allowsDirectInteraction | traits::supportsZoom},
        {"zoom-label", "AXStaticText", "Zoom: 1.0x",
         traits::staticText | traits::updatesFrequently},
        {"angle-label", "AXStaticText", "Angle: 0°",
         traits::staticText | traits::updatesFrequently},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.identifier);
        const auto& e = element(*app, c.identifier);
        EXPECT_EQ(e.role, c.role);
        EXPECT_EQ(e.label, c.label);
        EXPECT_EQ(e.traits, c.traits);
        EXPECT_TRUE(e.enabled);
        EXPECT_GT(e.frame.width, 0);
        // Every element lies on the screen.
        EXPECT_GE(e.frame.x, 0);
        EXPECT_LE(e.frame.x + e.frame.width, 393);
    }
    EXPECT_EQ(std::get<double>(element(*app, "wifi-switch").value), 0.0);
    EXPECT_EQ(std::get<std::string>(element(*app, "name-field").value), "");
    // The list shows only the rows in sight; row 20 is far below.
    EXPECT_EQ(app->find("row-20"), nullptr);
}

TEST(DemoModel, TapsCountOnlyWhenTheTouchStartsAndEndsOnTheButton) {
    DemoModel model(393, 852);
    const Point button = centre(model.layout().button);
    tap(model, button);
    tap(model, button);
    EXPECT_EQ(model.taps(), 2);
    EXPECT_EQ(element(*model.frontmost(), "tap-count").label, "Taps: 2");
    // Sliding off the button before lifting, or a touch that wanders, is not a tap.
    model.touch(0, button.x, button.y);
    model.touch(2, button.x, model.layout().list.y + 100);
    drag(model, button, {button.x + 30, button.y});
    tap(model, {5, model.layout().count.y + 5});  // beside the count: nothing there
    EXPECT_EQ(model.taps(), 2);
}

TEST(DemoModel, SwitchSliderAndList) {
    DemoModel model(393, 852);
    const auto& layout = model.layout();
    tap(model, centre(layout.switchControl));
    EXPECT_EQ(std::get<double>(element(*model.frontmost(), "wifi-switch").value), 1.0);
    tap(model, centre(layout.switchRow));
    EXPECT_FALSE(model.wifi());

    const double middle = layout.sliderTrack.y + layout.sliderTrack.height / 2;
    drag(model, {layout.sliderTrack.x + layout.sliderTrack.width / 2, middle},
         {layout.sliderTrack.x + layout.sliderTrack.width + 50, middle});
    EXPECT_EQ(model.volume(), 1.0);
    drag(model, {layout.sliderTrack.x + layout.sliderTrack.width - 1, middle},
         {layout.sliderTrack.x + layout.sliderTrack.width / 4, middle});
    EXPECT_NEAR(std::get<double>(element(*model.frontmost(), "volume-slider").value), 0.25, 1e-9);

    // Swiping up scrolls the list to its end, and no further.
    const Point top = {200, layout.list.y + 20};
    drag(model, {200, layout.list.y + layout.list.height - 10}, top);
    drag(model, {200, layout.list.y + layout.list.height - 10}, top);
    drag(model, {200, layout.list.y + layout.list.height - 10}, top);
    EXPECT_EQ(model.scroll(), layout.maxScroll());
    auto app = model.frontmost();
    const Element& row20 = element(*app, "row-20");
    EXPECT_NEAR(row20.frame.y + row20.frame.height, layout.list.y + layout.list.height, 1e-9);
    EXPECT_EQ(app->find("row-1"), nullptr);
    // A swipe is not a tap; a tap selects the row under it.
    EXPECT_EQ(model.selectedRow(), 0);
    tap(model, centre(row20.frame));
    EXPECT_EQ(model.selectedRow(), 20);
    EXPECT_TRUE(element(*model.frontmost(), "row-20").traits & traits::selected);
}

TEST(DemoModel, TypingGoesIntoTheFocusedFieldOnly) {
    DemoModel model(393, 852);
    type(model, {4, 5});  // not focused: ignored
    EXPECT_EQ(model.name(), "");
    tap(model, centre(model.layout().field));
    EXPECT_TRUE(model.editing());
    EXPECT_TRUE(element(*model.frontmost(), "name-field").traits & traits::isEditing);
    model.key(225, true);  // shift held for the first letter
    type(model, {11});
    model.key(225, false);
    type(model, {8, 15, 15, 18, 44, 30, 39, 38, 42});  // "ello 109" then delete
    EXPECT_EQ(model.name(), "Hello 10");
    model.key(229, true);  // right shift
    type(model, {27});
    model.key(229, false);
    type(model, {40});  // return ends editing
    EXPECT_FALSE(model.editing());
    type(model, {4});
    EXPECT_EQ(std::get<std::string>(element(*model.frontmost(), "name-field").value), "Hello 10X");
    // Deleting past the start does nothing.
    tap(model, centre(model.layout().field));
    for (int i = 0; i < 20; ++i) type(model, {42});
    EXPECT_EQ(model.name(), "");
}

TEST(DemoModel, HomeLockVoiceAndWallet) {
    DemoModel model(393, 852);
    press(model, home, 1);
    EXPECT_EQ(model.screen(), Screen::home);
    auto springboard = model.frontmost();
    ASSERT_TRUE(springboard);
    EXPECT_EQ(springboard->label, "Home screen");
    const Element* demoIcon = nullptr;
    for (const auto& child : springboard->children) {
        if (child.label == "Demo") demoIcon = &child;
    }
    ASSERT_NE(demoIcon, nullptr);
    EXPECT_EQ(demoIcon->role, "AXButton");
    tap(model, centre(demoIcon->frame));
    EXPECT_EQ(model.screen(), Screen::app);

    press(model, power, 10);
    EXPECT_EQ(model.screen(), Screen::locked);
    EXPECT_FALSE(model.frontmost());
    press(model, home, 11);  // home does not unlock
    tap(model, centre(model.layout().button));
    EXPECT_EQ(model.screen(), Screen::locked);
    EXPECT_EQ(model.taps(), 0);
    press(model, power, 12);
    EXPECT_EQ(model.screen(), Screen::app);

    model.button(consumer, voice, true, 13);
    EXPECT_TRUE(element(*model.frontmost(), "listening-banner").label == "Listening…");
    model.button(consumer, voice, false, 14);
    EXPECT_EQ(model.frontmost()->find("listening-banner"), nullptr);

    // A double press leaves the lock state as it was and shows the Wallet card.
    press(model, power, 20);
    press(model, power, 20.2);
    EXPECT_EQ(model.screen(), Screen::app);
    ASSERT_TRUE(model.wallet());
    EXPECT_EQ(model.frontmost()->label, "Wallet");
    tap(model, {10, 10});
    EXPECT_FALSE(model.wallet());
    EXPECT_EQ(model.taps(), 0);  // the tap that dismissed the card went nowhere else
}

using Finger = DemoModel::Finger;

// Two fingers that come down `apart` points apart about `centre`, one to each side at `turn`
// degrees, then spread or close to `scale` times that and turn by `degrees` over `steps`
// reports, then lift one after the other.
void pinch(DemoModel& model, Point centre, double apart, double scale, double degrees,
           double turn = 0, int steps = 8) {
    auto at = [&](double distance, double angle, int side) {
        const double radians = angle * M_PI / 180;
        return Point{centre.x + side * distance / 2 * std::cos(radians),
                     centre.y + side * distance / 2 * std::sin(radians)};
    };
    Point a = at(apart, turn, -1), b = at(apart, turn, 1);
    model.touches(Finger{0, a.x, a.y}, std::nullopt);
    model.touches(Finger{1, a.x, a.y}, Finger{0, b.x, b.y});
    for (int i = 1; i <= steps; ++i) {
        const double distance = apart * (1 + (scale - 1) * i / steps);
        const double angle = turn + degrees * i / steps;
        a = at(distance, angle, -1);
        b = at(distance, angle, 1);
        model.touches(Finger{1, a.x, a.y}, Finger{1, b.x, b.y});
    }
    model.touches(Finger{2, a.x, a.y}, Finger{1, b.x, b.y});
    model.touches(std::nullopt, Finger{2, b.x, b.y});
}

std::string labelOf(const DemoModel& model, const char* identifier) {
    return element(*model.frontmost(), identifier).label.value_or("");
}

TEST(DemoModel, TwoFingersZoomAndTurnThePicture) {
    DemoModel model(393, 852);
    const Rect& frame = model.layout().photo;
    const Point middle = centre(frame);
    struct Case {
        const char* what;
        double apart, scale, degrees, turn;
        const char* zoom;
        const char* angle;
    };
    // Each case goes on from where the one before left the picture.
    const Case cases[] = {
        {"spread to twice the distance", 60, 2, 0, 0, "Zoom: 2.0x", "Angle: 0°"},
        {"turn a quarter clockwise at a slant", 80, 1, 90, 30, "Zoom: 2.0x", "Angle: 90°"},
        {"turn back past zero", 80, 1, -135, 0, "Zoom: 2.0x", "Angle: -45°"},
        {"close to a third: no smaller than 1x", 90, 1.0 / 3, 0, 0, "Zoom: 1.0x", "Angle: -45°"},
        {"spread sixfold: no larger than 4x", 30, 6, 0, 90, "Zoom: 4.0x", "Angle: -45°"},
        {"turn a full circle and a half", 60, 0.5, 540, 0, "Zoom: 2.0x", "Angle: 135°"},
        {"a half turn reads 180, not -180", 60, 1, 45, 0, "Zoom: 2.0x", "Angle: 180°"},
    };
    for (const Case& c : cases) {
        pinch(model, middle, c.apart, c.scale, c.degrees, c.turn);
        EXPECT_EQ(labelOf(model, "zoom-label"), c.zoom) << c.what;
        EXPECT_EQ(labelOf(model, "angle-label"), c.angle) << c.what;
    }
    // Nothing but the picture moved, and no tap came of the fingers.
    EXPECT_EQ(model.taps(), 0);
    EXPECT_EQ(model.scroll(), 0);
}

TEST(DemoModel, ThePointUnderTheFingersStaysUnderThem) {
    DemoModel model(393, 852);
    const Point middle = centre(model.layout().photo);
    // Spread about a point 30 points right of the centre: that point of the map stays where it
    // is, so the centre moves 30 points further left.
    pinch(model, {middle.x + 30, middle.y}, 40, 2, 0);
    EXPECT_NEAR(model.photo().offset().x, -30, 1e-9);
    EXPECT_NEAR(model.photo().offset().y, 0, 1e-9);
    // Fingers that travel together carry the map along.
    model.touches(Finger{0, middle.x - 20, middle.y}, std::nullopt);
    model.touches(Finger{1, middle.x - 20, middle.y}, Finger{0, middle.x + 20, middle.y});
    model.touches(Finger{1, middle.x - 20, middle.y + 10}, Finger{1, middle.x + 20, middle.y + 10});
    EXPECT_NEAR(model.photo().offset().y, 10, 1e-9);
    EXPECT_EQ(model.photo().zoom(), 2);
}

TEST(DemoModel, ASecondFingerCancelsATouchAndOnlyThePictureTakesTwo) {
    DemoModel model(393, 852);
    const auto& layout = model.layout();
    const Point button = centre(layout.button);
    // A second finger while the first is on the button: no tap.
    model.touches(Finger{0, button.x, button.y}, std::nullopt);
    model.touches(Finger{1, button.x, button.y}, Finger{0, button.x + 30, button.y});
    model.touches(Finger{2, button.x, button.y}, Finger{1, button.x + 30, button.y});
    // The finger left behind cannot tap either, however it moves.
    model.touches(std::nullopt, Finger{1, button.x, button.y});
    model.touches(std::nullopt, Finger{2, button.x, button.y});
    EXPECT_EQ(model.taps(), 0);
    // Two fingers spread over the button zoom nothing.
    const uint64_t before = model.version();
    pinch(model, button, 40, 2, 30);
    EXPECT_EQ(model.version(), before);
    EXPECT_EQ(model.photo().zoom(), 1);
    // The second finger alone is a finger like any other.
    model.touches(std::nullopt, Finger{0, button.x, button.y});
    model.touches(std::nullopt, Finger{2, button.x, button.y});
    EXPECT_EQ(model.taps(), 1);
    // One finger on the picture does nothing to it; after a pinch a swipe still scrolls.
    drag(model, centre(layout.photo), {centre(layout.photo).x + 40, layout.photo.y + 5});
    EXPECT_EQ(model.photo().offset().x, 0);
    pinch(model, centre(layout.photo), 40, 2, 0);
    drag(model, {200, layout.list.y + layout.list.height - 10}, {200, layout.list.y + 10});
    EXPECT_GT(model.scroll(), 0);
}

TEST(DemoModel, NothingVisibleChangesWithoutCause) {
    DemoModel model(393, 852);
    const uint64_t still = model.version();
    model.touch(2, 100, 100);                // an end without a start
    type(model, {4});                        // no focused field
    model.button(0x07, 0x40, true, 1);       // not the consumer page
    model.button(consumer, home, false, 1);  // a release alone
    model.setClock(model.clock());
    model.stepAnimation();  // not animating
    tap(model, {5, model.layout().count.y + 5});
    EXPECT_EQ(model.version(), still);
    model.setClock("12:34");
    EXPECT_NE(model.version(), still);
}

}  // namespace
}  // namespace tavrel::sim
