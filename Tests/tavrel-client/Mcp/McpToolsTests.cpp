// The tool table's schemas and argument checks, the compact tree, element lookup and screenshot
// sizing, without a device.

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>

#include "tavrel-client/ClientArguments.hpp"
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

// The argument an error names, or "" when the arguments fit.
std::string refused(const std::string& tool, const json& arguments) {
    try {
        ToolArguments::check(ToolTable::find(tool)->inputSchema, arguments);
        return "";
    } catch (const JsonRpc::Error& error) {
        EXPECT_EQ(error.code(), JsonRpc::invalidParams);
        const std::string argument = error.data()["argument"];
        EXPECT_NE(std::string(error.what()).find(argument), std::string::npos) << error.what();
        return argument;
    }
}

TEST(ToolArguments, NamesTheArgumentThatDoesNotFitTheSchema) {
    struct Case {
        std::string tool;
        json arguments;
        std::string refused;
    };
    const std::vector<Case> cases = {
        {"tap", {{"x", 1}, {"y", 2.5}}, ""},
        {"tap", {{"x", "1"}, {"y", 2}}, "x"},
        {"tap", {{"x", 1}, {"y", nullptr}}, "y"},
        {"tap", {{"x", 1}, {"y", 2}, {"force", 1}}, "force"},
        {"tap", {{"element", ""}}, "element"},
        {"tap", {{"x", 1}, {"y", 2}, {"screenshot_after", 1}}, "screenshot_after"},
        {"screenshot", json::object(), ""},
        {"screenshot", {{"quality", 100}, {"max_width", 3.0}}, ""},
        {"screenshot", {{"quality", 0}}, "quality"},
        {"screenshot", {{"max_width", 2.5}}, "max_width"},
        {"screenshot", {{"crop", {{"x", 0}, {"y", 0}, {"width", 1}}}}, "crop.height"},
        {"screenshot",
         {{"crop", {{"x", 0}, {"y", 0}, {"width", 1}, {"height", 1}, {"z", 0}}}},
         "crop.z"},
        {"ui_tree", {{"format", "xml"}}, "format"},
        {"press_key", {{"key", 40}}, ""},
        {"press_key", {{"key", "return"}}, ""},
        {"press_key", {{"key", true}}, "key"},
        {"press_key", json::object(), "key"},
        {"press_button", {{"button", "power"}}, "button"},
        {"press_button", {{"button", "home"}, {"hold", -1}}, "hold"},
        {"wait_for", {{"element", "a"}, {"timeout_s", 60}}, ""},
        {"wait_for", {{"element", "a"}, {"state", "gone"}}, "state"},
        {"record_start", {{"path", "a.mp4"}, {"scale", 0.05}}, "scale"},
        {"list_devices", {{"device", 3}}, "device"},
    };
    for (const auto& item : cases) {
        EXPECT_EQ(refused(item.tool, item.arguments), item.refused)
            << item.tool << " " << item.arguments.dump();
    }
    EXPECT_THROW(ToolArguments::check(ToolTable::find("tap")->inputSchema, json::array()),
                 JsonRpc::Error);
}

TEST(ToolTable, ListsEveryToolOnceWithAnObjectSchemaAndItsHints) {
    std::set<std::string> names;
    for (const auto& tool : ToolTable::tools()) {
        EXPECT_TRUE(names.insert(tool.name).second) << tool.name;
        const auto listed = ToolTable::describe(tool);
        EXPECT_EQ(listed["inputSchema"]["type"], "object");
        EXPECT_TRUE(listed["inputSchema"]["properties"].contains("device")) << tool.name;
        for (const char* hint : {"readOnlyHint", "destructiveHint", "openWorldHint"}) {
            EXPECT_TRUE(listed["annotations"][hint].is_boolean()) << tool.name << hint;
        }
        // A read-only tool is never destructive.
        EXPECT_FALSE(tool.readOnly && tool.destructive) << tool.name;
    }
    EXPECT_EQ(ToolTable::tools().front().name, "list_devices");
    EXPECT_EQ(ToolTable::find("nothing"), nullptr);
}

