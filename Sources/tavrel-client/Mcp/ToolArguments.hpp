#pragma once

#include <nlohmann/json.hpp>

namespace tavrel::client::mcp {

/// Checks a tool call's arguments against the tool's input schema, for the part of JSON Schema
/// the tool table uses: "type" (one name or a list), "enum", "minimum", "maximum",
/// "minLength", "required", "properties" with "additionalProperties": false, nested objects.
namespace ToolArguments {

/// Throws JsonRpc::Error -32602 naming the first argument that does not fit (its dotted path in
/// the message and as data "argument").
void check(const nlohmann::json& schema, const nlohmann::json& arguments);

}  // namespace ToolArguments
}  // namespace tavrel::client::mcp
