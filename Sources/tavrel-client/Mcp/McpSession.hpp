#pragma once

#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tavrel-client/Mcp/JsonRpc.hpp"

namespace tavrel::client::mcp {

/// The protocol's two eras as one server speaks them. The handshake era opens with
/// `initialize` and keeps the agreed version for the whole process; from 2026-07-28 on there is
/// no handshake: every request names its version and client in `params._meta`, and
/// `server/discover` tells a client which versions exist.
class McpSession {
  public:
    enum class Era { handshake, perRequest };
    /// Where the handshake stands; per-request messages never change it.
    enum class State { awaitingInitialize, initializing, operating };

    /// The era a request is served in and its version.
    struct Context {
        Era era = Era::handshake;
        std::string version;
    };

    /// Versions of the handshake era, newest first.
    static const std::vector<std::string> handshakeVersions;
    /// Versions a request may name in its `_meta`.
    static const std::vector<std::string> perRequestVersions;
    static constexpr const char* versionKey = "io.modelcontextprotocol/protocolVersion";
    static constexpr const char* clientInfoKey = "io.modelcontextprotocol/clientInfo";
    static constexpr const char* serverInfoKey = "io.modelcontextprotocol/serverInfo";

    McpSession(std::string name, std::string version, std::string instructions);

    /// Decides the era of a request. Throws JsonRpc::Error: -32022 for a version this server
    /// does not speak, -32600 for a handshake-era request before `initialize`.
    Context admit(const JsonRpc::Request& request);

    /// Answers `initialize`, `ping` and `server/discover` (their results, not yet finished);
    /// null for any other method.
    nlohmann::json lifecycle(const JsonRpc::Request& request, const Context& context);

    /// `notifications/initialized` and the like.
    void notified(const JsonRpc::Notification& notification);

    /// A result as the request's era writes it: per-request results say they are complete
    /// and who answered.
    nlohmann::json finish(nlohmann::json result, const Context& context) const;

    State state() const;

  private:
    nlohmann::json serverInfo() const;

    std::string name_;
    std::string version_;
    std::string instructions_;
    mutable std::mutex lock_;
    State state_ = State::awaitingInitialize;
    std::string agreedVersion_;
};

}  // namespace tavrel::client::mcp