TEST(ToolTable, IsTheTableTheProtocolPageShows) {
    std::ifstream page(std::string(TAVREL_SOURCE_DIR) + "/docs/protocol.md");
    std::vector<std::string> documented;
    bool inside = false;
    for (std::string line; std::getline(page, line);) {
        if (line == "| tool | does | requests |") {
            inside = true;
        } else if (!line.starts_with("|")) {
            inside = false;
        } else if (inside && !line.starts_with("|---")) {
            documented.push_back(line.substr(3, line.find('`', 3) - 3));
        }
    }
    std::vector<std::string> tools;
    for (const auto& tool : ToolTable::tools()) tools.push_back(tool.name);
    EXPECT_EQ(documented, tools);
}

const json demo = json::parse(R"({"backend":"native","elements":[
  {"type":"Application","subrole":null,"label":"Demo","title":null,"identifier":null,"value":null,
   "frame":{"x":0,"y":0,"width":393,"height":852},"traits":null,"enabled":true,"children":[
    {"type":"Button","subrole":null,"label":"Tap me","title":null,"identifier":"tap-button",
     "value":null,"frame":{"x":96.5,"y":200,"width":200,"height":44.25},
     "traits":["Button","StaticText"],"enabled":true,"children":[]},
    {"type":"Switch","subrole":null,"label":"Wi-Fi","title":null,"identifier":"wifi-switch",
     "value":1,"frame":{"x":20,"y":300,"width":353,"height":44},"traits":["Button","Toggle"],
     "enabled":false,"children":[]},
    {"type":"TextField","subrole":null,"label":"Name","title":null,"identifier":"name-field",
     "value":"say \"hi\"\nthere","frame":{"x":20,"y":400,"width":353,"height":40},
     "traits":["TextEntry"],"enabled":true,"children":[]},
    {"type":"Cell","subrole":null,"label":"Row 1","title":null,"identifier":"row-1","value":null,
     "frame":{"x":0,"y":500,"width":393,"height":44},"traits":["Button","Selected"],
     "enabled":true,"children":[]},
    {"type":"Cell","subrole":null,"label":"Row 10","title":null,"identifier":"row-10",
     "value":0.25,"frame":{"x":0,"y":544.04,"width":393,"height":44},"traits":null,
     "enabled":true,"children":[]},
    {"type":null,"subrole":null,"label":"Tap me","title":null,"identifier":null,"value":null,
     "frame":{"x":0,"y":0,"width":1,"height":1},"traits":null,"enabled":true,"children":[]}]}],
  "modal":null})");

TEST(CompactTree, WritesOneElementALineIndentedByDepth) {
    EXPECT_EQ(CompactTree::text(demo),
              "Application \"Demo\" @0,0 393x852\n"
              "  Button \"Tap me\" #tap-button @96.5,200 200x44.3\n"
              "  Switch \"Wi-Fi\" #wifi-switch =1 @20,300 353x44 disabled\n"
              "  TextField \"Name\" #name-field =\"say \\\"hi\\\"\\nthere\" @20,400 353x40\n"
              "  Cell \"Row 1\" #row-1 @0,500 393x44 [Selected]\n"
              "  Cell \"Row 10\" #row-10 =0.3 @0,544 393x44\n"
              "  Element \"Tap me\" @0,0 1x1\n");
    EXPECT_EQ(CompactTree::text(json::object()), "(no elements)\n");
    EXPECT_EQ(CompactTree::text(json::parse(R"({"elements":[]})")), "(no elements)\n");
}

