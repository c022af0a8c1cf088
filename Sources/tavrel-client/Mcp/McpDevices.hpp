#pragma once

#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "tavrel-client/ClientSocket.hpp"
#include "tavrel-client/Mcp/HelperProcess.hpp"
#include "tavrel-client/Mcp/McpCommand.hpp"
#include "tavrel-client/Mcp/McpRecording.hpp"

namespace tavrel::client::mcp {

/// One helper the server drives: its socket (and the helper it started, if any), its hello, one
/// connection kept open for requests, and its recording while one runs. Used from the thread
/// that runs the tools.
class McpDevice {
  public:
    McpDevice(std::string socket, std::optional<std::string> udid,
              std::unique_ptr<HelperProcess> helper, std::filesystem::path folder);
    ~McpDevice();
    McpDevice(const McpDevice&) = delete;
    McpDevice& operator=(const McpDevice&) = delete;

    /// The names a tool's `device` may give: the UDID (when known), the socket path and the
    /// hello's source name (when it has one).
    std::vector<std::string> names() const;
    /// The name list_devices shows first.
    std::string name() const;
    const std::string& socket() const { return socket_; }
    const nlohmann::json& hello() const { return hello_; }
    double widthPt() const;
    double heightPt() const;

    /// One request and its answer on the kept connection, made again once on a fresh connection
    /// when the old one was lost. Throws HelperFailure.
    Frame ask(const std::string& request, double timeoutS = 30);
    /// The accessibility document.
    nlohmann::json tree();

    /// Asks for the hello, waiting up to `waitS` for the helper to listen.
    void greet(double waitS);

    std::unique_ptr<McpRecording>& recording() { return recording_; }

  private:
    std::string socket_;
    std::optional<std::string> udid_;
    std::unique_ptr<HelperProcess> helper_;
    std::filesystem::path folder_;
    nlohmann::json hello_;
    std::unique_ptr<ClientSocket> connection_;
    std::unique_ptr<McpRecording> recording_;
};

/// The devices of one server, in the order of the command line.
class McpDevices {
  public:
    /// Connects to every socket and starts a helper for every UDID. Throws HelperFailure.
    explicit McpDevices(const McpCommand& command);

    /// The device a tool call names in `device`; with one device it may be left out. Throws
    /// JsonRpc::Error -32602 naming the argument.
    McpDevice& pick(const nlohmann::json& arguments);

    std::vector<std::unique_ptr<McpDevice>>& all() { return devices_; }

  private:
    std::vector<std::unique_ptr<McpDevice>> devices_;
};

}  // namespace tavrel::client::mcp
