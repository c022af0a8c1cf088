#include "tavrel-client/ClientArguments.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <map>

namespace tavrel::client {
namespace ClientArguments {

namespace {

// Positional arguments and --flags of one command; a flag always takes a value except those
// listed as switches.
struct Split {
    std::vector<std::string> positional;
    std::map<std::string, std::string> flags;
    std::map<std::string, bool> switches;
    /// Every flag with its value in the order given, for flags that may come several times.
    std::vector<std::pair<std::string, std::string>> given;
};

Split split(const std::vector<std::string>& items, std::size_t from,
            const std::vector<std::string>& valueFlags,
            const std::vector<std::string>& switchFlags) {
    Split result;
    for (std::size_t index = from; index < items.size(); ++index) {
        const std::string& item = items[index];
        // A lone "-" and negative numbers are values, not flags.
        if (item.size() > 2 && item.starts_with("--")) {
            const std::string name = item.substr(2);
            if (std::find(switchFlags.begin(), switchFlags.end(), name) != switchFlags.end()) {
                result.switches[name] = true;
                continue;
            }
            if (std::find(valueFlags.begin(), valueFlags.end(), name) == valueFlags.end()) {
                throw UsageError("not a flag of " + items[from - 1] + ": " + item);
            }
            if (index + 1 == items.size()) throw UsageError(item + " needs a value");
            result.flags[name] = items[++index];
            result.given.emplace_back(name, items[index]);
            continue;
        }
        result.positional.push_back(item);
    }
    return result;
}

std::optional<TouchLog> touchLog(Split& parts) {
    if (!parts.flags.contains("log")) {
        if (parts.flags.contains("since")) throw UsageError("--since goes with --log FILE");
        return std::nullopt;
    }
    TouchLog log{parts.flags["log"]};
    if (parts.flags.contains("since")) log.since = number(parts.flags["since"], "--since");
    return log;
}

void needPositional(const Split& split, std::size_t count, const std::string& command,
                    const std::string& what) {
    if (split.positional.size() != count) throw UsageError(command + " takes " + what);
}

// --fps and --scale, read the same way by every command that streams.
template <class Command>
void readRateAndScale(Split& parts, Command& result) {
    if (parts.flags.contains("fps")) result.fps = integer(parts.flags["fps"], "--fps");
    if (parts.flags.contains("scale")) result.scale = number(parts.flags["scale"], "--scale");
}

// What stream and record share: one FILE, a required --seconds above 0, the rate and scale.
template <class Command>
Command recording(Split& parts, const std::string& name) {
    needPositional(parts, 1, name, "one FILE");
    if (!parts.flags.contains("seconds")) throw UsageError(name + " needs --seconds");
    Command result;
    result.file = parts.positional[0];
    result.seconds = number(parts.flags["seconds"], "--seconds");
    if (!(result.seconds > 0)) {
        throw UsageError("--seconds is more than 0, not " + parts.flags["seconds"]);
    }
    readRateAndScale(parts, result);
    return result;
}

double boundedFlag(Split& parts, const std::string& flag, double lowest, double highest,
                   const std::string& range) {
    const double value = number(parts.flags[flag], "--" + flag);
    if (value < lowest || value > highest) {
        throw UsageError("--" + flag + " is " + range + ", not " + parts.flags[flag]);
    }
    return value;
}

// pinch and rotate: the centre as X Y or --element, the one flag that says what the fingers do
// (--scale or --degrees, required), --seconds and the log.
template <class Command>
Command twoFingers(Split& parts, const std::string& name, const std::string& what, double lowest,
                   double highest, const std::string& range) {
    Command result;
    if (parts.flags.contains("element")) {
        needPositional(parts, 0, name, "X Y or --element IDENTIFIER, not both");
        result.element = parts.flags["element"];
    } else {
        needPositional(parts, 2, name, "X Y or --element IDENTIFIER");
        result.x = number(parts.positional[0], "X");
        result.y = number(parts.positional[1], "Y");
    }
    if (!parts.flags.contains(what)) throw UsageError(name + " needs --" + what);
    const double amount = boundedFlag(parts, what, lowest, highest, range);
    if constexpr (std::is_same_v<Command, PinchCommand>) {
        result.scale = amount;
    } else {
        result.degrees = amount;
    }
    if (parts.flags.contains("seconds")) {
        result.seconds = boundedFlag(parts, "seconds", 0, 60, "0 to 60");
    }
    result.log = touchLog(parts);
    return result;
}

// One command: its word, its line in the usage, the flags it takes (a value follows each, a
// switch stands alone) and how its arguments become the command.
struct CommandEntry {
    std::string name;
    std::string usage;
    std::vector<std::string> flags;
    std::vector<std::string> switches;
    ClientCommand (*parse)(Split& parts, const std::string& name);
};

const std::vector<CommandEntry>& commands() {
    static const std::vector<CommandEntry> table = {
        {"hello",
         "hello",
         {},
         {},
         [](Split& parts, const std::string& name) -> ClientCommand {
             needPositional(parts, 0, name, "no arguments");
             return HelloCommand{};
         }},
        {"describe",
         "describe",
         {},
         {},
         [](Split& parts, const std::string& name) -> ClientCommand {
             needPositional(parts, 0, name, "no arguments");
             return DescribeCommand{};
         }},
        {"screenshot",
         "screenshot FILE [--max-width N] [--quality Q] [--crop X,Y,W,H]",
         {"max-width", "quality", "crop"},
         {},
         [](Split& parts, const std::string& name) -> ClientCommand {
             needPositional(parts, 1, name, "one FILE");
             ScreenshotCommand result{parts.positional[0], {}, {}, {}};
             if (parts.flags.contains("max-width")) {
                 result.maxWidth = integer(parts.flags["max-width"], "--max-width");
             }
             if (parts.flags.contains("quality")) {
                 result.quality = integer(parts.flags["quality"], "--quality");
             }
             if (parts.flags.contains("crop")) result.crop = crop(parts.flags["crop"]);
             return result;
         }},
        {"tap",
         "tap X Y | tap --element IDENTIFIER [--log FILE [--since T]]",
         {"element", "log", "since"},
         {},
         [](Split& parts, const std::string& name) -> ClientCommand {
             const auto log = touchLog(parts);
             if (parts.flags.contains("element")) {
                 needPositional(parts, 0, name, "X Y or --element IDENTIFIER, not both");
                 return TapCommand{0, 0, parts.flags["element"], log};
             }
             needPositional(parts, 2, name, "X Y or --element IDENTIFIER");
             return TapCommand{number(parts.positional[0], "X"), number(parts.positional[1], "Y"),
                               "", log};
         }},
        {"swipe",
         "swipe X1 Y1 X2 Y2 [--seconds S] [--log FILE [--since T]]",
         {"seconds", "log", "since"},
         {},
         [](Split& parts, const std::string& name) -> ClientCommand {
             needPositional(parts, 4, name, "X1 Y1 X2 Y2");
             SwipeCommand result{number(parts.positional[0], "X1"),
                                 number(parts.positional[1], "Y1"),
                                 number(parts.positional[2], "X2"),
                                 number(parts.positional[3], "Y2"),
                                 0.3,
                                 std::nullopt};
             if (parts.flags.contains("seconds")) {
                 result.seconds = number(parts.flags["seconds"], "--seconds");
                 if (result.seconds < 0 || result.seconds > 60) {
                     throw UsageError("--seconds is 0 to 60, not " + parts.flags["seconds"]);
                 }
             }
             result.log = touchLog(parts);
             return result;
         }},
        {"pinch",
         "pinch (X Y | --element IDENTIFIER) --scale S [--seconds S] [--log FILE [--since T]]",
         {"scale", "element", "seconds", "log", "since"},
         {},
         [](Split& parts, const std::string& name) -> ClientCommand {
             return twoFingers<PinchCommand>(parts, name, "scale", 0.1, 10, "0.1 to 10");
         }},
        {"rotate",
         "rotate (X Y | --element IDENTIFIER) --degrees D [--seconds S] [--log FILE [--since T]]",
         {"degrees", "element", "seconds", "log", "since"},
         {},
         [](Split& parts, const std::string& name) -> ClientCommand {
             return twoFingers<RotateCommand>(parts, name, "degrees", -720, 720, "-720 to 720");
         }},
        {"button",
         "button home|lock|side|siri|apple_pay [--hold S]",
         {"hold"},
         {},
         [](Split& parts, const std::string& name) -> ClientCommand {
             needPositional(parts, 1, name, "one NAME");
             ButtonCommand result{parts.positional[0]};
             if (parts.flags.contains("hold")) {
                 result.holdS = number(parts.flags["hold"], "--hold");
                 if (result.holdS < 0 || result.holdS > 60) {
                     throw UsageError("--hold is 0 to 60 seconds, not " + parts.flags["hold"]);
                 }
             }
             return result;
         }},
        {"key",
         "key CODE",
         {},
         {},
         [](Split& parts, const std::string& name) -> ClientCommand {
             needPositional(parts, 1, name, "one CODE");
             return KeyCommand{integer(parts.positional[0], "CODE")};
         }},
        {"type",
         "type TEXT",
         {},
         {},
         [](Split& parts, const std::string& name) -> ClientCommand {
             needPositional(parts, 1, name, "one TEXT (quote it when it has spaces)");
             return TypeCommand{parts.positional[0]};
         }},
        {"accessibility",
         "accessibility [--raw | --compact]",
         {},
         {"raw", "compact"},
         [](Split& parts, const std::string& name) -> ClientCommand {
             needPositional(parts, 0, name, "no arguments");
             if (parts.switches.contains("raw") && parts.switches.contains("compact")) {
                 throw UsageError("accessibility takes --raw or --compact, not both");
             }
             return AccessibilityCommand{parts.switches.contains("raw"),
                                         parts.switches.contains("compact")};
         }},
        {"element",
         "element IDENTIFIER",
         {},
         {},
         [](Split& parts, const std::string& name) -> ClientCommand {
             needPositional(parts, 1, name, "one IDENTIFIER");
             return ElementCommand{parts.positional[0]};
         }},
        {"stream",
         "stream FILE --seconds N [--fps N] [--scale S] [--key-frame-s S] [--bitrate N]",
         {"seconds", "fps", "scale", "key-frame-s", "bitrate"},
         {},
         [](Split& parts, const std::string& name) -> ClientCommand {
             auto result = recording<StreamCommand>(parts, name);
             if (parts.flags.contains("key-frame-s")) {
                 result.keyFrameS = number(parts.flags["key-frame-s"], "--key-frame-s");
             }
             if (parts.flags.contains("bitrate")) {
                 result.bitrate = integer(parts.flags["bitrate"], "--bitrate");
             }
             return result;
         }},
        {"record",
         "record FILE --seconds N [--fps N] [--scale S]   (and FILE.job.json to render it)",
         {"seconds", "fps", "scale"},
         {},
         [](Split& parts, const std::string& name) -> ClientCommand {
             return recording<RecordCommand>(parts, name);
         }},
        {"replay",
         "replay FILE.mp4 [--gif FILE.gif]   (the helper's last seconds, touches painted on)",
         {"gif"},
         {},
         [](Split& parts, const std::string& name) -> ClientCommand {
             needPositional(parts, 1, name, "one FILE.mp4");
             // render writes the format the job names, whatever the file is called.
             ReplayCommand result{parts.positional[0], std::nullopt};
             if (!result.mp4.ends_with(".mp4") || result.mp4 == ".mp4") {
                 throw UsageError("replay writes FILE.mp4, not " + result.mp4);
             }
             if (parts.flags.contains("gif")) {
                 result.gif = parts.flags["gif"];
                 if (!result.gif->ends_with(".gif") || *result.gif == ".gif") {
                     throw UsageError("--gif names FILE.gif, not " + *result.gif);
                 }
             }
             return result;
         }},
        {"view",
         "view [--port N] [--bind ADDR] [--fps N] [--scale S]",
         {"port", "bind", "fps", "scale"},
         {},
         [](Split& parts, const std::string& name) -> ClientCommand {
             needPositional(parts, 0, name, "no arguments");
             ViewCommand result;
             if (parts.flags.contains("port")) {
                 result.port = integer(parts.flags["port"], "--port");
                 if (result.port < 0 || result.port > 65535) {
                     throw UsageError("--port is 0 to 65535, not " + parts.flags["port"]);
                 }
             }
             if (parts.flags.contains("bind")) result.bind = parts.flags["bind"];
             readRateAndScale(parts, result);
             return result;
         }},
        {"mcp",
         "mcp [--socket PATH]... [--udid UDID]...   (a Model Context Protocol server on stdio)",
         {"socket", "udid"},
         {},
         [](Split& parts, const std::string& name) -> ClientCommand {
             needPositional(parts, 0, name, "no arguments");
             return McpArguments::parse(parts.given);
         }},
    };
    return table;
}

ClientCommand command(const std::vector<std::string>& items, std::size_t at) {
    const std::string& word = items[at];
    for (const auto& entry : commands()) {
        if (entry.name != word) continue;
        auto parts = split(items, at + 1, entry.flags, entry.switches);
        return entry.parse(parts, entry.name);
    }
    throw UsageError("not a command: " + word);
}

const char* usageText() {
    static const std::string text = [] {
        std::string lines =
            "usage: tavrel-client --socket PATH [--timeout SECONDS] COMMAND ...\n"
            "commands:\n";
        for (const auto& entry : commands()) lines += "  " + entry.usage + "\n";
        return lines + "points are the screen's points; FILE - writes to standard output";
    }();
    return text.c_str();
}

}  // namespace

const char* const usage = usageText();

double number(const std::string& text, const std::string& what) {
    double value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end || !std::isfinite(value)) {
        throw UsageError(what + " is a number, not " + text);
    }
    return value;
}

std::int64_t integer(const std::string& text, const std::string& what) {
    std::int64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end) {
        throw UsageError(what + " is a whole number, not " + text);
    }
    return value;
}

