#include "HelperCore/Commands/CaptureOptions.hpp"

#include <cctype>
#include <cmath>
#include <cstdlib>

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperCore/Commands/Arguments.hpp"

namespace tavrel {

namespace {

[[noreturn]] void refuse(std::string message) {
    throw HelperFailure(std::move(message), 400);
}

std::string required(CommandFlags& flags, const std::string& name) {
    auto value = takeFlag(flags, name);
    if (!value || value->empty()) refuse(withUsage("capture needs --" + name));
    return std::move(*value);
}

// Decimal or hexadecimal floating point with a point as separator, read to the very end. The
// helper never changes the C locale, so strtod reads the same text everywhere.
std::optional<double> number(const std::string& text) {
    if (text.empty() || std::isspace(static_cast<unsigned char>(text.front()))) return std::nullopt;
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size()) return std::nullopt;
    return value;
}

double finiteNumber(CommandFlags& flags, const std::string& name) {
    const std::string text = required(flags, name);
    const auto value = number(text);
    if (!value || !std::isfinite(*value)) refuse("--" + name + " is a number, not " + text);
    return *value;
}

// The bounds are whole seconds and are written as such.
double seconds(CommandFlags& flags, const std::string& name, double fallback, double low,
               double high) {
    const auto text = takeFlag(flags, name);
    if (!text) return fallback;
    const auto value = number(*text);
    // NaN fails both comparisons and so is refused with the rest.
    if (!value || !(*value >= low && *value <= high)) {
        refuse("--" + name + " is " + std::to_string(std::llround(low)) + " to " +
               std::to_string(std::llround(high)) + " seconds, not " + *text);
    }
    return *value;
}

}  // namespace

CaptureOptions CaptureOptions::take(CommandFlags& flags) {
    CaptureOptions options;
    options.udid = required(flags, "udid");
    options.name = required(flags, "name");
    options.socket = required(flags, "socket");
    const double width = finiteNumber(flags, "width-px");
    const double height = finiteNumber(flags, "height-px");
    const double scale = finiteNumber(flags, "scale");
    options.screen = ScreenGeometry::of(width, height, scale);
    if (auto reference = takeFlag(flags, "reference")) {
        if (!reference->starts_with('/')) {
            refuse("--reference is the absolute path of a picture, not " + *reference);
        }
        options.reference = std::move(*reference);
    }
    options.captureId = takeFlag(flags, "capture-id");
    if (const auto text = takeFlag(flags, "parent-pid")) options.parentPid = Command::pid(*text);
    if (const auto text = takeFlag(flags, "idle-key-frames")) {
        options.idleKeyFrames = Command::onOff(*text);
    }
    if (const auto text = takeFlag(flags, "replay-seconds")) {
        options.replaySeconds = Command::replaySeconds(*text);
    }
    options.waitS = seconds(flags, "wait", defaultWaitS, waitRangeLow, waitRangeHigh);
    options.lingerS = seconds(flags, "linger", defaultLingerS, lingerRangeLow, lingerRangeHigh);
    if (const auto text = takeFlag(flags, "log-level")) options.logLevel = Command::logLevel(*text);
    return options;
}

}  // namespace tavrel
