#include "tavrel-client/Mcp/ToolTable.hpp"

namespace tavrel::client::mcp::ToolTable {
namespace {

using nlohmann::json;

json number(const std::string& description) {
    return {{"type", "number"}, {"description", description}};
}

json object(json properties, json required = json::array()) {
    properties["device"] = {
        {"type", "string"},
        {"minLength", 1},
        {"description",
         "The device: its UDID, its socket path or its source name, as list_devices gives "
         "them. Needed only when several devices are served."}};
    json schema{
        {"type", "object"}, {"properties", std::move(properties)}, {"additionalProperties", false}};
    if (!required.empty()) schema["required"] = std::move(required);
    return schema;
}

const json screenshotAfter{{"type", "boolean"},
                           {"description",
                            "Wait until the screen is still (no new picture for 300 ms, at most "
                            "3 s) and return it as a screenshot."}};

const json elementName{{"type", "string"},
                       {"minLength", 1},
                       {"description",
                        "An element's identifier (exact) or label (exact); it must match one "
                        "element."}};

std::vector<ToolSpec> make() {
    std::vector<ToolSpec> tools;
    tools.push_back({"list_devices", "List devices",
                     "The devices this server drives: each one's name, hello (helper version, "
                     "input transport) and screen in points and pixels.",
                     object(json::object()), true, false, false});
    tools.push_back(
        {"screenshot", "Screenshot",
         "The screen as a JPEG sized for a model: by default as wide as the screen is in "
         "points, the long side at most 1568 px and the whole under 1 MB. A text block gives "
         "the size and how many pixels make a point. Coordinates everywhere are points.",
         object({{"max_width",
                  {{"type", "integer"},
                   {"minimum", 1},
                   {"maximum", 4096},
                   {"description", "Largest width in pixels."}}},
                 {"quality",
                  {{"type", "integer"},
                   {"minimum", 1},
                   {"maximum", 100},
                   {"description", "JPEG quality, 1 to 100 (default 75)."}}},
                 {"crop",
                  {{"type", "object"},
                   {"description", "Only this rectangle of the screen, in points."},
                   {"properties",
                    {{"x", {{"type", "number"}}},
                     {"y", {{"type", "number"}}},
                     {"width", {{"type", "number"}}},
                     {"height", {{"type", "number"}}}}},
                   {"required", {"x", "y", "width", "height"}},
                   {"additionalProperties", false}}}}),
         true, false, false});
    tools.push_back(
        {"ui_tree", "UI element tree",
         "The frontmost app's elements, one a line, indented by depth: role, \"label\", "
         "#identifier, =value, @x,y widthxheight in points, [actionable traits]. format json "
         "gives the helper's accessibility document instead.",
         object({{"format",
                  {{"type", "string"},
                   {"enum", {"text", "json"}},
                   {"description", "text (default) or json."}}}}),
         true, false, false});
    tools.push_back(
        {"find_elements", "Find elements",
         "Elements matching every given criterion: identifier (exact), label (case-insensitive "
         "substring), role (such as Button, with or without the AX prefix). Gives each match "
         "with its frame in points.",
         object({{"identifier", {{"type", "string"}, {"minLength", 1}}},
                 {"label", {{"type", "string"}, {"minLength", 1}}},
                 {"role", {{"type", "string"}, {"minLength", 1}}}}),
         true, false, false});
    tools.push_back({"tap", "Tap", "Taps at x,y (points) or at the centre of an element.",
                     object({{"x", number("Points from the left.")},
                             {"y", number("Points from the top.")},
                             {"element", elementName},
                             {"screenshot_after", screenshotAfter}}),
                     false, true, false});
    tools.push_back(
        {"swipe", "Swipe",
         "Drags a finger from x1,y1 to x2,y2 (points), or from an element's centre in a "
         "direction over a distance.",
         object({{"x1", number("Start, points from the left.")},
                 {"y1", number("Start, points from the top.")},
                 {"x2", number("End, points from the left.")},
                 {"y2", number("End, points from the top.")},
                 {"element", elementName},
                 {"direction",
                  {{"type", "string"},
                   {"enum", {"up", "down", "left", "right"}},
                   {"description", "With element: where the finger moves."}}},
                 {"distance",
                  {{"type", "number"},
                   {"minimum", 1},
                   {"maximum", 4000},
                   {"description", "With element: how far, in points (default 200)."}}},
                 {"seconds",
                  {{"type", "number"},
                   {"minimum", 0},
                   {"maximum", 10},
                   {"description", "How long the finger moves (default 0.3)."}}},
                 {"screenshot_after", screenshotAfter}}),
         false, true, false});
    tools.push_back({"type_text", "Type text",
                     "Types letters, digits and spaces with the hardware keyboard into the "
                     "focused field (tap a text field first).",
                     object({{"text", {{"type", "string"}, {"minLength", 1}}},
                             {"screenshot_after", screenshotAfter}},
                            {"text"}),
                     false, true, false});
    json keyList = json::array();
    for (const auto& [name, _] : keyNames()) keyList.push_back(name);
    tools.push_back(
        {"press_key", "Press a key",
         "Presses one key: a keyboard usage code (page 7) or one of the names " + keyList.dump() +
             ".",
         object({{"key",
                  {{"type", {"string", "integer"}},
                   {"description", "A name such as return, or a usage code such as 40."}}},
                 {"screenshot_after", screenshotAfter}},
                {"key"}),
         false, true, false});
    tools.push_back(
        {"press_button", "Press a hardware button",
         "Presses a hardware button: home, lock, side, siri or apple_pay, optionally held.",
         object({{"button",
                  {{"type", "string"}, {"enum", {"home", "lock", "side", "siri", "apple_pay"}}}},
                 {"hold",
                  {{"type", "number"},
                   {"minimum", 0},
                   {"maximum", 60},
                   {"description", "Seconds to hold it down (default: a press)."}}},
                 {"screenshot_after", screenshotAfter}},
                {"button"}),
         false, true, false});
    tools.push_back(
        {"wait_for", "Wait for an element",
         "Waits until an element (identifier or label, exact) appears, disappears or shows a "
         "value. Gives the element, or an error with what the screen showed instead.",
         object({{"element", elementName},
                 {"state",
                  {{"type", "string"},
                   {"enum", {"appear", "disappear", "value"}},
                   {"description", "appear (default), disappear, or value."}}},
                 {"value",
                  {{"type", "string"},
                   {"description",
                    "With state value: the value to wait for (numbers as "
                    "text, e.g. \"1\")."}}},
                 {"timeout_s",
                  {{"type", "number"},
                   {"minimum", 0},
                   {"maximum", 60},
                   {"description", "Longest wait in seconds (default 10)."}}}},
                {"element"}),
         true, false, false});
    tools.push_back(
        {"record_start", "Start recording",
         "Records the screen into an MP4 until record_stop (at most 10 minutes). With "
         "marks, the touches made "
         "through this server while recording are painted on.",
         object({{"path",
                  {{"type", "string"}, {"minLength", 1}, {"description", "Where the .mp4 goes."}}},
                 {"fps",
                  {{"type", "integer"},
                   {"minimum", 1},
                   {"maximum", 60},
                   {"description", "Frames per second at most (default 30)."}}},
                 {"scale",
                  {{"type", "number"},
                   {"minimum", 0.1},
                   {"maximum", 1},
                   {"description", "Size against the screen's pixels (default 0.5)."}}},
                 {"marks",
                  {{"type", "boolean"}, {"description", "Paint the touches on (default false)."}}}},
                {"path"}),
         false, false, false});
    tools.push_back({"record_stop", "Stop recording",
                     "Ends the recording and gives its files with their sizes and durations.",
                     object(json::object()), false, false, false});
    tools.push_back(
        {"save_replay", "Save the last seconds",
         "Saves the last seconds of the screen into an MP4 with the touches of that time painted "
         "on (the helper keeps them when it runs with --replay-seconds N).",
         object({{"path",
                  {{"type", "string"}, {"minLength", 1}, {"description", "Where the .mp4 goes."}}},
                 {"gif",
                  {{"type", "string"},
                   {"minLength", 1},
                   {"description", "Where a .gif of the same goes too (optional)."}}}},
                {"path"}),
         false, false, false});
    return tools;
}

}  // namespace

const std::vector<std::pair<std::string, int>>& keyNames() {
    static const std::vector<std::pair<std::string, int>> names = {
        {"return", 40}, {"enter", 40}, {"escape", 41}, {"backspace", 42},
        {"tab", 43},    {"space", 44}, {"delete", 76}, {"right", 79},
        {"left", 80},   {"down", 81},  {"up", 82}};
    return names;
}

const std::vector<ToolSpec>& tools() {
    static const std::vector<ToolSpec> table = make();
    return table;
}

const ToolSpec* find(const std::string& name) {
    for (const auto& tool : tools()) {
        if (tool.name == name) return &tool;
    }
    return nullptr;
}

nlohmann::json describe(const ToolSpec& tool) {
    return {{"name", tool.name},
            {"title", tool.title},
            {"description", tool.description},
            {"inputSchema", tool.inputSchema},
            {"annotations",
             {{"title", tool.title},
              {"readOnlyHint", tool.readOnly},
              {"destructiveHint", tool.destructive},
              {"idempotentHint", tool.readOnly},
              {"openWorldHint", tool.openWorld}}}};
}

}  // namespace tavrel::client::mcp::ToolTable
