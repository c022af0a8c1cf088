#pragma once

// The request vocabulary of the wire protocol, and the two small documents answered beside it:
// the hello and a screenshot's image size.

#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "HelperCore/Input/HIDEvent.hpp"
#include "HelperCore/Screenshot/Screen.hpp"
#include "HelperCore/Screenshot/ScreenGeometry.hpp"
#include "HelperCore/Video/StreamSettings.hpp"

namespace tavrel {

/// One decoded request document. Ranges (quality, fps, ...) are not judged here but where the
/// request is carried out, so that the failure names the setting at fault.
class Request {
  public:
    enum class Kind { screenshot, hid, stream, hello, describe, accessibility, replay, touches };

    static Request screenshot(ScreenshotRequest request) {
        return Request(Kind::screenshot, request);
    }
    static Request hid(std::vector<HIDEvent> events) {
        return Request(Kind::hid, std::move(events));
    }
    static Request stream(StreamSettings settings) { return Request(Kind::stream, settings); }
    static Request hello() { return Request(Kind::hello, std::monostate{}); }
    static Request describe() { return Request(Kind::describe, std::monostate{}); }
    static Request accessibility() { return Request(Kind::accessibility, std::monostate{}); }
    static Request replay() { return Request(Kind::replay, std::monostate{}); }
    /// The touches injected at or after `since` (seconds since the Unix epoch); all kept ones
    /// without it.
    static Request touches(std::optional<double> since) {
        return Request(Kind::touches, TouchesSince{since});
    }

    /// Reads a request frame's JSON part. Throws `HelperFailure` 400: "a request that is not
    /// one: {error}" when the bytes are not a readable request document (any member of the
    /// wrong type, whatever the op), "a stream needs fps, scale, key_frame_s and bitrate", or
    /// "not a request this helper knows: {op}" ("none" when there is no op).
    static Request decode(std::span<const std::uint8_t> bytes);

    Kind kind() const noexcept { return kind_; }
    /// The "op" text of this kind of request.
    std::string_view op() const noexcept;

    /// True for `hid`, `hello` and `replay`: the connection answers them before reading the next
    /// frame, so that input goes in strictly in the client's order, and so that a client can
    /// have only one replay (a copy of the whole ring) made for it before its unsent bytes hold
    /// back what it sends next.
    bool inOrder() const noexcept {
        return kind_ == Kind::hid || kind_ == Kind::hello || kind_ == Kind::replay;
    }

    /// The payload of a screenshot, hid or stream request; null for any other kind.
    const ScreenshotRequest* asScreenshot() const {
        return std::get_if<ScreenshotRequest>(&payload_);
    }
    const std::vector<HIDEvent>* asHID() const {
        return std::get_if<std::vector<HIDEvent>>(&payload_);
    }
    const StreamSettings* asStream() const { return std::get_if<StreamSettings>(&payload_); }
    /// The "since" of a touches request: nothing when it asks for all.
    std::optional<double> touchesSince() const {
        const auto* touches = std::get_if<TouchesSince>(&payload_);
        return touches ? touches->since : std::nullopt;
    }

    bool operator==(const Request&) const = default;

  private:
    struct TouchesSince {
        std::optional<double> since;
        bool operator==(const TouchesSince&) const = default;
    };
    using Payload = std::variant<std::monostate, ScreenshotRequest, std::vector<HIDEvent>,
                                 StreamSettings, TouchesSince>;

    Request(Kind kind, Payload payload) : kind_(kind), payload_(std::move(payload)) {}

    Kind kind_;
    Payload payload_;
};

/// The answer to "hello": what the helper speaks, what it shows, and whether input works.
/// Every member is always written, absent texts as null.
struct Hello {
    /// `wire` and `version` are the helper's own.
    Hello(std::optional<std::string> coreSimulator, std::optional<std::string> hid,
          std::vector<std::string> reasons, ScreenGeometry screen,
          std::optional<std::string> source);

    int wire;
    std::string version;
    std::optional<std::string> coreSimulator;
    /// The HID transport's name; absent when input is unavailable.
    std::optional<std::string> hid;
    /// Empty when input is available, else the one failure message that made it unavailable.
    std::vector<std::string> reasons;
    ScreenGeometry screen;
    std::optional<std::string> source;
    /// How many seconds of the screen the helper keeps for a replay; written only when it
    /// keeps some, so a hello of a helper without one reads as it always did.
    std::optional<std::int64_t> replaySeconds;

    bool operator==(const Hello&) const = default;
};

void to_json(nlohmann::json& json, const Hello& hello);

/// The JSON part of a screenshot reply: the pixel size of the JPEG beside it.
struct ImageSize {
    std::int64_t width;
    std::int64_t height;

    bool operator==(const ImageSize&) const = default;
};

void to_json(nlohmann::json& json, const ImageSize& size);

}  // namespace tavrel
