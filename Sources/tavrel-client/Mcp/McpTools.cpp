#include "tavrel-client/Mcp/McpTools.hpp"

#include <cctype>
#include <filesystem>
#include <iostream>
#include <thread>

#include "HelperCore/Base/HelperFailure.hpp"
#include "tavrel-client/ClientArguments.hpp"
#include "tavrel-client/ClientRecording.hpp"
#include "tavrel-client/ClientReplay.hpp"
#include "tavrel-client/ClientRequests.hpp"
#include "tavrel-client/Mcp/CompactTree.hpp"
#include "tavrel-client/Mcp/ElementQuery.hpp"
#include "tavrel-client/Mcp/JsonRpc.hpp"
#include "tavrel-client/Mcp/ScreenCapture.hpp"
#include "tavrel-client/Mcp/ToolArguments.hpp"
#include "tavrel-client/Mcp/ToolError.hpp"
#include "tavrel-client/Mcp/ToolTable.hpp"

namespace tavrel::client::mcp {
namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

[[noreturn]] void refuse(const std::string& argument, const std::string& why) {
    throw JsonRpc::Error(JsonRpc::invalidParams, "Invalid arguments: " + argument + " " + why,
                         {{"argument", argument}});
}

json textBlock(const std::string& text) {
    return {{"type", "text"}, {"text", text}};
}

json result(json content) {
    return {{"content", std::move(content)}};
}

std::optional<std::string> optionalText(const json& arguments, const char* key) {
    const auto found = arguments.find(key);
    if (found == arguments.end()) return std::nullopt;
    return found->get<std::string>();
}

std::string point(double x, double y) {
    const auto rounded = [](double value) { return std::round(value * 10) / 10; };
    return "(" + json(rounded(x)).dump() + ", " + json(rounded(y)).dump() + ")";
}

// Sleeps in short steps so that a cancellation ends the wait.
void pause(double seconds, std::stop_token stop) {
    const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double>(seconds));
    while (Clock::now() < end) {
        if (stop.stop_requested()) throw ToolCancelled{};
        std::this_thread::sleep_for(
            std::min<Clock::duration>(end - Clock::now(), std::chrono::milliseconds(20)));
    }
}

void logTouch(McpDevice& device, const std::string& kind,
              const std::vector<std::pair<double, double>>& points, double startedAt,
              double duration) {
    if (auto& recording = device.recording()) recording->touch(kind, points, startedAt, duration);
}

// The acting tools answer with what they did and, when asked, the settled screen.
json acted(McpDevice& device, const json& arguments, const std::string& what,
           std::stop_token stop) {
    json content = json::array({textBlock(what)});
    if (arguments.value("screenshot_after", false)) {
        const bool still = ScreenCapture::settle(device, stop);
        if (stop.stop_requested()) throw ToolCancelled{};
        if (!still) content.push_back(textBlock("the screen was still changing after 3 s"));
        for (auto& block : ScreenCapture::blocks(device, {})) content.push_back(std::move(block));
    }
    return result(std::move(content));
}

json listDevices(McpDevices& devices) {
    json list = json::array();
    for (const auto& device : devices.all()) {
        list.push_back({{"device", device->name()},
                        {"names", device->names()},
                        {"hello", device->hello()},
                        {"screen", device->hello().value("screen", json::object())},
                        {"recording", device->recording() != nullptr}});
    }
    return result(json::array({textBlock(list.dump())}));
}

json screenshot(McpDevice& device, const json& arguments) {
    ScreenCapture::Wanted wanted;
    if (arguments.contains("max_width")) wanted.maxWidth = arguments["max_width"].get<double>();
    if (arguments.contains("quality")) wanted.quality = arguments["quality"].get<double>();
    if (arguments.contains("crop")) {
        const auto& crop = arguments["crop"];
        wanted.crop = Crop{crop["x"].get<double>(), crop["y"].get<double>(),
                           crop["width"].get<double>(), crop["height"].get<double>()};
    }
    return result(ScreenCapture::blocks(device, wanted));
}

json uiTree(McpDevice& device, const json& arguments) {
    const auto document = device.tree();
    if (arguments.value("format", std::string("text")) == "json") {
        return result(json::array({textBlock(document.dump())}));
    }
    return result(json::array({textBlock(CompactTree::text(document))}));
}

