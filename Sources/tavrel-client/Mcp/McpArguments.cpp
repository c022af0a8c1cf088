#include "tavrel-client/ClientArguments.hpp"
#include "tavrel-client/Mcp/McpCommand.hpp"

namespace tavrel::client::McpArguments {

McpCommand parse(const std::vector<std::string>& items, std::size_t from) {
    McpCommand command;
    for (std::size_t at = from; at < items.size(); at += 2) {
        const std::string& flag = items[at];
        if (flag != "--socket" && flag != "--udid") throw UsageError("not a flag of mcp: " + flag);
        if (at + 1 == items.size() || items[at + 1].empty()) {
            throw UsageError(flag + " needs a value");
        }
        (flag == "--socket" ? command.sockets : command.udids).push_back(items[at + 1]);
    }
    return command;
}

}  // namespace tavrel::client::McpArguments
