#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperCore/Base/JSON.hpp"
#include "HelperCore/Server/Router.hpp"
#include "HelperCore/Video/AnnexB.hpp"
#include "Support/FrameFiles.hpp"
#include "Support/ScriptedDevice.hpp"
#include "Support/WaitUntil.hpp"

namespace tavrel {
namespace {

using namespace std::chrono_literals;
using testing::RecordingTransport;
using testing::ScriptedDevice;
using Operation = ScriptedDevice::Operation;

// Collects the frames an answer sends; chosen sends fail, as writes to a vanished client do.
struct Sent {
    std::mutex mutex;
    std::vector<Frame> frames;
    std::set<std::size_t> failing;   // indexes of send attempts that throw
    std::set<std::size_t> dropping;  // indexes of chunk sends left out, the client being behind
    std::size_t attempts = 0;

    Router::Send send() {
        return [this](const Frame& frame) {
            std::lock_guard lock(mutex);
            const std::size_t attempt = attempts++;
            if (failing.count(attempt)) throw HelperFailure("writing the socket: Broken pipe", 502);
            if (dropping.count(attempt)) return false;
            frames.push_back(frame);
            return true;
        };
    }
};

std::string text(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

std::vector<Frame> answer(Router& router, const Request& request, std::uint32_t id = 7) {
    Sent sent;
    router.answer(id, request, sent.send());
    return sent.frames;
}

HIDEvent key(std::int64_t code, HIDEvent::Phase phase) {
    HIDEvent event;
    event.kind = HIDEvent::Kind::key;
    event.phase = phase;
    event.code = code;
    return event;
}

ScreenshotRequest limited(std::int64_t maxWidth, std::int64_t quality) {
    ScreenshotRequest request;
    request.maxWidth = maxWidth;
    request.quality = quality;
    return request;
}

TEST(Router, AnswersEachRequestWithOneFinalFrameOfItsId) {
    ScriptedDevice device;
    device.setJPEG(JPEG{Bytes{0xFF, 0xD8, 1, 2, 0xFF, 0xD9}, 320, 694});
    const AXNode root{.role = "AXApplication", .label = "Demo"};
    device.setTree(root);
    Router router(device);
    const std::string screen = JSON::encode(device.screen());
    struct Case {
        Request request;
        std::string json;
        Bytes blob;
    };
    const Case cases[] = {
        {Request::describe(), screen, {}},
        {Request::screenshot(limited(320, 60)), R"({"height":694,"width":320})",
         Bytes{0xFF, 0xD8, 1, 2, 0xFF, 0xD9}},
        {Request::accessibility(), AXDocument::make(root, device.screen()).text(), {}},
        {Request::hid({}), "{}", {}},
        {Request::hello(),
         R"({"core_simulator":"1165.1","hid":"indigo","reasons":[],"screen":)" + screen +
             R"(,"source":"simulator","version":"2.0.1","wire":1})",
         {}},
    };
    for (const auto& c : cases) {
        const auto frames = answer(router, c.request);
        ASSERT_EQ(frames.size(), 1u) << c.request.op();
        EXPECT_EQ(frames[0],
                  (Frame{FrameKind::reply, 7, Bytes(c.json.begin(), c.json.end()), c.blob}))
            << c.request.op() << ": " << text(frames[0].json);
    }
    EXPECT_EQ(device.lastScreenshot(), (limited(320, 60)));
    EXPECT_TRUE(device.transport()->steps().empty()) << "an empty hid request sends no step";
}

TEST(Router, DeviceFailuresBecomeOneFailureFrameWithTheirStatus) {
    struct Case {
        Operation failing;
        std::exception_ptr error;
        Request request;
        std::string json;
    };
    const auto noScreen = std::make_exception_ptr(
        HelperFailure("the device reports no screen size (0.0x0.0 at 3.0x)", 502));
    const auto notBooted =
        std::make_exception_ptr(HelperFailure("the simulator is not booted", 409));
    const auto foreign = std::make_exception_ptr(std::runtime_error("something odd happened"));
    const Case cases[] = {
        {Operation::screen, notBooted, Request::describe(),
         R"({"message":"the simulator is not booted","status":409})"},
        {Operation::screen, noScreen, Request::hello(),
         R"j({"message":"the device reports no screen size (0.0x0.0 at 3.0x)","status":502})j"},
        {Operation::screenshot, foreign, Request::screenshot({}),
         R"({"message":"something odd happened","status":502})"},
        {Operation::tree, notBooted, Request::accessibility(),
         R"({"message":"the simulator is not booted","status":409})"},
        {Operation::screen, notBooted, Request::accessibility(),
         R"({"message":"the simulator is not booted","status":409})"},
        {Operation::stream, foreign, Request::stream({30, 1, 2, 1000000}),
         R"({"message":"something odd happened","status":502})"},
        {Operation::input, notBooted, Request::hid({key(4, HIDEvent::Phase::down)}),
         R"({"message":"the simulator is not booted","status":409})"},
    };
    for (const auto& c : cases) {
        ScriptedDevice device;
        device.setFailure(c.failing, c.error);
        Router router(device);
        const auto frames = answer(router, c.request, 9);
        ASSERT_EQ(frames.size(), 1u) << c.request.op();
        EXPECT_EQ(frames[0].kind, FrameKind::failure) << c.request.op();
        EXPECT_EQ(frames[0].id, 9u);
        EXPECT_EQ(text(frames[0].json), c.json) << c.request.op();
        EXPECT_TRUE(frames[0].blob.empty());
    }
}

TEST(Router, OnlyADescribeWhoseScreenIsAtHandIsAnsweredAtOnceWithTheSameFrames) {
    struct Case {
        Request request;
        bool slowScreen;
        bool atOnce;
    };
    const Case cases[] = {
        {Request::describe(), false, true},
        {Request::describe(), true, false},
        {Request::hello(), false, false},
        {Request::accessibility(), false, false},
        {Request::screenshot({}), false, false},
        {Request::hid({}), false, false},
        {Request::stream({30, 1, 2, 1000000}), false, false},
    };
    for (const auto& c : cases) {
        ScriptedDevice device;
        if (c.slowScreen) device.setDelay(Operation::screen, 1ms);
        Router router(device);
        Sent sent;
        EXPECT_EQ(router.answerAtOnce(7, c.request, sent.send()), c.atOnce) << c.request.op();
        if (c.atOnce) {
            EXPECT_EQ(sent.frames, answer(router, c.request)) << c.request.op();
        } else {
            EXPECT_TRUE(sent.frames.empty()) << c.request.op();
            EXPECT_EQ(device.calls(Operation::screen), 0) << c.request.op();
        }
    }

    ScriptedDevice device;
    Router router(device);
    Sent sent;
    sent.failing = {0};
    EXPECT_TRUE(router.answerAtOnce(7, Request::describe(), sent.send()));
    ASSERT_EQ(sent.frames.size(), 1u) << "a reply that cannot be sent is followed by a failure";
    EXPECT_EQ(text(sent.frames[0].json),
              R"({"message":"writing the socket: Broken pipe","status":502})");
}

TEST(Router, HelloWaitsForWarmingAndReportsUnavailableInputAsAReason) {
    ScriptedDevice device;
    device.holdWarming();
    device.setFailure(
        Operation::input,
        std::make_exception_ptr(HelperFailure(
            "touches and the element tree are not available on a cabled device", 409)));
    device.setCoreSimulator(std::nullopt);
    device.setSource("usb");
    Router router(device);
    auto answered =
        std::async(std::launch::async, [&] { return answer(router, Request::hello()); });
    EXPECT_EQ(answered.wait_for(50ms), std::future_status::timeout);
    device.finishWarming();
    const auto frames = answered.get();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].kind, FrameKind::reply);
    const auto hello = nlohmann::json::parse(text(frames[0].json));
    EXPECT_TRUE(hello["hid"].is_null());
    EXPECT_TRUE(hello["core_simulator"].is_null());
    EXPECT_EQ(hello["source"], "usb");
    EXPECT_EQ(hello["reasons"],
              nlohmann::json::array(
                  {"touches and the element tree are not available on a cabled device"}));
}

TEST(Router, HIDSendsEveryStepInOrderAndStopsAtTheFirstFailingOne) {
    ScriptedDevice device;
    Router router(device);
    const std::vector<HIDEvent> events = {
        key(4, HIDEvent::Phase::down), key(4, HIDEvent::Phase::up), key(5, HIDEvent::Phase::down),
        key(5, HIDEvent::Phase::up)};
    auto frames = answer(router, Request::hid(events));
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].kind, FrameKind::reply);
    auto steps = device.transport()->steps();
    ASSERT_EQ(steps.size(), 4u);
    EXPECT_EQ(steps[0], InputDriver::key(4, true));
    EXPECT_EQ(steps[3], InputDriver::key(5, false));

    auto failing = std::make_shared<RecordingTransport>("dtuhid");
    failing->failAt(1, HelperFailure("input did not go out in time", 504));
    device.setTransport(failing);
    frames = answer(router, Request::hid(events));
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(text(frames[0].json), R"({"message":"input did not go out in time","status":504})");
    EXPECT_EQ(failing->steps().size(), 1u) << "steps after the failing one are not sent";
}