json findElements(McpDevice& device, const json& arguments) {
    const auto identifier = optionalText(arguments, "identifier");
    const auto label = optionalText(arguments, "label");
    const auto role = optionalText(arguments, "role");
    if (!identifier && !label && !role) refuse("identifier", "or label or role is required");
    const auto found = ElementQuery::match(device.tree(), identifier, label, role);
    std::string text = std::to_string(found.size()) + (found.size() == 1 ? " match" : " matches");
    for (const auto& element : found) text += "\n" + CompactTree::line(element);
    return result(json::array({textBlock(text)}));
}

// x and y, or an element's centre.
std::pair<double, double> target(McpDevice& device, const json& arguments, const char* x,
                                 const char* y, std::string& described) {
    const bool byPoint = arguments.contains(x) || arguments.contains(y);
    if (arguments.contains("element")) {
        if (byPoint) refuse("element", std::string("goes without ") + x + " and " + y);
        const auto element =
            ElementQuery::only(device.tree(), arguments["element"].get<std::string>());
        described = CompactTree::line(element);
        return ElementQuery::center(element);
    }
    if (!arguments.contains(x)) refuse(x, "is required (or element)");
    if (!arguments.contains(y)) refuse(y, "is required (or element)");
    return {arguments[x].get<double>(), arguments[y].get<double>()};
}

json tap(McpDevice& device, const json& arguments, std::stop_token stop) {
    std::string element;
    const auto [x, y] = target(device, arguments, "x", "y", element);
    const double startedAt = ClientRecording::now();
    device.ask(ClientRequests::hid(ClientRequests::tap(x, y)));
    logTouch(device, "tap", {{x, y}}, startedAt, 0.05);
    return acted(device, arguments,
                 "tapped at " + point(x, y) + (element.empty() ? "" : " on " + element), stop);
}

json swipe(McpDevice& device, const json& arguments, std::stop_token stop) {
    SwipeCommand command;
    command.seconds = arguments.value("seconds", 0.3);
    std::string element;
    if (arguments.contains("element")) {
        for (const char* key : {"x1", "y1", "x2", "y2"}) {
            if (arguments.contains(key)) refuse("element", "goes without x1, y1, x2 and y2");
        }
        if (!arguments.contains("direction")) refuse("direction", "is required with element");
        std::tie(command.x1, command.y1) = target(device, arguments, "x1", "y1", element);
        const double distance = arguments.value("distance", 200.0);
        const auto direction = arguments["direction"].get<std::string>();
        command.x2 = command.x1 + (direction == "right"  ? distance
                                   : direction == "left" ? -distance
                                                         : 0);
        command.y2 = command.y1 + (direction == "down" ? distance
                                   : direction == "up" ? -distance
                                                       : 0);
    } else {
        if (arguments.contains("direction")) refuse("direction", "goes with element");
        for (const char* key : {"x1", "y1", "x2", "y2"}) {
            if (!arguments.contains(key)) refuse(key, "is required (or element and direction)");
        }
        command.x1 = arguments["x1"].get<double>();
        command.y1 = arguments["y1"].get<double>();
        command.x2 = arguments["x2"].get<double>();
        command.y2 = arguments["y2"].get<double>();
    }
    const auto points = ClientRequests::swipe(command);
    const double startedAt = ClientRecording::now();
    const auto start = Clock::now();
    for (std::size_t index = 0; index < points.size(); ++index) {
        std::this_thread::sleep_until(start +
                                      std::chrono::duration_cast<Clock::duration>(
                                          std::chrono::duration<double>(points[index].atS)));
        // A moving finger is a further "down" at its new point; the last point lifts it.
        HIDEvent event;
        event.kind = HIDEvent::Kind::touch;
        event.phase = index + 1 == points.size() ? HIDEvent::Phase::up : HIDEvent::Phase::down;
        event.x = points[index].x;
        event.y = points[index].y;
        device.ask(ClientRequests::hid({event}));
    }
    logTouch(device, "swipe", {{command.x1, command.y1}, {command.x2, command.y2}}, startedAt,
             command.seconds);
    return acted(device, arguments,
                 "swiped from " + point(command.x1, command.y1) + " to " +
                     point(command.x2, command.y2) + (element.empty() ? "" : " from " + element),
                 stop);
}

