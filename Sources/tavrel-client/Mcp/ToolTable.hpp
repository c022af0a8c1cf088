#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace tavrel::client::mcp {

/// One tool as `tools/list` shows it.
struct ToolSpec {
    std::string name;
    std::string title;
    std::string description;
    nlohmann::json inputSchema;
    bool readOnly = false;
    bool destructive = false;
    bool openWorld = false;
};

namespace ToolTable {

/// Every tool, in the order `tools/list` gives them.
const std::vector<ToolSpec>& tools();

/// The tool of that name, or null.
const ToolSpec* find(const std::string& name);

/// The `tools/list` entry of a tool.
nlohmann::json describe(const ToolSpec& tool);

/// Key names a client may pass to press_key, with their keyboard usages.
const std::vector<std::pair<std::string, int>>& keyNames();

}  // namespace ToolTable
}  // namespace tavrel::client::mcp
