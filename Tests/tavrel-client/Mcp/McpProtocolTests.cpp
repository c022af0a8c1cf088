// The JSON-RPC layer, the line reader and the two protocol eras, without a device.

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "tavrel-client/Mcp/JsonRpc.hpp"
#include "tavrel-client/Mcp/LineReader.hpp"
#include "tavrel-client/Mcp/McpSession.hpp"

namespace tavrel::client::mcp {
namespace {

using nlohmann::json;

// A pipe whose write end a thread feeds in the given pieces, then closes.
class Feed {
  public:
    explicit Feed(std::vector<std::string> pieces) {
        EXPECT_EQ(::pipe(ends_), 0);
        writer_ = std::jthread([this, pieces = std::move(pieces)] {
            for (const auto& piece : pieces) {
                std::size_t done = 0;
                while (done < piece.size()) {
                    const auto count = ::write(ends_[1], piece.data() + done, piece.size() - done);
                    if (count <= 0) break;
                    done += static_cast<std::size_t>(count);
                }
            }
            ::close(ends_[1]);
        });
    }
    ~Feed() {
        writer_.join();
        ::close(ends_[0]);
    }
    int descriptor() const { return ends_[0]; }

  private:
    int ends_[2] = {-1, -1};
    std::jthread writer_;
};

// Each item as text: the line, "overlong" or "end".
std::vector<std::string> items(std::vector<std::string> pieces, std::size_t limit) {
    Feed feed(std::move(pieces));
    LineReader reader(feed.descriptor(), limit);
    std::vector<std::string> out;
    for (;;) {
        const auto item = reader.next();
        if (std::holds_alternative<LineReader::End>(item)) break;
        if (std::holds_alternative<LineReader::Overlong>(item)) {
            out.push_back("overlong");
        } else {
            out.push_back(std::get<LineReader::Line>(item).text);
        }
    }
    return out;
}

TEST(LineReader, CutsLinesAndSkipsTheOverlongWithoutLosingTheNext) {
    const std::string big(100, 'x');
    struct Case {
        std::vector<std::string> pieces;
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        {{"a\nb\n"}, {"a", "b"}},
        {{"a\r\n", "\n\nb"}, {"a", "b"}},  // CRLF, blank lines, a last line without newline
        {{"ab", "c\nd", "e\n"}, {"abc", "de"}},
        {{"0123456789\n"}, {"0123456789"}},  // exactly the limit
        {{"01234567890\nok\n"}, {"overlong", "ok"}},
        // Far longer than the limit and in many pieces: reported once, the next line intact.
        {{big, big, big + "\nnext\n"}, {"overlong", "next"}},
        {{big + "\n" + big + "\nlast"}, {"overlong", "overlong", "last"}},
        {{big}, {"overlong"}},
    };
    for (const auto& item : cases) {
        EXPECT_EQ(items(item.pieces, 10), item.expected) << item.pieces.front().substr(0, 20);
    }
}

TEST(LineReader, HoldsNoMoreThanTheLimitOfAnOverlongLine) {
    // 64 MiB through a reader bounded at 4 MiB: the line streams past in pieces.
    std::vector<std::string> pieces(64, std::string(1 << 20, 'y'));
    pieces.push_back("\n{}\n");
    EXPECT_EQ(items(pieces, LineReader::defaultLimit),
              (std::vector<std::string>{"overlong", "{}"}));
}

TEST(JsonRpc, ReadsMessagesAndRefusesWhatIsNone) {
    struct Case {
        std::string line;
        std::string kind;  // request, notification, response or the refusal's code
        json id;
    };
    const std::vector<Case> cases = {
        {R"({"jsonrpc":"2.0","id":1,"method":"ping"})", "request", 1},
        {R"({"jsonrpc":"2.0","id":"a","method":"tools/list","params":{}})", "request", "a"},
        {R"({"jsonrpc":"2.0","method":"notifications/initialized"})", "notification", nullptr},
        {R"({"jsonrpc":"2.0","id":1,"result":{}})", "response", nullptr},
        {R"({"jsonrpc":"2.0","id":1,"error":{"code":1,"message":"x"}})", "response", nullptr},
        {R"({"jsonrpc":"2.0","id":1,"method":"ping")", "-32700", nullptr},
        {"\xff\xfe", "-32700", nullptr},
        {R"("ping")", "-32600", nullptr},
        {R"([{"jsonrpc":"2.0","id":1,"method":"ping"}])", "-32600", nullptr},
        {R"({"id":3,"method":"ping"})", "-32600", 3},
        {R"({"jsonrpc":"2.0","id":3})", "-32600", 3},
        {R"({"jsonrpc":"2.0","id":3,"method":["ping"]})", "-32600", 3},
        {R"({"jsonrpc":"2.0","id":3,"method":"ping","params":[]})", "-32600", 3},
        {R"({"jsonrpc":"2.0","id":null,"method":"ping"})", "-32600", nullptr},
        {R"({"jsonrpc":"2.0","id":1.5,"method":"ping"})", "-32600", nullptr},
    };
    for (const auto& item : cases) {
        const auto message = JsonRpc::read(item.line);
        std::string kind;
        json id;
        if (const auto* request = std::get_if<JsonRpc::Request>(&message)) {
            kind = "request";
            id = request->id;
        } else if (std::holds_alternative<JsonRpc::Notification>(message)) {
            kind = "notification";
        } else if (std::holds_alternative<JsonRpc::Response>(message)) {
            kind = "response";
        } else {
            const auto& refusal = std::get<JsonRpc::Refusal>(message);
            kind = std::to_string(refusal.code);
            id = refusal.id;
        }
        EXPECT_EQ(kind, item.kind) << item.line;
        EXPECT_EQ(id, item.id) << item.line;
    }
}

TEST(JsonRpc, WritesOneLineEvenForTextWithNewlines) {
    const auto line = JsonRpc::result(7, {{"text", "a\nb"}});
    EXPECT_EQ(line.find('\n'), std::string::npos);
    EXPECT_EQ(json::parse(line),
              (json{{"jsonrpc", "2.0"}, {"id", 7}, {"result", {{"text", "a\nb"}}}}));
    EXPECT_EQ(json::parse(JsonRpc::error(nullptr, -32700, "Parse error")),
              (json{{"jsonrpc", "2.0"},
                    {"id", nullptr},
                    {"error", {{"code", -32700}, {"message", "Parse error"}}}}));
}

JsonRpc::Request request(const std::string& method, json params = nullptr) {
    return {1, method, std::move(params)};
}

json perRequest(const std::string& version) {
    return {{"_meta",
             {{McpSession::versionKey, version},
              {McpSession::clientInfoKey, {{"name", "t"}, {"version", "1"}}}}}};
}

int errorCode(McpSession& session, const JsonRpc::Request& request) {
    try {
        session.lifecycle(request, session.admit(request));
    } catch (const JsonRpc::Error& error) {
        return error.code();
    }
    return 0;
}

TEST(McpSession, AgreesOnTheClientsVersionOrItsNewest) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"2025-11-25", "2025-11-25"}, {"2025-06-18", "2025-06-18"}, {"2025-03-26", "2025-03-26"},
        {"2024-11-05", "2024-11-05"}, {"2024-10-07", "2025-11-25"}, {"2026-07-28", "2025-11-25"},
        {"soon", "2025-11-25"}};
    for (const auto& [asked, agreed] : cases) {
        McpSession session("s", "1", "i");
        const auto initialize = request("initialize", {{"protocolVersion", asked}});
        const auto result = session.lifecycle(initialize, session.admit(initialize));
        EXPECT_EQ(result["protocolVersion"], agreed) << asked;
        EXPECT_EQ(result["serverInfo"], (json{{"name", "s"}, {"version", "1"}}));
        EXPECT_TRUE(result["capabilities"].contains("tools"));
    }
}

