// Several clients streaming one animating simulated iPhone from one helper: what each receives
// decodes on its own, and clients asking for the same pictures share one encoder.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "HelperCore/Video/AnnexB.hpp"
#include "HelperCore/Video/NALUnit.hpp"
#include "Support/SimulatorHome.hpp"
#include "Support/StreamCheck.hpp"
#include "Support/TestClient.hpp"
#include "Support/WaitUntil.hpp"

namespace tavrel::e2e {
namespace {

using namespace std::chrono_literals;
using testing::waitUntil;

const std::string halfSize =
    R"({"op":"stream","fps":30,"scale":0.5,"key_frame_s":2,"bitrate":1000000})";
const std::string halfSizeMoreBits =
    R"({"op":"stream","fps":30,"scale":0.5,"key_frame_s":2,"bitrate":2000000})";

// Appends `count` more chunks of request `id`; a loaded machine only makes them come later.
void read(testing::TestClient& client, std::uint32_t id, std::vector<Bytes>& units,
          std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        auto frame = client.readFrame(10s);
        ASSERT_TRUE(frame);
        ASSERT_EQ(frame->id, id);
        ASSERT_EQ(frame->kind, FrameKind::chunk)
            << std::string(frame->json.begin(), frame->json.end());
        units.push_back(std::move(frame->blob));
    }
}

bool startsWithParameterSets(const Bytes& unit) {
    const auto units = AnnexB::nalUnitViews(unit);
    return units.size() >= 3 && AnnexB::type(units[0]) == NALUnit::sequenceParameterSet &&
           AnnexB::type(units[1]) == NALUnit::pictureParameterSet;
}

std::size_t encodersOpened(ServedDevice& served) {
    const std::string line = "H.264 stream's encoder is ready";
    const auto log = served.process().standardError();
    std::size_t count = 0;
    for (auto at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) ++count;
    return count;
}

TEST(StreamSharing, ClientsOfOneEncoderEachReceiveAStreamThatDecodesFromItsFirstUnit) {
    SimulatorHome home;
    ServedDevice served(home, home.boot("Phone"), "auto", "helper.sock", {"--log-level", "debug"});
    ASSERT_EQ(runProgram("tavrel-simctl", {"animate", served.udid(), "on"}).status, 0);

    struct Viewer {
        const char* name;
        const std::string& request;
        std::unique_ptr<testing::TestClient> client;
        std::vector<Bytes> units;
    };
    Viewer viewers[] = {
        {"first", halfSize, nullptr, {}},
        {"joins mid-stream", halfSize, nullptr, {}},
        {"other bit rate", halfSizeMoreBits, nullptr, {}},
    };
    // Each joins while the ones before it are streaming, and all keep reading.
    for (std::size_t joined = 0; joined < std::size(viewers); ++joined) {
        auto& viewer = viewers[joined];
        viewer.client = std::make_unique<testing::TestClient>(served.socket());
        viewer.client->request(static_cast<std::uint32_t>(joined + 1), viewer.request);
        for (std::size_t i = 0; i <= joined; ++i) {
            read(*viewers[i].client, static_cast<std::uint32_t>(i + 1), viewers[i].units, 12);
            if (::testing::Test::HasFatalFailure()) return;
        }
    }
    // The first two share an encoder; the third's settings make other pictures.
    EXPECT_EQ(encodersOpened(served), 2U);

    for (auto& viewer : viewers) {
        SCOPED_TRACE(viewer.name);
        viewer.client.reset();
        ASSERT_FALSE(viewer.units.empty());
        EXPECT_TRUE(startsWithParameterSets(viewer.units.front()));
        for (const auto& unit : viewer.units) EXPECT_TRUE(endsWithDelimiter(unit));
        const auto decoded = decodeAccessUnits(viewer.units);
        EXPECT_EQ(decoded.error, "");
        EXPECT_EQ(decoded.pictures, static_cast<int>(viewer.units.size()));
        EXPECT_EQ(decoded.width, 590);
        EXPECT_EQ(decoded.height, 1278);
    }
    // The first viewer's stream stayed whole across the key frame its companion asked for.
    const auto keys = std::ranges::count_if(
        viewers[0].units, [](const Bytes& unit) { return AnnexB::isKeyFrame(unit); });
    EXPECT_GE(keys, 2);
    EXPECT_FALSE(served.process().wait(0ms));
}

}  // namespace
}  // namespace tavrel::e2e
