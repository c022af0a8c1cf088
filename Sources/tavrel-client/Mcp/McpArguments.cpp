#include "tavrel-client/ClientArguments.hpp"
#include "tavrel-client/Mcp/McpCommand.hpp"

namespace tavrel::client::McpArguments {

McpCommand parse(const std::vector<std::pair<std::string, std::string>>& flags) {
    McpCommand command;
    for (const auto& [flag, value] : flags) {
        if (value.empty()) throw UsageError("--" + flag + " needs a value");
        (flag == "socket" ? command.sockets : command.udids).push_back(value);
    }
    return command;
}

}  // namespace tavrel::client::McpArguments