json typeText(McpDevice& device, const json& arguments, std::stop_token stop) {
    const auto text = arguments["text"].get<std::string>();
    std::vector<HIDEvent> events;
    try {
        events = ClientRequests::type(text);
    } catch (const UsageError& error) {
        throw ToolError(error.what());
    }
    device.ask(ClientRequests::hid(events));
    return acted(device, arguments, "typed " + json(text).dump(), stop);
}

std::int64_t keyCode(const json& key) {
    if (key.is_number()) {
        const auto code = key.get<std::int64_t>();
        if (code < 1 || code > 255)
            refuse("key", "is a usage code from 1 to 255, not " + key.dump());
        return code;
    }
    auto name = key.get<std::string>();
    for (auto& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const auto& [known, code] : ToolTable::keyNames()) {
        if (known == name) return code;
    }
    std::string names;
    for (const auto& [known, _] : ToolTable::keyNames())
        names += (names.empty() ? "" : ", ") + known;
    refuse("key", "is not a key name: " + key.get<std::string>() + " (names: " + names +
                      "; or a usage code)");
}

json pressKey(McpDevice& device, const json& arguments, std::stop_token stop) {
    const auto code = keyCode(arguments["key"]);
    device.ask(ClientRequests::hid(ClientRequests::key(code)));
    return acted(device, arguments, "pressed key " + std::to_string(code), stop);
}

json pressButton(McpDevice& device, const json& arguments, std::stop_token stop) {
    const auto name = arguments["button"].get<std::string>();
    const double hold = arguments.value("hold", 0.0);
    if (hold > 0) {
        device.ask(ClientRequests::hid(ClientRequests::button(name, true)));
        try {
            pause(hold, stop);
        } catch (const ToolCancelled&) {
            // A button is never left held down.
            device.ask(ClientRequests::hid(ClientRequests::button(name, false)));
            throw;
        }
        device.ask(ClientRequests::hid(ClientRequests::button(name, false)));
    } else {
        auto events = ClientRequests::button(name, true);
        events.push_back(ClientRequests::button(name, false).front());
        device.ask(ClientRequests::hid(events));
    }
    return acted(device, arguments,
                 "pressed " + name + (hold > 0 ? " for " + json(hold).dump() + " s" : ""), stop);
}

json waitFor(McpDevice& device, const json& arguments, std::stop_token stop) {
    const auto name = arguments["element"].get<std::string>();
    const auto state = arguments.value("state", std::string("appear"));
    const auto value = optionalText(arguments, "value");
    if (state == "value" && !value) refuse("value", "is required with state value");
    if (state != "value" && value) refuse("value", "goes with state value");
    const double timeout = arguments.value("timeout_s", 10.0);
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(timeout));
    for (;;) {
        const auto document = device.tree();
        const auto found = ElementQuery::named(document, name);
        if (state == "appear" && !found.empty()) {
            std::string text;
            for (const auto& element : found)
                text += (text.empty() ? "" : "\n") + CompactTree::line(element);
            return result(json::array({textBlock(text)}));
        }
        if (state == "disappear" && found.empty()) {
            return result(json::array({textBlock("\"" + name + "\" is gone")}));
        }
        if (state == "value") {
            for (const auto& element : found) {
                if (ElementQuery::valueText(element) == value) {
                    return result(json::array({textBlock(CompactTree::line(element))}));
                }
            }
        }
        if (Clock::now() >= deadline) {
            const std::string expected = state == "appear" ? "appear"
                                         : state == "disappear"
                                             ? "disappear"
                                             : "show the value " + json(*value).dump();
            throw ToolError("\"" + name + "\" did not " + expected + " within " +
                            json(timeout).dump() + " s; the screen showed:\n" +
                            CompactTree::text(document));
        }
        pause(0.1, stop);
    }
}

json recordStart(McpDevice& device, const json& arguments) {
    if (device.recording()) {
        throw ToolError("a recording already runs on this device (to " +
                        device.recording()->options().mp4 + "); record_stop ends it");
    }
    McpRecording::Options options;
    options.mp4 = arguments["path"].get<std::string>();
    if (!options.mp4.ends_with(".mp4")) refuse("path", "must end in .mp4");
    const auto folder = std::filesystem::absolute(options.mp4).parent_path();
    if (!std::filesystem::is_directory(folder)) {
        throw ToolError("no folder " + folder.string() + " to write " + options.mp4 + " in");
    }
    options.fps = arguments.value("fps", std::int64_t{30});
    options.scale = arguments.value("scale", 0.5);
    options.marks = arguments.value("marks", false);
    auto recording = std::make_unique<McpRecording>(device.socket(), options, device.widthPt(),
                                                    device.heightPt());
    // Touches count from the first picture: the agent may act once this answer is back.
    recording->started(10);
    device.recording() = std::move(recording);
    return result(json::array(
        {textBlock("recording to " + options.mp4 + (options.marks ? " with touch marks" : "") +
                   "; record_stop ends it")}));
}

