#include "HelperCore/Commands/SelfCheckReport.hpp"

#include <gtest/gtest.h>

#include <stdexcept>

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperCore/Base/JSON.hpp"
#include "Support/ScriptedDevice.hpp"

namespace tavrel {
namespace {

using testing::ScriptedDevice;
using Operation = ScriptedDevice::Operation;

AXNode leaf() {
    return AXNode{};
}

TEST(SelfCheckReport, ReportsEveryCheckInOrderWithItsDetail) {
    ScriptedDevice device;
    device.setScreen(ScreenGeometry::of(1179, 2556, 3));
    device.setJPEG(JPEG{Bytes(1234, 0xFF), 160, 347});
    AXNode root;
    root.children = {leaf(), leaf()};
    device.setTree(root);
    device.setTransport(std::make_shared<testing::RecordingTransport>("dtuhid"));

    auto report = SelfCheckReport::run(device);

    EXPECT_EQ(report.parts, (std::vector<SelfCheckReport::Part>{
                                {"screen", true, "1179x2556 pixels, 393x852 points"},
                                {"screenshot", true, "160x347, 1234 bytes"},
                                {"input", true, "through dtuhid"},
                                {"element tree", true, "3 elements"},
                            }));
    EXPECT_TRUE(report.ok());
    ASSERT_TRUE(device.lastScreenshot());
    EXPECT_EQ(device.lastScreenshot()->maxWidth, 160);
    EXPECT_EQ(device.lastScreenshot()->quality, 40);
    EXPECT_FALSE(device.lastScreenshot()->crop);
}

TEST(SelfCheckReport, AFailedCheckBecomesAPartAndTheRestStillRun) {
    struct Case {
        Operation failing;
        std::exception_ptr error;
        std::size_t index;
        std::string detail;
    };
    const std::vector<Case> cases = {
        {Operation::tree, std::make_exception_ptr(HelperFailure("no frontmost app", 503)), 3,
         "no frontmost app"},
        {Operation::screen, std::make_exception_ptr(HelperFailure("no screen size", 502)), 0,
         "no screen size"},
        {Operation::input, std::make_exception_ptr(std::runtime_error("plain error")), 2,
         "plain error"},
        {Operation::screenshot, std::make_exception_ptr(HelperFailure("not drawn yet", 503)), 1,
         "not drawn yet"},
    };
    for (const auto& c : cases) {
        ScriptedDevice device;
        device.setFailure(c.failing, c.error);
        auto report = SelfCheckReport::run(device);
        ASSERT_EQ(report.parts.size(), 4u);
        const std::vector<std::string> names = {"screen", "screenshot", "input", "element tree"};
        for (std::size_t i = 0; i < 4; ++i) {
            EXPECT_EQ(report.parts[i].name, names[i]);
            EXPECT_EQ(report.parts[i].ok, i != c.index) << names[i];
        }
        EXPECT_EQ(report.parts[c.index].detail, c.detail);
        EXPECT_FALSE(report.ok());
    }
}

TEST(SelfCheckReport, EncodesOkAndPartsWithSortedKeys) {
    SelfCheckReport failed{{{"device", false, "no simulator X in the device set of /d"}}};
    EXPECT_EQ(JSON::encode(failed),
              R"({"ok":false,"parts":[{"detail":"no simulator X in the device set of /d",)"
              R"("name":"device","ok":false}]})");
    EXPECT_EQ(JSON::encode(SelfCheckReport{}), R"({"ok":true,"parts":[]})");
}

TEST(SelfCheckReport, CountsEveryNodeOfTheTree) {
    AXNode root;
    EXPECT_EQ(SelfCheckReport::count(root), 1);
    AXNode middle;
    middle.children = {leaf(), leaf(), leaf()};
    root.children = {middle, leaf()};
    EXPECT_EQ(SelfCheckReport::count(root), 6);
}

}  // namespace
}  // namespace tavrel
