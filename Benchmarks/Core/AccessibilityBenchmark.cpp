#include <benchmark/benchmark.h>

#include "HelperCore/Accessibility/Accessibility.hpp"
#include "HelperCore/Base/JSON.hpp"

namespace tavrel {
namespace {

/// A tree shaped like a busy app screen: an application holding 40 groups (unlabelled, left
/// out of the document) of 49 rows, each row a cell with a label, an identifier, traits and a
/// static text child, 2000 elements in all.
AXNode appTree() {
    AXNode root{.role = "AXApplication", .label = "Demo", .frame = {0, 0, 393, 852}};
    for (int group = 0; group < 40; ++group) {
        AXNode list{.role = "AXGroup", .frame = {0, group * 20.0, 393, 980}};
        for (int row = 0; row < 24; ++row) {
            std::string number = std::to_string(group * 24 + row + 1);
            AXNode cell{.role = "AXCell",
                        .label = "Row " + number,
                        .identifier = "row-" + number,
                        .frame = {16, 100 + row * 44.5, 361, 44},
                        .traits = (std::uint64_t{1} << 0) | (std::uint64_t{1} << 44)};
            cell.children.push_back(AXNode{.role = "AXStaticText",
                                           .label = "Detail " + number,
                                           .value = AccessibilityValue::number(row / 24.0),
                                           .frame = {24, 104 + row * 44.5, 200, 20},
                                           .traits = std::uint64_t{1} << 6});
            list.children.push_back(std::move(cell));
        }
        list.children.push_back(AXNode{.role = "AXSwitch",
                                       .identifier = "switch-" + std::to_string(group),
                                       .value = AccessibilityValue::text("1"),
                                       .frame = {300, 40, 51, 31}});
        root.children.push_back(std::move(list));
    }
    return root;
}

std::size_t count(const AXNode& node) {
    std::size_t total = 1;
    for (const AXNode& child : node.children) total += count(child);
    return total;
}

void BM_MakeAndEncode(benchmark::State& state) {
    AXNode root = appTree();
    ScreenGeometry screen{1179, 2556, 393, 852, 3};
    std::size_t bytes = 0;
    for (auto _ : state) {
        std::string document = JSON::encode(AXDocument::make(root, screen));
        bytes = document.size();
        benchmark::DoNotOptimize(document);
    }
    state.counters["elements"] = static_cast<double>(count(root));
    state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_MakeAndEncode)->Unit(benchmark::kMillisecond);

/// The same document built as a JSON library tree and dumped by the encoder: the road the
/// document does not take, kept here to show why.
void BM_TreeAndEncode(benchmark::State& state) {
    AXNode root = appTree();
    ScreenGeometry screen{1179, 2556, 393, 852, 3};
    for (auto _ : state) {
        nlohmann::json document = {{"backend", "native"},
                                   {"elements", AXDocument::kept(root)},
                                   {"modal", nullptr},
                                   {"screen",
                                    {{"coordinate_space", "screen"},
                                     {"height", screen.heightPt},
                                     {"width", screen.widthPt}}},
                                   {"truncated", false}};
        std::string text = JSON::encode(document);
        benchmark::DoNotOptimize(text);
    }
}
BENCHMARK(BM_TreeAndEncode)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tavrel