json recordStop(McpDevice& device) {
    if (!device.recording())
        throw ToolError("no recording runs on this device; record_start starts one");
    auto recording = std::move(device.recording());
    return result(json::array({textBlock(recording->stop().dump())}));
}

// The helper answers a replay request from the last seconds it keeps; render paints the
// touches on.
json saveReplay(McpDevice& device, const json& arguments) {
    const auto mp4 = arguments["path"].get<std::string>();
    if (!mp4.ends_with(".mp4")) refuse("path", "must end in .mp4");
    const auto gif = optionalText(arguments, "gif");
    if (gif && !gif->ends_with(".gif")) refuse("gif", "must end in .gif");
    for (const auto& file : {std::optional<std::string>(mp4), gif}) {
        if (!file) continue;
        const auto folder = std::filesystem::absolute(*file).parent_path();
        if (!std::filesystem::is_directory(folder)) {
            throw ToolError("no folder " + folder.string() + " to write " + *file + " in");
        }
    }
    const Frame reply = device.ask(ClientRequests::replay(), 60);
    return result(json::array({textBlock(ClientReplay::save(reply, mp4, gif).dump())}));
}

}  // namespace

json McpTools::call(const std::string& name, const json& arguments, std::stop_token stop) {
    const ToolSpec* tool = ToolTable::find(name);
    if (!tool) {
        throw JsonRpc::Error(JsonRpc::invalidParams, "Unknown tool: " + name,
                             {{"argument", "name"}});
    }
    const json given = arguments.is_null() ? json::object() : arguments;
    ToolArguments::check(tool->inputSchema, given);
    try {
        return run(name, given, stop);
    } catch (const ToolError& error) {
        return {{"content", json::array({textBlock(error.what())})}, {"isError", true}};
    } catch (const HelperFailure& failure) {
        return {{"content", json::array({textBlock(failure.message() + " (status " +
                                                   std::to_string(failure.status()) + ")")})},
                {"isError", true}};
    } catch (const JsonRpc::Error&) {
        throw;
    } catch (const ToolCancelled&) {
        throw;
    } catch (const std::exception& error) {
        return {{"content", json::array({textBlock(error.what())})}, {"isError", true}};
    }
}

json McpTools::run(const std::string& name, const json& arguments, std::stop_token stop) {
    if (name == "list_devices") return listDevices(devices_);
    McpDevice& device = devices_.pick(arguments);
    if (name == "screenshot") return screenshot(device, arguments);
    if (name == "ui_tree") return uiTree(device, arguments);
    if (name == "find_elements") return findElements(device, arguments);
    if (name == "tap") return tap(device, arguments, stop);
    if (name == "swipe") return swipe(device, arguments, stop);
    if (name == "type_text") return typeText(device, arguments, stop);
    if (name == "press_key") return pressKey(device, arguments, stop);
    if (name == "press_button") return pressButton(device, arguments, stop);
    if (name == "wait_for") return waitFor(device, arguments, stop);
    if (name == "record_start") return recordStart(device, arguments);
    if (name == "record_stop") return recordStop(device);
    if (name == "save_replay") return saveReplay(device, arguments);
    throw JsonRpc::Error(JsonRpc::internalError, "the tool " + name + " has no implementation");
}

void McpTools::finishRecordings() {
    for (const auto& device : devices_.all()) {
        if (!device->recording()) continue;
        auto recording = std::move(device->recording());
        try {
            std::cerr << "[info] mcp: the input ended; recording saved: "
                      << recording->stop().dump() << '\n';
        } catch (const std::exception& error) {
            std::cerr << "[error] mcp: the recording to " << recording->options().mp4
                      << " could not be saved: " << error.what() << '\n';
        }
    }
}

}  // namespace tavrel::client::mcp
