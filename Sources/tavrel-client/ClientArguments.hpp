#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "HelperCore/Screenshot/Screen.hpp"
#include "tavrel-client/Mcp/McpCommand.hpp"

namespace tavrel::client {

/// A command line the client cannot act on; the program prints it with the usage and exits 2.
class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct HelloCommand {
    bool operator==(const HelloCommand&) const = default;
};
struct DescribeCommand {
    bool operator==(const DescribeCommand&) const = default;
};
struct ScreenshotCommand {
    std::string file;
    std::optional<std::int64_t> maxWidth;
    std::optional<std::int64_t> quality;
    std::optional<Crop> crop;
    bool operator==(const ScreenshotCommand&) const = default;
};
/// Where a touch command appends the touch it made, as a recorded-touch JSON line.
struct TouchLog {
    std::string file;
    /// A recording's start (seconds since the epoch): the logged time is then on its clock.
    double since = 0;
    bool operator==(const TouchLog&) const = default;
};
struct TapCommand {
    double x = 0;
    double y = 0;
    /// When set, the centre of the element with this identifier, found when the tap is made.
    std::string element;
    std::optional<TouchLog> log;
    bool operator==(const TapCommand&) const = default;
};
struct SwipeCommand {
    double x1 = 0, y1 = 0, x2 = 0, y2 = 0;
    double seconds = 0.3;
    std::optional<TouchLog> log;
    bool operator==(const SwipeCommand&) const = default;
};
/// Two fingers centred on a point, or on an element's centre found when the gesture is made:
/// they spread to `scale` times their distance (a pinch) or turn by `degrees` clockwise (a
/// rotation) over `seconds`.
struct PinchCommand {
    double x = 0;
    double y = 0;
    std::string element;
    double scale = 1;
    double seconds = 0.5;
    std::optional<TouchLog> log;
    bool operator==(const PinchCommand&) const = default;
};
struct RotateCommand {
    double x = 0;
    double y = 0;
    std::string element;
    double degrees = 0;
    double seconds = 0.5;
    std::optional<TouchLog> log;
    bool operator==(const RotateCommand&) const = default;
};
/// The live stream written as a frame file, and beside it (FILE.job.json) a render job with the
/// touches the helper injected meanwhile.
struct RecordCommand {
    std::string file;
    double seconds = 0;
    std::int64_t fps = 30;
    double scale = 1;
    bool operator==(const RecordCommand&) const = default;
};
/// The helper's last seconds rendered with the touches painted on.
struct ReplayCommand {
    std::string mp4;
    std::optional<std::string> gif;
    bool operator==(const ReplayCommand&) const = default;
};
struct ButtonCommand {
    std::string name;
    double holdS = 0;
    bool operator==(const ButtonCommand&) const = default;
};
struct KeyCommand {
    std::int64_t code = 0;
    bool operator==(const KeyCommand&) const = default;
};
struct TypeCommand {
    std::string text;
    bool operator==(const TypeCommand&) const = default;
};
struct ElementCommand {
    std::string identifier;
    bool operator==(const ElementCommand&) const = default;
};
struct AccessibilityCommand {
    bool raw = false;
    /// One element a line, as the MCP server's ui_tree gives it.
    bool compact = false;
    bool operator==(const AccessibilityCommand&) const = default;
};
struct StreamCommand {
    std::string file;
    double seconds = 0;
    std::int64_t fps = 30;
    double scale = 1;
    double keyFrameS = 2;
    std::int64_t bitrate = 4000000;
    bool operator==(const StreamCommand&) const = default;
};

/// The live viewer in a browser.
struct ViewCommand {
    /// 0 takes any free port.
    std::int64_t port = 0;
    std::string bind = "127.0.0.1";
    std::int64_t fps = 30;
    double scale = 0.5;
    double keyFrameS = 2;
    std::int64_t bitrate = 4000000;
    bool operator==(const ViewCommand&) const = default;
};

using ClientCommand =
    std::variant<HelloCommand, DescribeCommand, ScreenshotCommand, TapCommand, SwipeCommand,
                 ButtonCommand, KeyCommand, TypeCommand, AccessibilityCommand, ElementCommand,
                 StreamCommand, RecordCommand, ViewCommand, McpCommand, PinchCommand, RotateCommand,
                 ReplayCommand>;

struct ClientInvocation {
    std::string socket;
    /// How long to wait for each answer.
    double timeoutS = 30;
    ClientCommand command;
    bool operator==(const ClientInvocation&) const = default;
};

namespace ClientArguments {

/// The usage text, several lines, no final newline.
extern const char* const usage;

/// The arguments after the program path. Throws UsageError.
ClientInvocation parse(const std::vector<std::string>& arguments);

/// Strict readers: the whole text, finite, C locale. Throw UsageError naming `what`.
double number(const std::string& text, const std::string& what);
std::int64_t integer(const std::string& text, const std::string& what);
Crop crop(const std::string& text);

}  // namespace ClientArguments

}  // namespace tavrel::client
