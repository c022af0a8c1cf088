#pragma once

#include <nlohmann/json.hpp>
#include <stop_token>
#include <string>

#include "tavrel-client/Mcp/McpDevices.hpp"

namespace tavrel::client::mcp {

/// A tool call whose request was cancelled: it gets no answer.
struct ToolCancelled {};

/// Runs the tools of the tool table on the devices. Used from one thread.
class McpTools {
  public:
    explicit McpTools(McpDevices& devices) : devices_(devices) {}

    /// The `tools/call` result: content blocks, and isError when the tool failed on the device
    /// (the helper's message and status) or could not do what it was asked. Throws
    /// JsonRpc::Error -32602 for an unknown tool or arguments that do not fit, ToolCancelled
    /// when `stop` is requested while the tool waits.
    nlohmann::json call(const std::string& name, const nlohmann::json& arguments,
                        std::stop_token stop);

    /// Ends every running recording, rendering it; for the end of input.
    void finishRecordings();

  private:
    nlohmann::json run(const std::string& name, const nlohmann::json& arguments,
                       std::stop_token stop);

    McpDevices& devices_;
};

}  // namespace tavrel::client::mcp
