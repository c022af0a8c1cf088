#include "tavrel-client/Mcp/JsonRpc.hpp"

namespace tavrel::client::mcp::JsonRpc {
namespace {

bool validId(const nlohmann::json& id) {
    return id.is_string() || id.is_number_integer();
}

}  // namespace

Message read(const std::string& line) {
    nlohmann::json message;
    try {
        message = nlohmann::json::parse(line);
    } catch (const nlohmann::json::parse_error& error) {
        return Refusal{nullptr, parseError, std::string("Parse error: ") + error.what()};
    }
    if (message.is_array()) {
        // Batches left the protocol in 2025-06-18; no version this server speaks has them.
        return Refusal{nullptr, invalidRequest, "Invalid Request: batches are not supported"};
    }
    if (!message.is_object()) {
        return Refusal{nullptr, invalidRequest, "Invalid Request: a message is a JSON object"};
    }
    const auto id = message.find("id");
    const nlohmann::json replyId = id != message.end() && validId(*id) ? *id : nlohmann::json();
    const auto version = message.find("jsonrpc");
    if (version == message.end() || *version != "2.0") {
        return Refusal{replyId, invalidRequest, "Invalid Request: \"jsonrpc\" must be \"2.0\""};
    }
    const auto method = message.find("method");
    if (method == message.end()) {
        if (message.contains("result") || message.contains("error")) return Response{};
        return Refusal{replyId, invalidRequest, "Invalid Request: no \"method\""};
    }
    if (!method->is_string()) {
        return Refusal{replyId, invalidRequest, "Invalid Request: \"method\" must be a string"};
    }
    nlohmann::json params = nullptr;
    if (const auto found = message.find("params"); found != message.end()) {
        if (!found->is_object()) {
            return Refusal{replyId, invalidRequest,
                           "Invalid Request: \"params\" must be an object"};
        }
        params = *found;
    }
    if (id == message.end()) return Notification{method->get<std::string>(), std::move(params)};
    if (!validId(*id)) {
        return Refusal{nullptr, invalidRequest,
                       "Invalid Request: \"id\" must be a string or an integer"};
    }
    return Request{*id, method->get<std::string>(), std::move(params)};
}

std::string result(const nlohmann::json& id, const nlohmann::json& result) {
    return nlohmann::json{{"jsonrpc", "2.0"}, {"id", id}, {"result", result}}.dump(
        -1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string error(const nlohmann::json& id, int code, const std::string& message,
                  const nlohmann::json& data) {
    nlohmann::json body{{"code", code}, {"message", message}};
    if (!data.is_null()) body["data"] = data;
    return nlohmann::json{{"jsonrpc", "2.0"}, {"id", id}, {"error", body}}.dump(
        -1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace tavrel::client::mcp::JsonRpc