TEST(ElementQuery, FindsByEachCriterionAndNamesExactlyOne) {
    const auto count = [](std::optional<std::string> identifier, std::optional<std::string> label,
                          std::optional<std::string> role) {
        return ElementQuery::match(demo, identifier, label, role).size();
    };
    EXPECT_EQ(count(std::nullopt, std::nullopt, std::nullopt), 7u);
    EXPECT_EQ(count("row-1", std::nullopt, std::nullopt), 1u);
    EXPECT_EQ(count("row", std::nullopt, std::nullopt), 0u);
    EXPECT_EQ(count(std::nullopt, "ROW", std::nullopt), 2u);
    EXPECT_EQ(count(std::nullopt, "row", "AXCell"), 2u);
    EXPECT_EQ(count(std::nullopt, std::nullopt, "button"), 1u);

    EXPECT_EQ(ElementQuery::only(demo, "wifi-switch")["label"], "Wi-Fi");
    EXPECT_EQ(ElementQuery::only(demo, "Row 1")["identifier"], "row-1");
    EXPECT_EQ(ElementQuery::center(ElementQuery::only(demo, "name-field")),
              (std::pair<double, double>{196.5, 420}));
    const auto failure = [](const std::string& name) {
        try {
            ElementQuery::only(demo, name);
        } catch (const ToolError& error) {
            return std::string(error.what());
        }
        return std::string("found");
    };
    EXPECT_EQ(failure("Tap me"),
              "2 elements have the identifier or label \"Tap me\"; name one by its identifier:\n"
              "  Button \"Tap me\" #tap-button @96.5,200 200x44.3\n"
              "  Element \"Tap me\" @0,0 1x1");
    EXPECT_EQ(failure("Row"),
              "no element has the identifier or label \"Row\"; elements whose label contains "
              "it:\n  Cell \"Row 1\" #row-1 @0,500 393x44 [Selected]\n  Cell \"Row 10\" #row-10 "
              "=0.3 @0,544 "
              "393x44");
    EXPECT_EQ(failure("zzz"),
              "no element has the identifier or label \"zzz\"; ui_tree lists the elements");

    EXPECT_EQ(ElementQuery::valueText(ElementQuery::only(demo, "wifi-switch")), "1");
    EXPECT_EQ(ElementQuery::valueText(ElementQuery::only(demo, "row-10")), "0.25");
    EXPECT_EQ(ElementQuery::valueText(ElementQuery::only(demo, "row-1")), std::nullopt);
}

TEST(ScreenCapture, SizesForAModel) {
    struct Case {
        std::optional<std::int64_t> maxWidth;
        double widthPt, heightPt;
        std::int64_t expected;
    };
    const std::vector<Case> cases = {
        {std::nullopt, 393, 852, 393},    // a point a pixel
        {std::nullopt, 200.4, 100, 200},  // a crop
        {800, 393, 852, 723},             // the long side stays within 1568
        {std::nullopt, 1000, 3000, 522},
        {std::nullopt, 3000, 1000, 1568},  // landscape: the width is the long side
        {100, 393, 852, 100},
        {std::nullopt, 0.2, 0.2, 1},
    };
    for (const auto& item : cases) {
        ScreenCapture::Wanted wanted;
        wanted.maxWidth = item.maxWidth;
        EXPECT_EQ(ScreenCapture::width(wanted, item.widthPt, item.heightPt), item.expected)
            << item.widthPt << "x" << item.heightPt;
    }
}

TEST(ScreenCapture, EncodesBase64AsTheStandardSays) {
    const std::vector<std::pair<std::string, std::string>> vectors = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
        {std::string("\xff\xfe\x00", 3), "//4A"}};
    for (const auto& [plain, encoded] : vectors) {
        EXPECT_EQ(ScreenCapture::base64(Bytes(plain.begin(), plain.end())), encoded) << plain;
    }
}

TEST(McpArguments, TakesItsHelpersBeforeAndAfterTheCommand) {
    using client::ClientArguments::parse;
    const auto command = [](const std::vector<std::string>& arguments) {
        return std::get<McpCommand>(parse(arguments).command);
    };
    EXPECT_EQ(command({"--socket", "a", "mcp"}), (McpCommand{{"a"}, {}}));
    EXPECT_EQ(command({"--socket", "a", "mcp", "--socket", "b", "--udid", "U"}),
              (McpCommand{{"a", "b"}, {"U"}}));
    EXPECT_EQ(command({"mcp", "--udid", "U", "--udid", "V"}), (McpCommand{{}, {"U", "V"}}));
    for (const auto& wrong : std::vector<std::vector<std::string>>{{"mcp"},
                                                                   {"mcp", "--udid"},
                                                                   {"mcp", "--udid", ""},
                                                                   {"mcp", "--port", "1"},
                                                                   {"mcp", "U"},
                                                                   {"hello"}}) {
        EXPECT_THROW(parse(wrong), UsageError) << wrong.back();
    }
    EXPECT_TRUE(std::get<AccessibilityCommand>(
                    parse({"--socket", "a", "accessibility", "--compact"}).command)
                    .compact);
    EXPECT_THROW(parse({"--socket", "a", "accessibility", "--compact", "--raw"}), UsageError);
}

}  // namespace
}  // namespace tavrel::client::mcp
