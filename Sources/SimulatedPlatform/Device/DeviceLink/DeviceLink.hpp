// DeviceLink: a client connection to a booted simulated device (tavrel-simdevice).
//
// The stand-in frameworks in the helper process use it to reach the device: its
// description, its display surfaces (shared memory, mapped read-only), frame and
// "surfaces changed" notifications, input events, and accessibility reads.
//
// Transport: a SOCK_SEQPACKET Unix socket "device.sock" in the device's folder; one
// JSON text per packet, the surfaces' memfd passed with SCM_RIGHTS. The format is
// private to this library and tavrel-simdevice.
//
// Threads: a DeviceLink owns one reading thread ("tavrel.link.read") that receives
// replies and notifications, and one delivery thread ("tavrel.link.call") that calls
// the subscribers' callbacks, one at a time, in order. Callbacks may call any method of
// the link (including unsubscribe and synchronous requests) but should return quickly;
// no lock is held while a callback runs. All methods are thread-safe. The destructor
// closes the socket, joins both threads, and returns only when no callback is running
// (do not destroy a link from inside its own callback).
//
// Failures: requests throw DeviceLinkError (device gone, refused request, timeout of
// `requestTimeoutS`). Once the device goes away, every request throws and the
// subscribers of "disconnected" are told once.
#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "SimulatedPlatform/Device/Surface/SharedSurfaces.hpp"

namespace tavrel::sim {

class DeviceLinkError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

/// What the device says about itself.
struct DeviceInfo {
    std::string udid;
    std::string name;
    std::string type;     // "iPhone-15-Pro", ...
    std::string runtime;  // "modern" (publishes the digitizer service) or "legacy"
    int widthPx = 0;
    int heightPx = 0;
    double scale = 1;  // pixels per point
    int widthPt = 0;
    int heightPt = 0;
};

/// One complete frame, as announced to frame subscribers.
struct FrameNotice {
    uint32_t surface = 0;  // index of the surface now in front
    uint32_t seed = 0;     // that surface's seed (the frame's)
    uint64_t drawnNs = 0;  // CLOCK_MONOTONIC time the frame was complete (same machine)
};

/// Touch phases, as the digitizer has them.
enum class TouchPhase : int { start = 0, move = 1, end = 2 };

/// One finger's part in a report of two fingers.
struct Contact {
    TouchPhase phase = TouchPhase::start;
    double x = 0, y = 0;  // points
};

/// An input event. Touch positions are in screen POINTS from the top-left corner
/// (multiply the 0…1 fractions of a digitizer message by widthPt/heightPt). Points
/// outside the screen are clamped by the device. `touch` is a report of the first finger
/// alone; `touches` one in which the second finger takes part (either may be absent, not both).
struct InputEvent {
    enum class Kind { touch, button, key, touches };
    Kind kind = Kind::touch;
    TouchPhase phase = TouchPhase::start;  // touch
    double x = 0, y = 0;                   // touch, points
    std::optional<Contact> one, two;       // touches
    uint32_t usagePage = 0;                // button: 0x0C consumer page (0x40 home,
                                           //   0x30 power, 0xCF voice command)
    uint32_t usage = 0;                    // button usage, or key usage (keyboard page 7)
    bool down = false;                     // button, key

    static InputEvent touch(TouchPhase phase, double xPt, double yPt);
    static InputEvent touches(std::optional<Contact> one, std::optional<Contact> two);
    static InputEvent button(uint32_t usagePage, uint32_t usage, bool down);
    static InputEvent key(uint32_t usage, bool down);
};

/// Accessibility trait bits (bit numbers of the system's trait table).
namespace traits {
constexpr uint64_t button = 1ull << 0;
constexpr uint64_t image = 1ull << 2;
constexpr uint64_t selected = 1ull << 3;
constexpr uint64_t staticText = 1ull << 6;
constexpr uint64_t notEnabled = 1ull << 8;
constexpr uint64_t updatesFrequently = 1ull << 9;
constexpr uint64_t adjustable = 1ull << 12;
constexpr uint64_t allowsDirectInteraction = 1ull << 13;
constexpr uint64_t header = 1ull << 16;
constexpr uint64_t textEntry = 1ull << 18;
constexpr uint64_t isEditing = 1ull << 21;
constexpr uint64_t launchIcon = 1ull << 22;
constexpr uint64_t statusBarElement = 1ull << 23;
constexpr uint64_t scrollable = 1ull << 33;
constexpr uint64_t containedByList = 1ull << 44;
constexpr uint64_t supportsZoom = 1ull << 46;
constexpr uint64_t toggle = 1ull << 53;
}  // namespace traits

class DeviceLink {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr double requestTimeoutS = 5;

    /// Connects to the device whose folder is `directory` (see DeviceSet). Throws
    /// DeviceLinkError when it is not booted or does not answer.
    explicit DeviceLink(const std::filesystem::path& directory);
    ~DeviceLink();
    DeviceLink(const DeviceLink&) = delete;
    DeviceLink& operator=(const DeviceLink&) = delete;

    /// The device's description (read once at connection).
    const DeviceInfo& info() const;

    /// The display's surfaces, mapped read-only. The same set is returned until the
    /// device reports "surfaces changed"; then the next call maps the new one. The set
    /// keeps its memory alive for as long as it (or any SurfaceView of it) lives.
    std::shared_ptr<const SurfaceSet> surfaces();

    /// Frame notifications: `callback` runs on the delivery thread for each complete
    /// frame drawn after subscribing. Returns a token for unsubscribe.
    using FrameCallback = std::function<void(const FrameNotice&)>;
    uint64_t subscribeFrames(FrameCallback callback);
    /// "Surfaces changed" notifications (the device replaced its surfaces).
    uint64_t subscribeSurfacesChanged(std::function<void()> callback);
    /// Told once when the device goes away (shut down, killed) or the link breaks.
    uint64_t subscribeDisconnected(std::function<void()> callback);
    /// Removes a subscription of any kind. After it returns, the callback is not running
    /// and will not run again (unless called from inside that very callback).
    void unsubscribe(uint64_t token);

    /// Applies one input event; returns once the device has applied it (so a read of the
    /// accessibility tree afterwards sees its effect).
    void send(const InputEvent& event);

    /// An accessibility request. Requests:
    ///   {"request":"frontmost"} → {"frontmost": ELEMENT} or {"frontmost": null} on the
    ///   lock screen (no frontmost application).
    /// ELEMENT: {"role": "AXButton", "subrole": text|null, "label": text|null,
    ///   "title": text|null, "identifier": text|null, "value": text|number|null,
    ///   "frame": {"x","y","width","height"} (points, screen coordinates),
    ///   "traits": unsigned integer (bits, see `traits`), "enabled": bool,
    ///   "children": [ELEMENT...]}. The application element has role "AXApplication".
    /// Unknown requests yield {"error": "..."}.
    nlohmann::json accessibility(const nlohmann::json& request);
    /// Convenience: the frontmost application's element, or null.
    nlohmann::json frontmostApplication();

    /// Starts or stops the moving object that makes the device redraw at 60 fps.
    void setAnimating(bool on);
    /// True until the device has gone away.
    bool connected() const;

  private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace tavrel::sim