TEST(McpSession, WalksTheHandshakeAndServesPerRequestMessagesBesideIt) {
    McpSession session("s", "1", "i");
    EXPECT_EQ(errorCode(session, request("tools/list")), JsonRpc::invalidRequest);
    EXPECT_EQ(errorCode(session, request("ping")), 0);
    EXPECT_EQ(errorCode(session, request("initialize", {{"protocolVersion", 5}})),
              JsonRpc::invalidParams);
    // The per-request era needs no handshake.
    const auto modern = request("tools/list", perRequest("2026-07-28"));
    const auto context = session.admit(modern);
    EXPECT_EQ(context.era, McpSession::Era::perRequest);
    EXPECT_EQ(session.state(), McpSession::State::awaitingInitialize);
    const auto finished = session.finish(json{{"tools", json::array()}}, context);
    EXPECT_EQ(finished["resultType"], "complete");
    EXPECT_EQ(finished["_meta"][McpSession::serverInfoKey]["name"], "s");
    EXPECT_EQ(errorCode(session, request("initialize", perRequest("2026-07-28"))),
              JsonRpc::invalidRequest);

    const auto initialize = request("initialize", {{"protocolVersion", "2025-06-18"}});
    const auto handshake = session.admit(initialize);
    session.lifecycle(initialize, handshake);
    EXPECT_EQ(session.state(), McpSession::State::initializing);
    EXPECT_EQ(errorCode(session, request("tools/list")), 0);
    session.notified({"notifications/initialized", nullptr});
    EXPECT_EQ(session.state(), McpSession::State::operating);
    EXPECT_EQ(session.finish(json::object(), session.admit(request("tools/list"))), json::object());
}

TEST(McpSession, RefusesAVersionItDoesNotSpeakWithTheListItDoes) {
    McpSession session("s", "1", "i");
    for (const auto& version : {json("2099-01-01"), json("2025-11-25"), json(20260728)}) {
        try {
            session.admit(request("tools/call", {{"_meta", {{McpSession::versionKey, version}}}}));
            ADD_FAILURE() << version;
        } catch (const JsonRpc::Error& error) {
            EXPECT_EQ(error.code(), JsonRpc::unsupportedProtocolVersion);
            EXPECT_EQ(error.data()["supported"], json{"2026-07-28"});
            EXPECT_EQ(error.data()["requested"],
                      version.is_string() ? version.get<std::string>() : version.dump());
        }
    }
    const auto discover = request("server/discover", perRequest("2026-07-28"));
    const auto context = session.admit(discover);
    const auto result = session.finish(session.lifecycle(discover, context), context);
    EXPECT_EQ(result["supportedVersions"], json{"2026-07-28"});
    EXPECT_EQ(result["resultType"], "complete");
    EXPECT_EQ(result["instructions"], "i");
    // A bare probe without _meta is answered too.
    EXPECT_EQ(errorCode(session, request("server/discover")), 0);
}

}  // namespace
}  // namespace tavrel::client::mcp
