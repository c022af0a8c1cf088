#include "HelperCore/Accessibility/Accessibility.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <functional>
#include <limits>
#include <random>

#include "HelperCore/Base/JSON.hpp"

namespace tavrel {
namespace {

using json = nlohmann::json;

const ScreenGeometry phone{1179, 2556, 393, 852, 3};

AXNode button(std::string label) {
    return AXNode{.role = "AXButton", .label = std::move(label), .frame = {10, 20, 100, 44}};
}

std::string document(const AXNode& root) {
    return JSON::encode(AXDocument::make(root, phone));
}

/// The document as the general encoder writes it from the JSON library's tree.
std::string referenceDocument(const AXNode& root, const ScreenGeometry& screen) {
    json tree = {
        {"backend", "native"},
        {"elements", AXDocument::kept(root)},
        {"modal", nullptr},
        {"screen",
         {{"coordinate_space", "screen"}, {"width", screen.widthPt}, {"height", screen.heightPt}}},
        {"truncated", false}};
    return JSON::encode(tree);
}

TEST(AXDocument, WritesTheDocumentByteForByte) {
    AXNode root{.role = "AXApplication", .frame = {0, 0, 393, 852}};
    AXNode toggle{.role = "AXSwitch",
                  .subrole = "AXToggle",
                  .label = "Wi-Fi",
                  .title = "Wireless/LAN",
                  .identifier = "wifi-switch",
                  .value = AccessibilityValue::number(0.5),
                  .frame = {16.5, 200, 51, 31},
                  .traits = (std::uint64_t{1} << 0) | (std::uint64_t{1} << 40),
                  .enabled = false};
    toggle.children.push_back(AXNode{.role = "AXStaticText",
                                     .label = "Taps: 3",
                                     .value = AccessibilityValue::text("3"),
                                     .frame = {-1, 0.25, 0, 1e20},
                                     .traits = 0});
    root.children.push_back(toggle);
    EXPECT_EQ(
        document(root),
        R"({"backend":"native","elements":[)"
        R"({"children":[)"
        R"({"children":[],"enabled":true,"frame":{"height":1e+20,"width":0.0,"x":-1.0,"y":0.25},)"
        R"("identifier":null,"label":"Taps: 3","subrole":null,"title":null,"traits":["None"],)"
        R"("type":"StaticText","value":"3"}],)"
        R"("enabled":false,"frame":{"height":31.0,"width":51.0,"x":16.5,"y":200.0},)"
        R"("identifier":"wifi-switch","label":"Wi-Fi","subrole":"AXToggle",)"
        R"("title":"Wireless/LAN","traits":["Button","PopupButton"],"type":"Switch","value":0.5}],)"
        R"("modal":null,"screen":{"coordinate_space":"screen","height":852,"width":393},)"
        R"("truncated":false})");
}

TEST(AXDocument, EmptyDocument) {
    EXPECT_EQ(document(AXNode{.role = "AXApplication", .title = "Demo", .traits = 1}),
              R"({"backend":"native","elements":[],"modal":null,)"
              R"("screen":{"coordinate_space":"screen","height":852,"width":393},)"
              R"("truncated":false})");
}

TEST(AXDocument, Type) {
    using Role = std::optional<std::string>;
    using Type = std::optional<std::string_view>;
    const std::pair<Role, Type> cases[] = {
        {"AXButton", "Button"},
        {"Button", "Button"},
        {"AXAXOther", "AXOther"},
        {"ax", "ax"},
        {"AX", ""},
        {"", ""},
        {std::nullopt, std::nullopt},
    };
    for (const auto& [role, type] : cases)
        EXPECT_EQ(AXDocument::type(role), type) << role.value_or("(absent)");
}

TEST(AXDocument, KeepsLabelledIdentifiedOrActionableElements) {
    struct Case {
        AXNode node;
        bool kept;
    };
    const Case cases[] = {
        {{.role = "AXGroup", .label = "Header"}, true},
        {{.role = "AXGroup", .label = ""}, false},
        {{.role = "AXOther", .identifier = "tap-count"}, true},
        {{.role = "AXOther", .identifier = ""}, false},
        {{.role = "Button"}, true},
        {{.role = "AXButton"}, true},
        {{.role = "AXPopUpButton"}, true},
        {{.role = "AXPopupButton"}, false},  // the role's spelling, not the trait's
        {{.role = "AXDisclosureTriangle"}, true},
        {{.role = "AXKey"}, true},
        {{.role = "AXbutton"}, false},
        {{.role = "AXButtons"}, false},
        {{.role = "AXApplication"}, false},
        {{.title = "Title", .value = AccessibilityValue::text("v"), .traits = 1}, false},
        {{}, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(AXDocument::keeps(c.node), c.kept)
            << c.node.role.value_or("-") << " " << c.node.label.value_or("-") << " "
            << c.node.identifier.value_or("-");
    for (std::string_view role : AXDocument::actionableRoles)
        EXPECT_TRUE(AXDocument::keeps({.role = "AX" + std::string(role)})) << role;
}

/// The labels of the kept elements, nested as in the document.
std::string shape(const std::vector<json>& elements) {
    std::string text;
    for (const json& element : elements) {
        if (!text.empty()) text += ",";
        text += element["label"].is_null() ? "?" : element["label"].get<std::string>();
        auto children = element["children"].get<std::vector<json>>();
        if (!children.empty()) text += "(" + shape(children) + ")";
    }
    return text;
}

TEST(AXDocument, LeftOutElementsHandTheirKeptDescendantsUp) {
    auto group = [](std::optional<std::string> label, std::vector<AXNode> children) {
        return AXNode{
            .role = "AXGroup", .label = std::move(label), .children = std::move(children)};
    };
    struct Case {
        AXNode root;
        const char* shape;
    };
    const Case cases[] = {
        {{.role = "AXApplication", .children = {button("A")}}, "A"},
        {group("", {button("A"), group(std::nullopt, {button("B"), button("C")}), button("D")}),
         "A,B,C,D"},
        {group("G",
               {group("", {button("A"), group("H", {group("", {button("B")})})}), button("C")}),
         "G(A,H(B),C)"},
        {group(std::nullopt, {group(std::nullopt, {group(std::nullopt, {})})}), ""},
        {group("G", {}), "G"},
    };
    for (const Case& c : cases) EXPECT_EQ(shape(AXDocument::kept(c.root)), c.shape);
}

TEST(AXDocument, ElementHasTenMembersInSortedOrder) {
    json element = AXDocument::element(AXNode{}, json::array());
    std::vector<std::string> keys;
    for (const auto& [key, value] : element.items()) keys.push_back(key);
    EXPECT_EQ(keys, (std::vector<std::string>{"children", "enabled", "frame", "identifier", "label",
                                              "subrole", "title", "traits", "type", "value"}));
    EXPECT_EQ(JSON::encode(element),
              R"({"children":[],"enabled":true,"frame":{"height":0.0,"width":0.0,"x":0.0,"y":0.0},)"
              R"("identifier":null,"label":null,"subrole":null,"title":null,"traits":null,)"
              R"("type":null,"value":null})");
}

TEST(AXTraits, Names) {
    using Names = std::vector<std::string_view>;
    const std::pair<std::uint64_t, Names> cases[] = {
        {0, {"None"}},
        {1, {"Button"}},
        {1 + (std::uint64_t{1} << 40), {"Button", "PopupButton"}},
        {(std::uint64_t{1} << 60) + (std::uint64_t{1} << 63), {"Unknown"}},
        {(std::uint64_t{1} << 58) | (std::uint64_t{1} << 59),
         {"AllowsLayoutChangeInStatusBar", "Unknown"}},
        {(1 << 6) | (1 << 3) | (1 << 21), {"Selected", "StaticText", "IsEditing"}},
        {std::uint64_t{1} << 9, {"UpdatesFrequently"}},
        {std::uint64_t{1} << 10, {"SearchField"}},
        {std::uint64_t{1} << 29, {"AutoCorrectCandidate"}},
        {std::uint64_t{1} << 30, {"DeleteKey"}},
        {std::uint64_t{1} << 49, {"ContainedByLandmark"}},
        {std::uint64_t{1} << 50, {"FolderIcon"}},
    };
    for (const auto& [bits, names] : cases) EXPECT_EQ(AXTraits::names(bits), names) << bits;
    Names all = AXTraits::names(~std::uint64_t{0});
    ASSERT_EQ(all.size(), 60u);
    EXPECT_EQ(all.front(), "Button");
    EXPECT_EQ(all[58], "AllowsLayoutChangeInStatusBar");
    EXPECT_EQ(all.back(), "Unknown");
}

TEST(AXDocument, TextMatchesTheEncoderForAwkwardValues) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    AXNode root{.role = "AXApplication"};
    const std::string texts[] = {
        "quote \" backslash \\ slash /",
        std::string("nul \0 bell \a", 12),
        "\b\f\n\r\t\x1f\x7f",
        "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80",
        "",
        "\xEF\xBF\xBF \xF4\x8F\xBF\xBF",
    };
    const double numbers[] = {0.0,  -0.0,   1.0 / 3, -2.5,   1e15,    1e15 - 1,      -1e15,
                              1e-5, 0.0001, 1e300,   5e-324, 123.456, 0.1 + 0.2,     nan,
                              inf,  -inf,   42,      1e21,   -7e-7,   2.0 / 3 * 1000};
    for (const std::string& text : texts)
        root.children.push_back(AXNode{.role = "AXCell",
                                       .subrole = text,
                                       .label = text,
                                       .title = text,
                                       .identifier = text,
                                       .value = AccessibilityValue::text(text)});
    for (std::size_t i = 0; i < std::size(numbers); ++i) {
        double n = numbers[i], m = numbers[(i + 7) % std::size(numbers)];
        root.children.push_back(AXNode{.role = "Button",
                                       .value = AccessibilityValue::number(n),
                                       .frame = {n, m, -n, m * 3},
                                       .traits = std::uint64_t{1} << (i * 3 % 64)});
    }
    EXPECT_EQ(document(root), referenceDocument(root, phone));
    EXPECT_NE(document(root).find(R"("nan")"), std::string::npos);
}

TEST(AXDocument, TextMatchesTheEncoderForRandomTrees) {
    std::mt19937_64 random(7);
    auto pick = [&](int n) { return static_cast<int>(random() % n); };
    auto someText = [&]() -> std::optional<std::string> {
        switch (pick(4)) {
            case 0:
                return std::nullopt;
            case 1:
                return "";
            default: {
                std::string text;
                for (int i = pick(12); i > 0; --i) text += static_cast<char>(pick(0x80));
                return text;
            }
        }
    };
    const char* roles[] = {"AXButton", "AXGroup", "AXOther", "AXCell", "Slider", "AXStaticText"};
    std::function<AXNode(int)> tree = [&](int depth) {
        AXNode node{.role = roles[pick(6)],
                    .subrole = someText(),
                    .label = someText(),
                    .title = someText(),
                    .identifier = someText(),
                    .frame = {std::ldexp(static_cast<double>(random()), -pick(80)),
                              -static_cast<double>(pick(1000)) / 8, pick(400) * 0.1,
                              static_cast<double>(random()) * 1e-30},
                    .enabled = pick(2) == 0};
        if (pick(3) == 0) node.traits = random();
        if (pick(3) == 0)
            node.value = AccessibilityValue::number(std::bit_cast<double>(random()));
        else if (pick(2) == 0)
            node.value = AccessibilityValue::text(someText().value_or("x"));
        if (depth < 6)
            for (int i = pick(5); i > 0; --i) node.children.push_back(tree(depth + 1));
        return node;
    };
    for (int round = 0; round < 30; ++round) {
        AXNode root = tree(0);
        ScreenGeometry screen{pick(5000), pick(5000), pick(2000) - 5, pick(2000), 2};
        ASSERT_EQ(JSON::encode(AXDocument::make(root, screen)), referenceDocument(root, screen))
            << "round " << round;
    }
}

TEST(AXDocument, TextThatIsNotUTF8IsReplacedAsTheEncoderDoes) {
    const char* invalid[] = {"\xFF",         "caf\xC3",          "\xC0\xAF",
                             "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE2\x82",
                             "\x80",         "ok \xF0\x9F\x98"};
    for (const char* text : invalid) {
        AXNode root{.role = "AXApplication", .children = {button("fine")}};
        root.children.push_back(AXNode{.label = "x", .title = text});
        const std::string made = document(root);
        EXPECT_EQ(made, referenceDocument(root, phone)) << text;
        EXPECT_NE(made.find("\xEF\xBF\xBD"), std::string::npos) << text;
        EXPECT_NE(made.find(R"("label":"fine")"), std::string::npos) << text;
    }
}

TEST(AXDocument, ConvertsToTheJSONTree) {
    AXNode root{.role = "AXApplication", .children = {button("Tap me")}};
    AXDocument made = AXDocument::make(root, phone);
    json tree = made;
    EXPECT_EQ(tree["elements"][0]["label"], "Tap me");
    EXPECT_EQ(tree["screen"]["width"], 393);
    EXPECT_EQ(tree.dump(), made.text());
    // Embedded in another document, it is written like any other member.
    EXPECT_EQ(JSON::encode(json{{"document", made}}), R"({"document":)" + made.text() + "}");
}

}  // namespace
}  // namespace tavrel
