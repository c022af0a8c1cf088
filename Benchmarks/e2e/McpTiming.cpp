// Times `tavrel-client mcp` against the bare requests it wraps, on a simulated iPhone 15 Pro,
// and prints one JSON line:
//   - a `tap` tool call (x, y) against a bare `hid` tap request, p50 and p90;
//   - a `screenshot` tool call against a bare screenshot request of the same size and quality;
//   - the `ui_tree` text against the helper's accessibility document of the Demo screen, in bytes.
// Usage: McpTiming [ROUNDS]   (default 50)

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "Support/SimulatorHome.hpp"
#include "Timing.hpp"
#include "tavrel-client/ClientRequests.hpp"

extern char** environ;

namespace tavrel {
namespace {

using namespace timing;

// The server as an agent app runs it: a child with its standard input and output on pipes.
class McpChild {
  public:
    explicit McpChild(const std::string& socket) {
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
            throw HelperFailure("cannot make pipes", 502);
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        const std::string program = e2e::programPath("tavrel-client");
        std::vector<std::string> words = {program, "--socket", socket, "mcp"};
        std::vector<char*> argv;
        for (auto& word : words) argv.push_back(word.data());
        argv.push_back(nullptr);
        const int failed =
            ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        input_ = in[1];
        output_ = out[0];
        if (failed != 0) throw HelperFailure("cannot start tavrel-client mcp", 502);
    }
    ~McpChild() {
        ::close(input_);  // the end of input ends the server
        int status = 0;
        ::waitpid(pid_, &status, 0);
        ::close(output_);
    }

    nlohmann::json ask(const nlohmann::json& message) {
        const std::string line = message.dump() + "\n";
        for (std::size_t done = 0; done < line.size();) {
            const auto count = ::write(input_, line.data() + done, line.size() - done);
            if (count <= 0) throw HelperFailure("the server stopped reading", 502);
            done += static_cast<std::size_t>(count);
        }
        for (;;) {
            if (const auto newline = buffer_.find('\n'); newline != std::string::npos) {
                auto answer = nlohmann::json::parse(buffer_.substr(0, newline));
                buffer_.erase(0, newline + 1);
                return answer;
            }
            char chunk[1 << 16];
            const auto count = ::read(output_, chunk, sizeof chunk);
            if (count <= 0) throw HelperFailure("the server ended", 502);
            buffer_.append(chunk, static_cast<std::size_t>(count));
        }
    }

    nlohmann::json call(const std::string& tool, const nlohmann::json& arguments) {
        auto answer = ask({{"jsonrpc", "2.0"},
                           {"id", ++id_},
                           {"method", "tools/call"},
                           {"params", {{"name", tool}, {"arguments", arguments}}}});
        if (!answer.contains("result") || answer["result"].value("isError", false)) {
            throw HelperFailure(tool + " failed: " + answer.dump().substr(0, 300), 502);
        }
        return answer["result"];
    }

  private:
    pid_t pid_ = -1;
    int input_ = -1;
    int output_ = -1;
    int id_ = 0;
    std::string buffer_;
};

nlohmann::json percentiles(const std::vector<double>& values) {
    return {{"p50", rounded(percentile(values, 0.5))}, {"p90", rounded(percentile(values, 0.9))}};
}

void run(int rounds) {
    e2e::SimulatorHome home;
    e2e::ServedDevice served(home, home.boot("Timing"));
    client::ClientSocket socket(served.socket());
    ask(socket, client::ClientRequests::hello());  // waits for the warm-up
    McpChild server(served.socket());
    server.ask({{"jsonrpc", "2.0"},
                {"id", 0},
                {"method", "initialize"},
                {"params",
                 {{"protocolVersion", "2025-11-25"},
                  {"capabilities", nlohmann::json::object()},
                  {"clientInfo", {{"name", "McpTiming"}, {"version", "1"}}}}}});

    // A blank spot below the list: taps change nothing on the screen.
    const double x = 196, y = 840;
    std::vector<double> tool, bare, toolShot, bareShot;
    for (int round = 0; round < rounds; ++round) {
        auto start = Clock::now();
        server.call("tap", {{"x", x}, {"y", y}});
        tool.push_back(millisecondsSince(start));
        start = Clock::now();
        ask(socket, client::ClientRequests::hid(client::ClientRequests::tap(x, y)));
        bare.push_back(millisecondsSince(start));
    }
    std::size_t toolShotBytes = 0, bareShotBytes = 0;
    for (int round = 0; round < rounds; ++round) {
        auto start = Clock::now();
        const auto shot = server.call("screenshot", nlohmann::json::object());
        toolShot.push_back(millisecondsSince(start));
        toolShotBytes = shot.dump().size();
        start = Clock::now();
        const auto reply = ask(socket, R"({"op":"screenshot","max_width":393,"quality":75})");
        bareShot.push_back(millisecondsSince(start));
        bareShotBytes = reply.blob.size();
    }
    const auto text =
        server.call("ui_tree", nlohmann::json::object())["content"][0]["text"].get<std::string>();
    const auto document = ask(socket, client::ClientRequests::accessibility()).json.size();

    report({
        {"rounds", rounds},
        {"tap_tool_ms", percentiles(tool)},
        {"tap_bare_hid_ms", percentiles(bare)},
        {"tap_tool_added_ms_p50", rounded(median(tool) - median(bare))},
        {"screenshot_tool_ms", percentiles(toolShot)},
        {"screenshot_bare_ms", percentiles(bareShot)},
        {"screenshot_tool_over_bare_p50", rounded(median(toolShot) / median(bareShot))},
        {"screenshot_tool_answer_bytes", toolShotBytes},
        {"screenshot_bare_jpeg_bytes", bareShotBytes},
        {"ui_tree_text_bytes", text.size()},
        {"accessibility_json_bytes", document},
        {"ui_tree_over_json",
         rounded(static_cast<double>(text.size()) / static_cast<double>(document))},
    });
}

}  // namespace
}  // namespace tavrel

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(3, std::atoi(argv[1])) : 50;
    return tavrel::timing::runTool("McpTiming", [&] { tavrel::run(rounds); });
}