HIDEvent finger(HIDEvent::Phase phase, double x, double y) {
    HIDEvent event;
    event.kind = HIDEvent::Kind::touch;
    event.phase = phase;
    event.x = x;
    event.y = y;
    return event;
}

Bytes accessUnit(bool key) {
    Bytes bytes;
    const auto put = [&](std::uint8_t header) {
        bytes.insert(bytes.end(), AnnexB::startCode.begin(), AnnexB::startCode.end());
        bytes.insert(bytes.end(), {header, 0x88, 0x84});
    };
    if (key) {
        put(0x67);
        put(0x68);
    }
    put(key ? 0x65 : 0x41);
    return bytes;
}

TEST(Router, AReplayIsRefusedUntilTheHelperKeepsPicturesThenCarriesThemWithItsTouches) {
    ScriptedDevice device;
    Router without(device);
    struct Case {
        Router& router;
        std::string failure;
    };
    auto ring = std::make_shared<ReplayRing>(5, 1 << 20);
    Router with(device, nullptr, ring);
    for (const auto& c :
         {Case{without,
               R"({"message":"the helper keeps no replay: start it with --replay-seconds N",)"
               R"("status":409})"},
          Case{with, R"({"message":"the replay holds no pictures yet","status":409})"}}) {
        const auto frames = answer(c.router, Request::replay());
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0].kind, FrameKind::failure);
        EXPECT_EQ(text(frames[0].json), c.failure);
    }
    EXPECT_FALSE(nlohmann::json::parse(text(answer(without, Request::hello())[0].json))
                     .contains("replay_seconds"));
    EXPECT_EQ(nlohmann::json::parse(text(answer(with, Request::hello())[0].json))["replay_seconds"],
              5);

    const double start = Moment::now().monoS;
    ring->add(accessUnit(true), start);
    ring->add(accessUnit(false), start + 0.02);
    answer(with, Request::hid({finger(HIDEvent::Phase::down, 196.5, 426),
                               finger(HIDEvent::Phase::up, 196.5, 426)}));
    const auto frames = answer(with, Request::replay());
    ASSERT_EQ(frames.size(), 1u);
    ASSERT_EQ(frames[0].kind, FrameKind::reply);
    EXPECT_EQ(testing::readFrames(frames[0].blob).size(), 3u) << "parameter sets, key frame, frame";
    const auto touches = nlohmann::json::parse(text(frames[0].json))["touches"];
    ASSERT_EQ(touches.size(), 1u);
    EXPECT_EQ(touches[0]["kind"], "tap");
    EXPECT_EQ(touches[0]["points"], nlohmann::json::parse("[[0.5,0.5]]"));
    // On the replay's clock: after its first picture, and not later than now.
    EXPECT_GE(touches[0]["t"].get<double>(), 0);
    EXPECT_LE(touches[0]["t"].get<double>(), Moment::now().monoS - start);
}

