#include "HelperCore/Commands/Arguments.hpp"

#include <algorithm>
#include <charconv>
#include <limits>

#include "HelperCore/Base/HelperFailure.hpp"

namespace tavrel {

namespace {

[[noreturn]] void refuse(std::string message) {
    throw HelperFailure(std::move(message), 400);
}

bool isAbsolute(const std::optional<std::string>& path) {
    return path && path->starts_with('/');
}

}  // namespace

std::optional<std::string> takeFlag(CommandFlags& flags, const std::string& name) {
    const auto found = flags.find(name);
    if (found == flags.end()) return std::nullopt;
    std::string value = std::move(found->second);
    flags.erase(found);
    return value;
}

std::string withUsage(std::string_view message) {
    std::string text(message);
    text += '\n';
    text += Command::usage;
    return text;
}

Command Command::parse(const std::vector<std::string>& arguments) {
    if (arguments.empty()) refuse(std::string(usage));
    const std::string& word = arguments.front();
    // Flags are read before the word is looked at, so a malformed flag wins over a bad word.
    CommandFlags flags = Command::flags({arguments.begin() + 1, arguments.end()});

    if (word == "version") {
        refuseLeftovers(flags);
        return {Version{}};
    }
    if (word == "serve") {
        ServeOptions options;
        options.device = DeviceOptions::take(flags);
        const auto socket = takeFlag(flags, "socket");
        if (!socket || socket->empty()) refuse(withUsage("serve needs --socket"));
        options.socket = *socket;
        if (const auto text = takeFlag(flags, "parent-pid")) options.parentPid = pid(*text);
        if (const auto text = takeFlag(flags, "idle-key-frames"))
            options.idleKeyFrames = onOff(*text);
        if (const auto text = takeFlag(flags, "replay-seconds"))
            options.replaySeconds = replaySeconds(*text);
        if (const auto text = takeFlag(flags, "log-level")) options.logLevel = logLevel(*text);
        refuseLeftovers(flags);
        return {std::move(options)};
    }
    if (word == "self-check") {
        SelfCheck selfCheck{DeviceOptions::take(flags)};
        refuseLeftovers(flags);
        return {std::move(selfCheck)};
    }
    if (word == "render") {
        const auto job = takeFlag(flags, "job");
        if (!isAbsolute(job)) {
            refuse(withUsage("render needs --job and the absolute path of its job"));
        }
        refuseLeftovers(flags);
        return {Render{*job}};
    }
    if (word == "capture") {
        CaptureOptions options = CaptureOptions::take(flags);
        refuseLeftovers(flags);
        return {std::move(options)};
    }
    refuse(withUsage("not a command: " + word));
}

CommandFlags Command::flags(const std::vector<std::string>& arguments) {
    CommandFlags flags;
    for (std::size_t at = 0; at < arguments.size(); at += 2) {
        const std::string& flag = arguments[at];
        if (flag.size() < 3 || !flag.starts_with("--")) refuse(withUsage("not a flag: " + flag));
        if (at + 1 == arguments.size()) refuse(flag + " needs a value");
        flags[flag.substr(2)] = arguments[at + 1];
    }
    return flags;
}

void Command::refuseLeftovers(const CommandFlags& flags) {
    if (!flags.empty()) refuse(withUsage("not a flag here: --" + flags.begin()->first));
}

std::int32_t Command::pid(std::string_view text) {
    std::string_view digits = text;
    bool negative = false;
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
        negative = digits.front() == '-';
        digits.remove_prefix(1);
    }
    // from_chars would take a sign of its own; only bare digits are read here.
    std::int64_t magnitude = 0;
    const bool allDigits =
        !digits.empty() && digits.find_first_not_of("0123456789") == std::string_view::npos;
    const auto [end, error] =
        allDigits ? std::from_chars(digits.data(), digits.data() + digits.size(), magnitude)
                  : std::from_chars_result{digits.data(), std::errc::invalid_argument};
    const std::int64_t value = negative ? -magnitude : magnitude;
    if (error != std::errc() || end != digits.data() + digits.size() || value < 2 ||
        value > std::numeric_limits<std::int32_t>::max()) {
        refuse("not a pid: " + std::string(text));
    }
    return static_cast<std::int32_t>(value);
}

bool Command::onOff(std::string_view text) {
    if (text == "on") return true;
    if (text == "off") return false;
    refuse("--idle-key-frames is on or off, not " + std::string(text));
}

std::int64_t Command::replaySeconds(std::string_view text) {
    std::int64_t value = -1;
    if (!text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos) {
        // Leading zeros dropped, three digits at most: no run of digits overflows on its way.
        std::string_view digits = text.substr(std::min(text.find_first_not_of('0'), text.size()));
        if (digits.empty())
            value = 0;
        else if (digits.size() <= 3)
            std::from_chars(digits.data(), digits.data() + digits.size(), value);
    }
    if (value < 0 || value > mostReplaySeconds) {
        refuse("--replay-seconds is a whole number 0 to " + std::to_string(mostReplaySeconds) +
               ", not " + std::string(text));
    }
    return value;
}

Log::Level Command::logLevel(std::string_view text) {
    if (const auto level = Log::levelNamed(text)) return *level;
    refuse("not a log level: " + std::string(text));
}

DeviceOptions DeviceOptions::take(CommandFlags& flags) {
    DeviceOptions options;
    const auto udid = takeFlag(flags, "udid");
    if (!udid || udid->empty()) refuse(withUsage("a device is named with --udid"));
    options.udid = *udid;
    if (const auto hid = takeFlag(flags, "hid")) {
        const auto preference = TransportPolicy::preferenceNamed(*hid);
        if (!preference) refuse("--hid is auto, dtuhid or indigo, not " + *hid);
        options.hid = *preference;
    }
    return options;
}

}  // namespace tavrel
