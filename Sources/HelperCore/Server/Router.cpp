#include "HelperCore/Server/Router.hpp"

#include <cmath>
#include <exception>
#include <nlohmann/json.hpp>
#include <string>

#include "HelperCore/Accessibility/Accessibility.hpp"
#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperCore/Base/JSON.hpp"
#include "HelperCore/Replay/ReplayFile.hpp"
#include "HelperCore/Video/AnnexB.hpp"
#include "HelperCore/Video/NALUnit.hpp"

namespace tavrel {
namespace {

Bytes bytesOf(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

const Bytes& emptyObject() {
    static const Bytes bytes = bytesOf("{}");
    return bytes;
}

bool isKeyFrame(const Bytes& accessUnit) {
    for (const auto unit : AnnexB::nalUnitViews(accessUnit)) {
        if (AnnexB::type(unit) == NALUnit::idrSlice) return true;
    }
    return false;
}

// The consumer's end of a stream: leaving the answer for any reason stops production.
struct StreamConsumer {
    AsyncStream<Bytes> stream;
    ~StreamConsumer() { stream.cancel(); }
};

Bytes touchesDocument(const std::vector<RecordedTouch>& touches) {
    return bytesOf(nlohmann::json{{"touches", touches}}.dump());
}

}  // namespace

Router::Router(Device& device, std::shared_ptr<TouchLog> touches,
               std::shared_ptr<ReplayRing> replay)
    : device_(device),
      touches_(touches ? std::move(touches) : std::make_shared<TouchLog>()),
      replay_(std::move(replay)) {}

void Router::answer(std::uint32_t id, const Request& request, const Send& send,
                    std::stop_token stop) const {
    try {
        switch (request.kind()) {
            case Request::Kind::hello:
                return answerHello(id, send);
            case Request::Kind::describe:
                return answerDescribe(id, send);
            case Request::Kind::accessibility:
                return answerAccessibility(id, send);
            case Request::Kind::screenshot:
                return answerScreenshot(id, *request.asScreenshot(), send);
            case Request::Kind::hid:
                return answerHID(id, *request.asHID(), send);
            case Request::Kind::stream:
                return answerStream(id, *request.asStream(), send, std::move(stop));
            case Request::Kind::replay:
                return answerReplay(id, send);
            case Request::Kind::touches:
                return answerTouches(id, request.touchesSince(), send);
        }
    } catch (...) {
        sendFailure(id, send);
    }
}

bool Router::answerAtOnce(std::uint32_t id, const Request& request, const Send& send) const {
    if (request.kind() != Request::Kind::describe) return false;
    const auto screen = device_.screenAtOnce();
    if (!screen) return false;
    try {
        send(Frame{FrameKind::reply, id, bytesOf(JSON::encode(*screen)), {}});
    } catch (...) {
        sendFailure(id, send);
    }
    return true;
}

void Router::sendFailure(std::uint32_t id, const Send& send) noexcept {
    try {
        const std::string json = JSON::encode(HelperFailure::fromCurrentException());
        send(Frame{FrameKind::failure, id, bytesOf(json), {}});
    } catch (...) {
    }
}

Hello Router::hello() const {
    const ScreenGeometry screen = device_.screen();
    const auto coreSimulator = device_.coreSimulator();
    std::optional<std::string> hid;
    std::vector<std::string> reasons;
    try {
        hid = device_.input()->transport()->name();
    } catch (...) {
        reasons.push_back(HelperFailure::fromCurrentException().message());
    }
    Hello hello(coreSimulator, hid, reasons, screen, device_.source());
    if (replay_) hello.replaySeconds = std::llround(replay_->seconds());
    return hello;
}

void Router::answerHello(std::uint32_t id, const Send& send) const {
    device_.waitUntilWarm();
    send(Frame{FrameKind::reply, id, bytesOf(JSON::encode(hello())), {}});
}

void Router::answerDescribe(std::uint32_t id, const Send& send) const {
    send(Frame{FrameKind::reply, id, bytesOf(JSON::encode(device_.screen())), {}});
}

void Router::answerAccessibility(std::uint32_t id, const Send& send) const {
    const AXNode root = device_.tree();
    const ScreenGeometry screen = device_.screen();
    send(Frame{FrameKind::reply, id, bytesOf(AXDocument::make(root, screen).text()), {}});
}

void Router::answerScreenshot(std::uint32_t id, const ScreenshotRequest& request,
                              const Send& send) const {
    JPEG jpeg = device_.screenshot(request);
    const std::string size = JSON::encode(ImageSize{jpeg.width, jpeg.height});
    send(Frame{FrameKind::reply, id, bytesOf(size), std::move(jpeg.data)});
}

void Router::answerHID(std::uint32_t id, const std::vector<HIDEvent>& events,
                       const Send& send) const {
    const auto driver = device_.input();
    // Translated under the driver's lock, sent outside it.
    const auto steps = driver->steps(events);
    // Logged as the driver now sees the fingers, also should a send below fail.
    touches_->record(events, driver->screen(), Moment::now());
    for (const auto& step : steps) driver->transport()->send(step);
    send(Frame{FrameKind::reply, id, emptyObject(), {}});
}

void Router::answerStream(std::uint32_t id, const StreamSettings& settings, const Send& send,
                          std::stop_token stop) const {
    StreamConsumer consumer{device_.stream(settings)};
    // A cancelled task ends the sequence like its natural end; the closing reply is still
    // attempted, as the last frame of a draining connection.
    // After a gap, frames that refer to what the client missed would only show damage: the
    // client sees the last good picture until a key frame gets through.
    bool behind = false;
    while (auto buffer = consumer.stream.next(stop)) {
        if (behind && !isKeyFrame(*buffer)) continue;
        behind = !send(Frame{FrameKind::chunk, id, {}, std::move(*buffer)});
        if (behind) consumer.stream.requestRefresh();
    }
    send(Frame{FrameKind::reply, id, emptyObject(), {}});
}

}  // namespace tavrel

namespace tavrel {

void Router::answerReplay(std::uint32_t id, const Send& send) const {
    if (!replay_) {
        throw HelperFailure("the helper keeps no replay: start it with --replay-seconds N", 409);
    }
    Bytes json;
    Bytes file;
    {
        // One file is made at a time: each is a copy of the whole ring, and many clients asking
        // at once would otherwise hold as many copies while they are being made.
        std::lock_guard making(replayMaking_);
        const Moment now = Moment::now();
        const auto window = replay_->window(now.monoS);
        if (window.units.empty()) throw HelperFailure("the replay holds no pictures yet", 409);
        json = touchesDocument(touches_->relativeTo(window.origin, now));
        file = ReplayFile::encode(window);
    }
    send(Frame{FrameKind::reply, id, std::move(json), std::move(file)});
}

void Router::answerTouches(std::uint32_t id, std::optional<double> since, const Send& send) const {
    send(Frame{FrameKind::reply, id, touchesDocument(touches_->since(since, Moment::now())), {}});
}

}  // namespace tavrel