TEST(Router, TouchesAreAnsweredOnTheWallClockSinceTheMomentAsked) {
    ScriptedDevice device;
    Router router(device);
    const double before = Moment::now().wallS;
    answer(router, Request::hid({finger(HIDEvent::Phase::down, 10, 10)}));
    answer(router, Request::hid({finger(HIDEvent::Phase::down, 200, 10),
                                 finger(HIDEvent::Phase::up, 200, 10)}));
    const double after = Moment::now().wallS;

    struct Case {
        std::optional<double> since;
        std::size_t count;
    };
    for (const auto& c : {Case{std::nullopt, 1}, Case{before, 1}, Case{after + 1, 0}}) {
        const auto frames = answer(router, Request::touches(c.since));
        ASSERT_EQ(frames.size(), 1u);
        ASSERT_EQ(frames[0].kind, FrameKind::reply);
        const auto touches = nlohmann::json::parse(text(frames[0].json))["touches"];
        ASSERT_EQ(touches.size(), c.count);
        if (c.count == 0) continue;
        EXPECT_EQ(touches[0]["kind"], "swipe");
        EXPECT_GE(touches[0]["t"].get<double>(), before);
        EXPECT_LE(touches[0]["t"].get<double>(), after);
    }
}

TEST(Router, StreamSendsEachBufferAsAChunkThenTheReplyOrTheFailure) {
    const std::vector<Bytes> buffers = {Bytes{0, 0, 0, 1, 9, 0xF0}, Bytes{1}, Bytes(70000, 3)};
    struct Case {
        std::exception_ptr end;
        std::string last;
    };
    const Case cases[] = {
        {nullptr, "{}"},
        {std::make_exception_ptr(HelperFailure("the encoder failed: oops", 502)),
         R"({"message":"the encoder failed: oops","status":502})"},
    };
    for (const auto& c : cases) {
        ScriptedDevice device;
        device.setStream(buffers, 1ms, c.end);
        Router router(device);
        const auto frames = answer(router, Request::stream({30, 0.5, 2, 2000000}), 3);
        ASSERT_EQ(frames.size(), 4u);
        for (std::size_t i = 0; i < 3; ++i) {
            EXPECT_EQ(frames[i], (Frame{FrameKind::chunk, 3, {}, buffers[i]}));
        }
        EXPECT_EQ(frames[3].id, 3u);
        EXPECT_EQ(frames[3].kind, c.end ? FrameKind::failure : FrameKind::reply);
        EXPECT_EQ(text(frames[3].json), c.last);
        EXPECT_EQ(device.lastStream(), (StreamSettings{30, 0.5, 2, 2000000}));
    }
}

