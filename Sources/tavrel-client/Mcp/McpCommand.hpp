#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace tavrel::client {

/// `tavrel-client mcp`: a Model Context Protocol server on standard input and output for the
/// helpers at `sockets` and for helpers it starts itself for `udids`.
struct McpCommand {
    std::vector<std::string> sockets;
    std::vector<std::string> udids;
    bool operator==(const McpCommand&) const = default;
};

namespace McpArguments {

/// The flags given after "mcp", in their order: --socket PATH and --udid UDID, each as often as
/// wanted. Throws UsageError.
McpCommand parse(const std::vector<std::pair<std::string, std::string>>& flags);

}  // namespace McpArguments
}  // namespace tavrel::client
