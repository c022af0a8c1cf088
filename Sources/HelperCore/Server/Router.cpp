#include "HelperCore/Server/Router.hpp"

#include <exception>
#include <string>

#include "HelperCore/Accessibility/Accessibility.hpp"
#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperCore/Base/JSON.hpp"
#include "HelperCore/Concurrency/JobFailures.hpp"
#include "HelperCore/Video/AnnexB.hpp"

namespace tavrel {
namespace {

Bytes bytesOf(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

const Bytes& emptyObject() {
    static const Bytes bytes = bytesOf("{}");
    return bytes;
}

// The consumer's end of a stream: leaving the answer for any reason stops production.
struct StreamConsumer {
    AsyncStream<Bytes> stream;
    ~StreamConsumer() { stream.cancel(); }
};

}  // namespace

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
    } catch (const HelperFailure&) {
        // The socket failed or was closed: its writer keeps that, and the connection ends on it.
    } catch (...) {
        JobFailures::reportCurrent("the failure frame of an answer");
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
    return Hello(coreSimulator, hid, reasons, screen, device_.source());
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
        if (behind && !AnnexB::isKeyFrame(*buffer)) continue;
        behind = !send(Frame{FrameKind::chunk, id, {}, std::move(*buffer)});
        if (behind) consumer.stream.requestRefresh();
    }
    send(Frame{FrameKind::reply, id, emptyObject(), {}});
}

}  // namespace tavrel