TEST(Router, AFailedSendEndsTheStreamAndAFailureIsAttemptedOnce) {
    ScriptedDevice device;
    device.setStream({Bytes{1}, Bytes{2}}, 1ms, nullptr, /*endless=*/true);
    Router router(device);
    Sent sent;
    sent.failing = {2, 3};  // the third chunk and the failure after it
    router.answer(5, Request::stream({30, 1, 2, 1000000}), sent.send());
    ASSERT_EQ(sent.frames.size(), 2u);
    EXPECT_EQ(sent.frames[1].kind, FrameKind::chunk);
    EXPECT_EQ(sent.attempts, 4u);
    EXPECT_EQ(device.cancelledStreams(), 1) << "leaving the answer stops production";

    Sent replies;
    replies.failing = {0};
    router.answer(6, Request::describe(), replies.send());
    ASSERT_EQ(replies.attempts, 2u);
    ASSERT_EQ(replies.frames.size(), 1u);
    EXPECT_EQ(replies.frames[0].kind, FrameKind::failure);
    EXPECT_EQ(text(replies.frames[0].json),
              R"({"message":"writing the socket: Broken pipe","status":502})");
}

TEST(Router, AStreamThatFallsBehindSkipsToAKeyFrameItAsksFor) {
    const Bytes key{0, 0, 0, 1, 0x65, 0xAA, 0, 0, 0, 1, 9, 0xF0};    // IDR slice, delimiter
    const Bytes delta{0, 0, 0, 1, 0x41, 0xBB, 0, 0, 0, 1, 9, 0xF0};  // non-IDR slice
    ScriptedDevice device;
    device.setStream({key, delta, delta, key, delta, key, delta}, 1ms);
    Router router(device);
    Sent sent;
    sent.dropping = {1, 2};  // the first delta, and the first key frame after it
    router.answer(4, Request::stream({30, 1, 2, 1000000}), sent.send());
    std::vector<Bytes> chunks;
    for (const auto& frame : sent.frames) {
        if (frame.kind == FrameKind::chunk) chunks.push_back(frame.blob);
    }
    // Offered: key, delta (left out), key (left out: still behind), key, delta, then the reply.
    EXPECT_EQ(chunks, (std::vector<Bytes>{key, key, delta}));
    EXPECT_EQ(sent.attempts, 6u) << "the deltas after a gap are not even offered";
    EXPECT_EQ(device.refreshRequests(), 2) << "each gap asks for a key frame";
    EXPECT_EQ(sent.frames.back().kind, FrameKind::reply);
}

TEST(Router, CancellingTheAnsweringTaskEndsAnEndlessStream) {
    ScriptedDevice device;
    device.setStream({Bytes{1}}, 2ms, nullptr, /*endless=*/true);
    Router router(device);
    Sent sent;
    std::stop_source stop;
    std::thread answering([&] {
        router.answer(1, Request::stream({30, 1, 2, 1000000}), sent.send(), stop.get_token());
    });
    ASSERT_TRUE(testing::waitUntil([&] {
        std::lock_guard lock(sent.mutex);
        return !sent.frames.empty();
    })) << "the stream never sent a chunk";
    stop.request_stop();
    answering.join();
    EXPECT_EQ(device.cancelledStreams(), 1);
    // The producer notices at its next buffer.
    EXPECT_TRUE(testing::waitUntil([&] { return device.liveStreams() == 0; }));
    std::lock_guard lock(sent.mutex);
    ASSERT_GE(sent.frames.size(), 2u);
    EXPECT_EQ(sent.frames.back().kind, FrameKind::reply);
}

}  // namespace
}  // namespace tavrel
