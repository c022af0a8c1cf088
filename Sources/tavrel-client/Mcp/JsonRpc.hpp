#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>

namespace tavrel::client::mcp {

/// JSON-RPC 2.0 as the Model Context Protocol uses it: one message a line.
namespace JsonRpc {

inline constexpr int parseError = -32700;
inline constexpr int invalidRequest = -32600;
inline constexpr int methodNotFound = -32601;
inline constexpr int invalidParams = -32602;
inline constexpr int internalError = -32603;
/// The request names a protocol version the server does not speak.
inline constexpr int unsupportedProtocolVersion = -32022;

/// A request that gets an error response instead of a result.
class Error : public std::runtime_error {
  public:
    Error(int code, const std::string& message, nlohmann::json data = nullptr)
        : std::runtime_error(message), code_(code), data_(std::move(data)) {}
    int code() const noexcept { return code_; }
    const nlohmann::json& data() const noexcept { return data_; }

  private:
    int code_;
    nlohmann::json data_;
};

struct Request {
    /// A string or an integer, kept as it came.
    nlohmann::json id;
    std::string method;
    /// An object, or null when the request has none.
    nlohmann::json params;
};
struct Notification {
    std::string method;
    nlohmann::json params;
};
/// What the client answers to a request of ours (the server sends none, so they are dropped).
struct Response {};
/// A line that is no message: it is answered with this error, to the id when one could be read.
struct Refusal {
    nlohmann::json id;
    int code;
    std::string message;
};

using Message = std::variant<Request, Notification, Response, Refusal>;

/// Reads one line. Never throws: what is not a message becomes a Refusal.
Message read(const std::string& line);

/// One line each, without the newline.
std::string result(const nlohmann::json& id, const nlohmann::json& result);
std::string error(const nlohmann::json& id, int code, const std::string& message,
                  const nlohmann::json& data = nullptr);

}  // namespace JsonRpc
}  // namespace tavrel::client::mcp