Crop crop(const std::string& text) {
    std::vector<double> values;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = text.find(',', start);
        values.push_back(number(
            text.substr(start, comma == std::string::npos ? std::string::npos : comma - start),
            "--crop"));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    if (values.size() != 4) throw UsageError("--crop is X,Y,W,H in points, not " + text);
    return Crop{values[0], values[1], values[2], values[3]};
}

ClientInvocation parse(const std::vector<std::string>& arguments) {
    ClientInvocation invocation;
    std::size_t at = 0;
    while (at < arguments.size() && arguments[at].starts_with("--")) {
        const std::string& flag = arguments[at];
        if (at + 1 == arguments.size()) throw UsageError(flag + " needs a value");
        const std::string& value = arguments[at + 1];
        if (flag == "--socket") {
            invocation.socket = value;
        } else if (flag == "--timeout") {
            invocation.timeoutS = number(value, "--timeout");
            if (!(invocation.timeoutS > 0))
                throw UsageError("--timeout is more than 0, not " + value);
        } else {
            throw UsageError("not a flag: " + flag);
        }
        at += 2;
    }
    if (at == arguments.size()) {
        if (invocation.socket.empty()) throw UsageError("the helper is named with --socket PATH");
        throw UsageError("no command");
    }
    invocation.command = command(arguments, at);
    if (auto* mcp = std::get_if<McpCommand>(&invocation.command)) {
        // The server takes its helpers after the command too, and may start its own.
        if (!invocation.socket.empty())
            mcp->sockets.insert(mcp->sockets.begin(), invocation.socket);
        if (mcp->sockets.empty() && mcp->udids.empty()) {
            throw UsageError("mcp needs a helper: --socket PATH or --udid UDID");
        }
        return invocation;
    }
    if (invocation.socket.empty()) throw UsageError("the helper is named with --socket PATH");
    return invocation;
}

}  // namespace ClientArguments
}  // namespace tavrel::client
