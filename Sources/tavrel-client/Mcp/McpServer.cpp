#include "tavrel-client/Mcp/McpServer.hpp"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <iostream>
#include <thread>

#include "HelperCore/Commands/Version.hpp"
#include "tavrel-client/Mcp/LineReader.hpp"
#include "tavrel-client/Mcp/ToolTable.hpp"

namespace tavrel::client::mcp {
namespace {

volatile std::sig_atomic_t stopSignal = 0;

void noteStop(int signal) {
    stopSignal = signal;
}

const char* const instructions =
    "Drives iOS devices (simulators) for an agent. Coordinates are the screen's points, as "
    "ui_tree and find_elements give frames. Read the screen with ui_tree (cheap text) or "
    "screenshot; act with tap, swipe, type_text, press_key, press_button (screenshot_after "
    "returns the settled screen); wait_for waits for an element; record_start and record_stop "
    "save an MP4.";

}  // namespace

McpServer::McpServer(McpDevices& devices, int input, int output)
    : tools_(devices),
      session_("tavrel-client", helperVersion, instructions),
      input_(input),
      output_(output) {}

void McpServer::send(const std::string& line) {
    std::lock_guard guard(writeLock_);
    if (outputClosed_) return;
    std::string text = line + '\n';
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t count = ::write(output_, text.data() + done, text.size() - done);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) {
            // The client stopped reading; requests still finish, their answers go nowhere.
            outputClosed_ = true;
            std::cerr << "[warning] mcp: standard output is closed\n";
            return;
        }
        done += static_cast<std::size_t>(count);
    }
}

void McpServer::answer(const JsonRpc::Request& request, std::stop_token stop) {
    try {
        const auto context = session_.admit(request);
        if (auto result = session_.lifecycle(request, context); !result.is_null()) {
            send(JsonRpc::result(request.id, session_.finish(std::move(result), context)));
            return;
        }
        if (request.method == "tools/list") {
            nlohmann::json tools = nlohmann::json::array();
            for (const auto& tool : ToolTable::tools()) tools.push_back(ToolTable::describe(tool));
            nlohmann::json result{{"tools", std::move(tools)}};
            if (context.era == McpSession::Era::perRequest) {
                result["ttlMs"] = 0;
                result["cacheScope"] = "private";
            }
            send(JsonRpc::result(request.id, session_.finish(std::move(result), context)));
            return;
        }
        if (request.method == "tools/call") {
            const auto& params = request.params;
            const auto name = params.is_object() ? params.find("name") : params.end();
            if (!params.is_object() || name == params.end() || !name->is_string()) {
                throw JsonRpc::Error(JsonRpc::invalidParams, "Invalid params: name is required",
                                     {{"argument", "name"}});
            }
            const auto arguments = params.value("arguments", nlohmann::json::object());
            auto result = tools_.call(name->get<std::string>(), arguments, stop);
            send(JsonRpc::result(request.id, session_.finish(std::move(result), context)));
            return;
        }
        throw JsonRpc::Error(JsonRpc::methodNotFound, "Method not found: " + request.method);
    } catch (const JsonRpc::Error& error) {
        send(JsonRpc::error(request.id, error.code(), error.what(), error.data()));
    } catch (const ToolCancelled&) {
        std::cerr << "[info] mcp: request " << request.id.dump() << " cancelled\n";
    } catch (const std::exception& error) {
        send(JsonRpc::error(request.id, JsonRpc::internalError,
                            std::string("Internal error: ") + error.what()));
    }
}

void McpServer::serveQueue() {
    for (;;) {
        JsonRpc::Request request;
        std::stop_token stop;
        {
            std::unique_lock guard(queueLock_);
            queued_.wait(guard, [&] { return !queue_.empty() || inputEnded_; });
            if (queue_.empty()) return;
            request = std::move(queue_.front());
            queue_.pop_front();
            runningId_ = request.id;
            runningStop_ = std::stop_source();
            stop = runningStop_.get_token();
        }
        answer(request, stop);
        std::lock_guard guard(queueLock_);
        runningId_.reset();
    }
}

void McpServer::cancel(const JsonRpc::Notification& notification) {
    const auto& params = notification.params;
    if (!params.is_object() || !params.contains("requestId")) return;
    const auto& id = params["requestId"];
    std::lock_guard guard(queueLock_);
    if (runningId_ && *runningId_ == id) {
        runningStop_.request_stop();
        return;
    }
    std::erase_if(queue_, [&](const JsonRpc::Request& waiting) { return waiting.id == id; });
}

int McpServer::run() {
    // A client that goes away must not kill the server while it saves a recording.
    ::signal(SIGPIPE, SIG_IGN);
    // SIGTERM, SIGINT and SIGHUP end the server as the end of input does, only sooner: they stay
    // blocked everywhere except while the reader waits for input.
    sigset_t stopping, waiting;
    sigemptyset(&stopping);
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        sigaddset(&stopping, signal);
        struct sigaction action {};
        action.sa_handler = noteStop;
        ::sigaction(signal, &action, nullptr);
    }
    ::pthread_sigmask(SIG_BLOCK, &stopping, &waiting);
    sigdelset(&waiting, SIGTERM);
    sigdelset(&waiting, SIGINT);
    sigdelset(&waiting, SIGHUP);
    std::jthread worker([this] { serveQueue(); });
    LineReader reader(input_);
    reader.interruptible(&waiting, &stopSignal);
    for (;;) {
        LineReader::Item item;
        try {
            item = reader.next();
        } catch (const std::exception& error) {
            std::cerr << "[error] mcp: " << error.what() << '\n';
            break;
        }
        if (std::holds_alternative<LineReader::End>(item)) break;
        if (const auto* overlong = std::get_if<LineReader::Overlong>(&item)) {
            send(JsonRpc::error(nullptr, JsonRpc::invalidRequest,
                                "Invalid Request: a message is at most " +
                                    std::to_string(LineReader::defaultLimit) +
                                    " bytes; this line had more than " +
                                    std::to_string(overlong->bytes - 1)));
            continue;
        }
        const auto message = JsonRpc::read(std::get<LineReader::Line>(item).text);
        if (const auto* refusal = std::get_if<JsonRpc::Refusal>(&message)) {
            send(JsonRpc::error(refusal->id, refusal->code, refusal->message));
        } else if (const auto* notification = std::get_if<JsonRpc::Notification>(&message)) {
            if (notification->method == "notifications/cancelled") {
                cancel(*notification);
            } else {
                session_.notified(*notification);
            }
        } else if (const auto* request = std::get_if<JsonRpc::Request>(&message)) {
            if (request->method == "ping") {
                // Answered at once, even while a tool waits.
                answer(*request, {});
                continue;
            }
            std::unique_lock guard(queueLock_);
            if (queue_.size() >= queueLimit) {
                guard.unlock();
                send(JsonRpc::error(request->id, JsonRpc::internalError,
                                    "Internal error: " + std::to_string(queueLimit) +
                                        " requests are already waiting"));
                continue;
            }
            queue_.push_back(*request);
            queued_.notify_one();
        }
    }
    {
        std::lock_guard guard(queueLock_);
        inputEnded_ = true;
        if (stopSignal != 0) {
            std::cerr << "[info] mcp: stopping on signal " << stopSignal << '\n';
            queue_.clear();
            runningStop_.request_stop();
        }
        queued_.notify_one();
    }
    worker.join();
    tools_.finishRecordings();
    return 0;
}

}  // namespace tavrel::client::mcp
