#include "tavrel-client/Mcp/McpSession.hpp"

#include <algorithm>
#include <iostream>

namespace tavrel::client::mcp {
namespace {

std::string clientText(const nlohmann::json& info) {
    if (!info.is_object()) return "an unnamed client";
    const auto text = [&](const char* key) {
        const auto found = info.find(key);
        return found != info.end() && found->is_string() ? found->get<std::string>() : "?";
    };
    return text("name") + " " + text("version");
}

}  // namespace

const std::vector<std::string> McpSession::handshakeVersions = {"2025-11-25", "2025-06-18",
                                                                "2025-03-26", "2024-11-05"};
const std::vector<std::string> McpSession::perRequestVersions = {"2026-07-28"};

McpSession::McpSession(std::string name, std::string version, std::string instructions)
    : name_(std::move(name)),
      version_(std::move(version)),
      instructions_(std::move(instructions)) {}

McpSession::State McpSession::state() const {
    std::lock_guard guard(lock_);
    return state_;
}

nlohmann::json McpSession::serverInfo() const {
    return {{"name", name_}, {"version", version_}};
}

McpSession::Context McpSession::admit(const JsonRpc::Request& request) {
    const nlohmann::json* meta = nullptr;
    if (request.params.is_object()) {
        const auto found = request.params.find("_meta");
        if (found != request.params.end() && found->is_object()) meta = &*found;
    }
    if (meta && meta->contains(versionKey)) {
        const auto& version = (*meta)[versionKey];
        const std::string requested =
            version.is_string() ? version.get<std::string>() : version.dump();
        if (std::find(perRequestVersions.begin(), perRequestVersions.end(), requested) ==
            perRequestVersions.end()) {
            throw JsonRpc::Error(JsonRpc::unsupportedProtocolVersion,
                                 "Unsupported protocol version: " + requested,
                                 {{"supported", perRequestVersions}, {"requested", requested}});
        }
        return Context{Era::perRequest, requested};
    }
    // Discovery and liveness need no handshake.
    if (request.method == "server/discover") return Context{Era::perRequest, perRequestVersions[0]};
    std::lock_guard guard(lock_);
    if (request.method == "initialize" || request.method == "ping") {
        return Context{Era::handshake, agreedVersion_};
    }
    if (state_ == State::awaitingInitialize) {
        throw JsonRpc::Error(JsonRpc::invalidRequest,
                             "Invalid Request: send initialize first, or name the protocol "
                             "version in params._meta");
    }
    return Context{Era::handshake, agreedVersion_};
}

nlohmann::json McpSession::lifecycle(const JsonRpc::Request& request, const Context& context) {
    if (request.method == "ping") return nlohmann::json::object();
    const nlohmann::json capabilities{{"tools", nlohmann::json::object()}};
    if (request.method == "server/discover") {
        return {{"supportedVersions", perRequestVersions},
                {"capabilities", capabilities},
                {"serverInfo", serverInfo()},
                {"instructions", instructions_},
                {"ttlMs", 0},
                {"cacheScope", "private"}};
    }
    if (request.method != "initialize") return nullptr;
    if (context.era == Era::perRequest) {
        throw JsonRpc::Error(JsonRpc::invalidRequest,
                             "Invalid Request: initialize belongs to the handshake era; a "
                             "request naming its version in _meta needs none");
    }
    const auto& params = request.params;
    const auto asked = params.is_object() ? params.find("protocolVersion") : params.end();
    if (!params.is_object() || asked == params.end() || !asked->is_string()) {
        throw JsonRpc::Error(JsonRpc::invalidParams, "protocolVersion: a string is required",
                             {{"argument", "protocolVersion"}});
    }
    const std::string wanted = asked->get<std::string>();
    // The client's version when this server speaks it, else the newest it does.
    const bool known = std::find(handshakeVersions.begin(), handshakeVersions.end(), wanted) !=
                       handshakeVersions.end();
    const std::string agreed = known ? wanted : handshakeVersions.front();
    {
        std::lock_guard guard(lock_);
        agreedVersion_ = agreed;
        state_ = State::initializing;
    }
    std::cerr << "[info] mcp: " << clientText(params.value("clientInfo", nlohmann::json()))
              << " asked for " << wanted << ", agreed on " << agreed << '\n';
    return {{"protocolVersion", agreed},
            {"capabilities", capabilities},
            {"serverInfo", serverInfo()},
            {"instructions", instructions_}};
}

void McpSession::notified(const JsonRpc::Notification& notification) {
    if (notification.method != "notifications/initialized") return;
    std::lock_guard guard(lock_);
    if (state_ == State::initializing) state_ = State::operating;
}

nlohmann::json McpSession::finish(nlohmann::json result, const Context& context) const {
    if (context.era != Era::perRequest) return result;
    result["resultType"] = "complete";
    result["_meta"][serverInfoKey] = serverInfo();
    return result;
}

}  // namespace tavrel::client::mcp
