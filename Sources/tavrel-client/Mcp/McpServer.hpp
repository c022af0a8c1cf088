#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>

#include "tavrel-client/Mcp/JsonRpc.hpp"
#include "tavrel-client/Mcp/McpDevices.hpp"
#include "tavrel-client/Mcp/McpSession.hpp"
#include "tavrel-client/Mcp/McpTools.hpp"

namespace tavrel::client::mcp {

/// The server on a pair of descriptors (standard input and output): the calling thread reads
/// lines and answers what needs no device (bad lines, pings, cancellations) at once; one worker
/// thread answers the requests in order. A `notifications/cancelled` stops the request it names
/// while it waits, or drops it before it starts; either way it gets no answer.
class McpServer {
  public:
    /// Requests waiting beyond the one running; more are refused.
    static constexpr std::size_t queueLimit = 64;

    McpServer(McpDevices& devices, int input, int output);

    /// Serves until the end of input, finishes the queued requests and any recording; returns
    /// the exit status (0).
    int run();

  private:
    void serveQueue();
    void answer(const JsonRpc::Request& request, std::stop_token stop);
    void cancel(const JsonRpc::Notification& notification);
    void send(const std::string& line);

    McpTools tools_;
    McpSession session_;
    int input_;
    int output_;

    std::mutex writeLock_;
    bool outputClosed_ = false;

    std::mutex queueLock_;
    std::condition_variable queued_;
    std::deque<JsonRpc::Request> queue_;
    bool inputEnded_ = false;
    /// The request the worker runs, and how to stop it.
    std::optional<nlohmann::json> runningId_;
    std::stop_source runningStop_;
};

}  // namespace tavrel::client::mcp
