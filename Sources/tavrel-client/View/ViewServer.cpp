// The viewer's web server: the page over HTTP and one WebSocket per open page, on one thread.
//
//   browser ──HTTP──▶ page files (token checked)
//   browser ──HTTP──▶ /replay.mp4 ──▶ ViewReplay      ─▶ helper (replay), tavrel-helper render
//   browser ◀─WS──▶ Viewer ──▶ RequestLane "input"  ─▶ helper (hid)
//                          ──▶ RequestLane "query"  ─▶ helper (accessibility, describe)
//                          ◀── StreamPump            ◀─ helper (stream: one access unit a chunk)
//
// Lanes and pumps block on their own threads and post what they get to the server's thread;
// everything a Viewer holds is touched on that thread only.

#include "tavrel-client/View/ViewServer.hpp"

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <csignal>
#include <deque>
#include <iostream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>

#include "HelperCore/Base/HelperFailure.hpp"
#include "tavrel-client/ClientRequests.hpp"
#include "tavrel-client/ClientSocket.hpp"
#include "tavrel-client/View/ViewAccess.hpp"
#include "tavrel-client/View/ViewAssets.hpp"
#include "tavrel-client/View/ViewHelper.hpp"
#include "tavrel-client/View/ViewOutbox.hpp"
#include "tavrel-client/View/ViewReplay.hpp"
#include "tavrel-client/View/ViewTrace.hpp"

namespace tavrel::client {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using asio::awaitable;
using asio::use_awaitable;
using nlohmann::json;
using namespace std::chrono_literals;

// What one browser can make the client spend. Connections that have shown the token and those
// that have not yet have budgets of their own: anyone on the machine can open the second kind,
// and must not be able to keep a page with the token out.
constexpr std::size_t maxConnections = 64;
constexpr std::size_t maxUnadmitted = 32;
constexpr std::size_t maxViewers = 8;
// Stream bytes waiting for one page's socket; past this the page is behind, and it is better
// to skip to a fresh key frame than to show the past later and later.
constexpr std::size_t maxQueuedVideoBytes = 1 << 20;
constexpr std::size_t maxWaitingRequests = 32;
constexpr std::size_t maxMessageBytes = 64 * 1024;
constexpr auto httpIdleTimeout = 30s;
// A saved replay is megabytes: a page has this long to take it.
constexpr auto replayWriteTimeout = 120s;
// A connection that has not shown the token has this long to send a request's headers; a page
// sends them at once.
constexpr auto unadmittedHeaderTimeout = 5s;
// How long a connection that has not shown the token is safe from making room for a newer one.
constexpr auto strangerGrace = 200ms;

struct Settings {
    std::string socket;
    double timeoutS;
    std::string streamRequest;
    json screen;
    std::string token;
    /// The seconds the helper keeps for a replay; 0 when it keeps none.
    std::int64_t replaySeconds = 0;
};

class Viewer;

class Server {
  public:
    enum class State { serving, stopping };
    using Clock = std::chrono::steady_clock;

    Server(asio::io_context& io, Settings settings)
        : io_(io), settings_(std::move(settings)), replay_(settings_.socket, settings_.timeoutS) {}

    void listen(const tcp::endpoint& endpoint) {
        acceptor_.open(endpoint.protocol());
        acceptor_.set_option(tcp::acceptor::reuse_address(true));
        acceptor_.bind(endpoint);
        acceptor_.listen();
    }
    tcp::endpoint endpoint() const { return acceptor_.local_endpoint(); }
    const Settings& settings() const { return settings_; }
    asio::io_context& io() { return io_; }

    awaitable<void> accept() {
        while (state_ == State::serving) {
            if (!co_await makeRoomForAStranger()) break;
            tcp::socket socket(io_);
            boost::system::error_code error;
            co_await acceptor_.async_accept(socket, asio::redirect_error(use_awaitable, error));
            if (error) {
                if (state_ != State::serving) break;
                continue;
            }
            // A tap's frame must not wait for the acknowledgement of the one before it.
            boost::system::error_code ignored;
            socket.set_option(tcp::no_delay(true), ignored);
            asio::co_spawn(io_, serve(std::move(socket)), asio::detached);
        }
    }

    /// Closes the listener and every connection; their coroutines end and `run` returns.
    void stop() {
        if (state_ == State::stopping) return;
        state_ = State::stopping;
        boost::system::error_code ignored;
        acceptor_.close(ignored);
        for (auto& [number, stream] : connections_) stream->close();
        doorWait_.cancel();
        if (auto waiting = replayWaiting_.lock()) waiting->wake.cancel();
    }

    std::size_t viewers = 0;

  private:
    // Keeps a connection's socket findable for `stop`, from its start to its end, and counts it
    // in the budget of its state: `unadmitted` until a request shows the token, then `admitted`.
    class Registration {
      public:
        enum class State { unadmitted, admitted };

        Registration(Server& server, beast::tcp_stream& stream)
            : server_(server), number_(server.nextConnection_++) {
            server_.connections_[number_] = &stream;
            server_.unadmitted_.emplace(number_, Clock::now());
        }
        ~Registration() {
            server_.connections_.erase(number_);
            if (server_.unadmitted_.erase(number_) > 0) server_.doorWait_.cancel();
            if (state_ == State::admitted) --server_.admitted_;
        }
        Registration(const Registration&) = delete;
        Registration& operator=(const Registration&) = delete;
        void moved(beast::tcp_stream& stream) { server_.connections_[number_] = &stream; }
        State state() const { return state_; }
        /// False when the admitted budget is spent.
        bool admit() {
            if (state_ == State::admitted) return true;
            if (server_.admitted_ >= maxConnections) return false;
            server_.unadmitted_.erase(number_);
            server_.doorWait_.cancel();
            ++server_.admitted_;
            state_ = State::admitted;
            return true;
        }

      private:
        Server& server_;
        std::uint64_t number_;
        State state_ = State::unadmitted;
    };

    // A save under way, and its result once the saving thread posts it.
    struct ReplayWaiting {
        explicit ReplayWaiting(asio::io_context& io) : wake(io) {}
        asio::steady_timer wake;
        std::optional<ViewReplay::Result> result;
    };

    // With the strangers' budget spent, the oldest stranger makes room for the next connection,
    // so that strangers that never speak cannot fill the door. But each first gets
    // `strangerGrace` to show the token: evicted at once, a page's connection could go before its
    // headers were read, while a burst of strangers was accepted behind it. Until then, the next
    // connections wait in the listen queue; a page gets in once those ahead of it have had
    // their grace. False when the viewer stops.
    awaitable<bool> makeRoomForAStranger() {
        while (state_ == State::serving && unadmitted_.size() >= maxUnadmitted) {
            const auto [number, arrived] = *unadmitted_.begin();
            if (const auto age = Clock::now() - arrived; age < strangerGrace) {
                doorWait_.expires_after(strangerGrace - age);
                boost::system::error_code ignored;
                co_await doorWait_.async_wait(asio::redirect_error(use_awaitable, ignored));
                continue;
            }
            unadmitted_.erase(unadmitted_.begin());
            if (const auto found = connections_.find(number); found != connections_.end())
                found->second->close();
        }
        co_return state_ == State::serving;
    }

    awaitable<void> serve(tcp::socket socket);
    http::response<http::string_body> page(const http::request<http::string_body>& request);
    awaitable<http::response<http::string_body>> saveReplay(
        const http::request<http::string_body>& request);
    static http::response<http::string_body> refusal(
        const http::request<http::string_body>& request, http::status status,
        const std::string& why);

    asio::io_context& io_;
    Settings settings_;
    tcp::acceptor acceptor_{io_};
    State state_ = State::serving;
    std::uint64_t nextConnection_ = 0;
    std::map<std::uint64_t, beast::tcp_stream*> connections_;
    // When each stranger came in, oldest first: connection numbers only grow.
    std::map<std::uint64_t, Clock::time_point> unadmitted_;
    asio::steady_timer doorWait_{io_};
    std::size_t admitted_ = 0;
    ViewReplay replay_;
    std::weak_ptr<ReplayWaiting> replayWaiting_;
};

// One open page: its video, its touches and keys, its element-tree questions.
class Viewer : public std::enable_shared_from_this<Viewer> {
  public:
    enum class State { open, closed };

    Viewer(Server& server, beast::tcp_stream stream)
        : server_(server), socket_(std::move(stream)), wake_(server.io()) {
        socket_.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
        socket_.read_message_max(maxMessageBytes);
        // One frame, one write per message: 4 KiB fragments each cost a write and a wake-up.
        socket_.auto_fragment(false);
    }

    ~Viewer() { close(); }

    beast::tcp_stream& lowest() { return beast::get_lowest_layer(socket_); }

    awaitable<void> accept(const http::request<http::string_body>& request) {
        co_await socket_.async_accept(request, use_awaitable);
    }

    awaitable<void> run() {
        const auto& settings = server_.settings();
        json screen{{"type", "screen"}, {"screen", settings.screen}};
        if (settings.replaySeconds > 0) screen["replay_seconds"] = settings.replaySeconds;
        sendText(screen.dump());
        auto self = weak_from_this();
        auto& io = server_.io();
        pump_ = std::make_unique<StreamPump>(
            settings.socket, settings.streamRequest,
            [self, &io](Bytes unit, ViewTrace::Clock::time_point at) {
                asio::post(io, [self, unit = std::move(unit), at] {
                    if (auto viewer = self.lock()) viewer->video(unit, at);
                });
            },
            [self, &io](const std::string& trouble) {
                asio::post(io, [self, trouble] {
                    if (auto viewer = self.lock()) {
                        viewer->sendText(json{{"type", "trouble"}, {"text", trouble}}.dump());
                    }
                });
            });
        auto answered = [self, &io](RequestLane::Answer answer) {
            asio::post(io, [self, answer = std::move(answer)] {
                if (auto viewer = self.lock()) viewer->answered(answer);
            });
        };
        input_ = std::make_unique<RequestLane>(settings.socket, settings.timeoutS,
                                               maxWaitingRequests, answered);
        query_ = std::make_unique<RequestLane>(settings.socket, settings.timeoutS,
                                               maxWaitingRequests, answered);
        asio::co_spawn(io, write(shared_from_this()), asio::detached);
        try {
            for (;;) {
                beast::flat_buffer buffer;
                co_await socket_.async_read(buffer, use_awaitable);
                const auto received = ViewTrace::Clock::now();
                if (socket_.got_text()) message(beast::buffers_to_string(buffer.data()), received);
            }
        } catch (const boost::system::system_error&) {
            // the page went away, or the viewer stops
        }
        close();
    }

  private:
    void close() {
        if (state_ == State::closed) return;
        state_ = State::closed;
        pump_.reset();
        input_.reset();
        query_.reset();
        wake_.cancel();
    }

    void sendText(std::string text) {
        if (state_ != State::open) return;
        if (!outbox_.text(std::move(text))) {
            // Closing the socket ends the reading and the writing coroutines.
            close();
            lowest().close();
            return;
        }
        wake_.cancel();
    }

    void video(const Bytes& unit, ViewTrace::Clock::time_point pumped) {
        if (state_ != State::open) return;
        switch (outbox_.video(unit)) {
            case ViewOutbox::Taken::queued:
                trace_.queued(outbox_.lastSerial(), pumped);
                wake_.cancel();
                break;
            case ViewOutbox::Taken::skipped:
                break;
            case ViewOutbox::Taken::behind:
                pump_->restart();
                break;
        }
    }

    // {"id":N,"op":"hid","events":[...]} or {"id":N,"op":"accessibility"|"describe"}; only
    // these reach the helper, rebuilt from their known members. A hid request with "trace": true
    // is traced (ViewTrace); {"id":N,"op":"clock"} answers the client's monotonic time, with
    // which the page puts the trace on its own clock.
    void message(const std::string& text, ViewTrace::Clock::time_point received) {
        const auto request = json::parse(text, nullptr, false);
        if (!request.is_object() || !request.contains("id") ||
            !request["id"].is_number_unsigned() || !request.contains("op") ||
            !request["op"].is_string()) {
            return;  // not from our page
        }
        const auto id = request["id"].get<std::uint64_t>();
        const auto op = request["op"].get<std::string>();
        bool queued = false;
        if (op == "clock") {
            RequestLane::Answer answer;
            answer.tag = id;
            answer.ok = true;
            answer.json = json{{"monotonic_ms", ViewTrace::ms(ViewTrace::Clock::now())}}.dump();
            return answered(answer);
        }
        if (op == "hid" && request.contains("events") && request["events"].is_array()) {
            queued = input_->submit(id, json{{"op", "hid"}, {"events", request["events"]}}.dump());
            if (queued && request.contains("trace") && request["trace"] == true) {
                trace_.begin(id, received);
            }
        } else if (op == "accessibility" || op == "describe") {
            queued = query_->submit(id, json{{"op", op}}.dump());
        } else {
            return refuse(id, "not a viewer request: " + op, 400);
        }
        if (!queued) refuse(id, "too many requests wait for the helper", 503);
    }

    void refuse(std::uint64_t id, const std::string& message, int status) {
        RequestLane::Answer answer;
        answer.tag = id;
        answer.message = message;
        answer.status = status;
        answered(answer);
    }

    void answered(const RequestLane::Answer& answer) {
        json reply{{"type", "answer"}, {"id", answer.tag}, {"ok", answer.ok}};
        if (answer.ok) {
            reply["json"] = json::parse(answer.json, nullptr, false);
            trace_.answered(answer.tag, answer.written, answer.replied);
        } else {
            reply["message"] = answer.message;
            reply["status"] = answer.status;
        }
        sendText(reply.dump());
        traced();
    }

    void traced() {
        if (auto trace = trace_.finished()) {
            sendText(json{{"type", "trace"}, {"client", std::move(*trace)}}.dump());
        }
    }

    static awaitable<void> write(std::shared_ptr<Viewer> self) {
        try {
            while (self->state_ == State::open) {
                auto item = self->outbox_.next();
                if (!item) {
                    boost::system::error_code woken;
                    self->wake_.expires_at(asio::steady_timer::time_point::max());
                    co_await self->wake_.async_wait(asio::redirect_error(use_awaitable, woken));
                    continue;
                }
                self->socket_.binary(item->binary);
                co_await self->socket_.async_write(asio::buffer(item->bytes), use_awaitable);
                if (item->binary) {
                    self->trace_.sent(item->serial, ++self->videoMessages_,
                                      ViewTrace::Clock::now());
                    self->traced();
                }
            }
        } catch (const boost::system::system_error&) {
            beast::get_lowest_layer(self->socket_).close();
        }
    }

    Server& server_;
    websocket::stream<beast::tcp_stream> socket_;
    State state_ = State::open;
    ViewOutbox outbox_{maxQueuedVideoBytes};
    ViewTrace trace_;
    std::uint64_t videoMessages_ = 0;  // written to the page
    asio::steady_timer wake_;
    std::unique_ptr<StreamPump> pump_;
    std::unique_ptr<RequestLane> input_;
    std::unique_ptr<RequestLane> query_;
};

http::response<http::string_body> Server::refusal(const http::request<http::string_body>& request,
                                                  http::status status, const std::string& why) {
    http::response<http::string_body> response{status, request.version()};
    response.set(http::field::content_type, "text/plain; charset=utf-8");
    response.set(http::field::cache_control, "no-store");
    response.keep_alive(false);
    response.body() = why + "\n";
    response.prepare_payload();
    return response;
}

http::response<http::string_body> Server::page(const http::request<http::string_body>& request) {
    if (request.method() != http::verb::get && request.method() != http::verb::head) {
        return refusal(request, http::status::method_not_allowed, "only GET");
    }
    const std::string_view target(request.target().data(), request.target().size());
    if (!ViewAccess::sameToken(ViewAccess::tokenOf(target), settings_.token)) {
        return refusal(request, http::status::forbidden,
                       "this viewer opens only with the token of the URL it printed");
    }
    std::string_view path = ViewAccess::pathOf(target);
    if (path == "/") path = "/index.html";
    const auto asset = viewAsset(path);
    if (!asset) return refusal(request, http::status::not_found, "no such file");
    http::response<http::string_body> response{http::status::ok, request.version()};
    response.set(http::field::content_type,
                 std::string(asset->contentType.data(), asset->contentType.size()));
    response.set(http::field::cache_control, "no-store");
    // The token is in the URL: it must not leave in a Referer.
    response.set("Referrer-Policy", "no-referrer");
    response.set("X-Content-Type-Options", "nosniff");
    response.set("Content-Security-Policy",
                 "default-src 'self'; img-src 'self' data: blob:; frame-ancestors 'none'");
    std::string body(asset->bytes);
    if (path == "/index.html") {
        // Subresources carry the token too.
        for (auto at = body.find("{{token}}"); at != std::string::npos;
             at = body.find("{{token}}", at)) {
            body.replace(at, 9, settings_.token);
        }
    }
    response.body() = std::move(body);
    response.keep_alive(request.keep_alive());
    response.prepare_payload();
    if (request.method() == http::verb::head) response.body().clear();
    return response;
}

awaitable<http::response<http::string_body>> Server::saveReplay(
    const http::request<http::string_body>& request) {
    if (request.method() != http::verb::get) {
        co_return refusal(request, http::status::method_not_allowed, "only GET");
    }
    if (settings_.replaySeconds <= 0) {
        co_return refusal(request, http::status::conflict,
                          "the helper keeps no replay: start it with --replay-seconds N");
    }
    auto waiting = std::make_shared<ReplayWaiting>(io_);
    waiting->wake.expires_at(asio::steady_timer::time_point::max());
    std::weak_ptr<ReplayWaiting> weak = waiting;
    const bool started = replay_.start([weak, &io = io_](ViewReplay::Result result) {
        asio::post(io, [weak, result = std::move(result)]() mutable {
            if (auto waiter = weak.lock()) {
                waiter->result = std::move(result);
                waiter->wake.cancel();
            }
        });
    });
    if (!started) {
        co_return refusal(request, http::status::service_unavailable,
                          "the last seconds are being saved already; try again when that is done");
    }
    replayWaiting_ = waiting;
    while (!waiting->result && state_ == State::serving) {
        boost::system::error_code woken;
        co_await waiting->wake.async_wait(asio::redirect_error(use_awaitable, woken));
    }
    if (!waiting->result) {
        co_return refusal(request, http::status::service_unavailable, "the viewer stops");
    }
    auto& result = *waiting->result;
    if (!result.ok) {
        // The helper's refusals keep their status; what is no HTTP error is the helper's fault.
        auto status = http::int_to_status(static_cast<unsigned>(std::max(result.status, 0)));
        if (status == http::status::unknown || result.status < 400) {
            status = http::status::bad_gateway;
        }
        co_return refusal(request, status, result.message);
    }
    http::response<http::string_body> response{http::status::ok, request.version()};
    response.set(http::field::content_type, "video/mp4");
    response.set(http::field::content_disposition, "attachment; filename=\"replay.mp4\"");
    response.set(http::field::cache_control, "no-store");
    response.set("X-Content-Type-Options", "nosniff");
    response.body() = std::move(result.mp4);
    response.keep_alive(request.keep_alive());
    response.prepare_payload();
    co_return response;
}

awaitable<void> Server::serve(tcp::socket socket) {
    beast::tcp_stream stream(std::move(socket));
    Registration registration(*this, stream);
    beast::flat_buffer buffer;
    try {
        for (;;) {
            http::request_parser<http::string_body> parser;
            parser.header_limit(16 * 1024);
            parser.body_limit(4 * 1024);
            stream.expires_after(registration.state() == Registration::State::admitted
                                     ? httpIdleTimeout
                                     : unadmittedHeaderTimeout);
            co_await http::async_read(stream, buffer, parser, use_awaitable);
            auto request = parser.release();
            const std::string_view shown(request.target().data(), request.target().size());
            if (ViewAccess::sameToken(ViewAccess::tokenOf(shown), settings_.token) &&
                !registration.admit()) {
                auto full = refusal(request, http::status::service_unavailable,
                                    "this viewer has as many connections open as it serves");
                co_await http::async_write(stream, full, use_awaitable);
                break;
            }
            if (!websocket::is_upgrade(request) && ViewAccess::pathOf(shown) == "/replay.mp4" &&
                ViewAccess::sameToken(ViewAccess::tokenOf(shown), settings_.token)) {
                auto response = co_await saveReplay(request);
                stream.expires_after(replayWriteTimeout);
                co_await http::async_write(stream, response, use_awaitable);
                if (!response.keep_alive()) break;
                continue;
            }
            if (!websocket::is_upgrade(request)) {
                auto response = page(request);
                co_await http::async_write(stream, response, use_awaitable);
                if (!response.keep_alive()) break;
                continue;
            }
            const std::string_view target(request.target().data(), request.target().size());
            const auto origin = request[http::field::origin];
            const auto host = request[http::field::host];
            std::optional<http::response<http::string_body>> refused;
            if (!ViewAccess::sameToken(ViewAccess::tokenOf(target), settings_.token)) {
                refused = refusal(request, http::status::forbidden,
                                  "this viewer opens only with the token of the URL it printed");
            } else if (!ViewAccess::sameOrigin(std::string_view(origin.data(), origin.size()),
                                               std::string_view(host.data(), host.size()))) {
                refused = refusal(request, http::status::forbidden,
                                  "only the viewer's own page may open its socket");
            } else if (ViewAccess::pathOf(target) != "/live") {
                refused = refusal(request, http::status::not_found, "no such socket");
            } else if (viewers >= maxViewers) {
                refused = refusal(request, http::status::service_unavailable,
                                  "this viewer has as many pages open as it serves");
            }
            if (refused) {
                co_await http::async_write(stream, *refused, use_awaitable);
                break;
            }
            stream.expires_never();
            auto viewer = std::make_shared<Viewer>(*this, std::move(stream));
            registration.moved(viewer->lowest());
            struct Count {
                std::size_t& viewers;
                ~Count() { --viewers; }
            } count{++viewers};
            try {
                co_await viewer->accept(request);
                co_await viewer->run();
            } catch (const boost::system::system_error&) {
            }
            // The writer may still hold the viewer; it ends once the socket is closed.
            viewer->lowest().close();
            co_return;
        }
        stream.socket().shutdown(tcp::socket::shutdown_send);
    } catch (const boost::system::system_error&) {
        // a page or a probe that went away, timed out, or sent what is not HTTP
    }
}

}  // namespace

void view(const ClientInvocation& invocation, const ViewCommand& command, std::ostream& out) {
    Settings settings{invocation.socket, invocation.timeoutS, "", {}, ViewAccess::newToken(), 0};
    {
        ClientSocket socket(invocation.socket);
        const auto deadline =
            ClientSocket::Clock::now() + std::chrono::duration_cast<ClientSocket::Clock::duration>(
                                             std::chrono::duration<double>(invocation.timeoutS));
        const Frame reply = socket.answer(socket.request(ClientRequests::describe()), deadline);
        settings.screen = json::parse(reply.json.begin(), reply.json.end(), nullptr, false);
        if (!settings.screen.is_object()) {
            throw HelperFailure("the helper described its screen in what is not JSON", 502);
        }
        const Frame hello = socket.answer(socket.request(ClientRequests::hello()), deadline);
        const auto greeting = json::parse(hello.json.begin(), hello.json.end(), nullptr, false);
        if (greeting.is_object() && greeting.contains("replay_seconds") &&
            greeting["replay_seconds"].is_number_integer()) {
            settings.replaySeconds = greeting["replay_seconds"].get<std::int64_t>();
        }
    }
    settings.streamRequest = json{
        {"op", "stream"},
        {"fps", command.fps},
        {"scale", command.scale},
        {"key_frame_s", command.keyFrameS},
        {"bitrate",
         command.bitrate}}.dump();

    boost::system::error_code error;
    const auto address = asio::ip::make_address(command.bind, error);
    if (error) throw HelperFailure("not an address to listen on: " + command.bind, 400);
    if (!address.is_loopback()) {
        std::cerr << "tavrel-client: warning: a viewer on " << command.bind
                  << " is reachable from other machines, and its page, token, screen and "
                     "touches travel unencrypted"
                  << std::endl;
    }
    asio::io_context io(1);
    Server server(io, std::move(settings));
    try {
        server.listen(tcp::endpoint(address, static_cast<unsigned short>(command.port)));
    } catch (const boost::system::system_error& failure) {
        throw HelperFailure("cannot listen on " + command.bind + " port " +
                                std::to_string(command.port) + ": " + failure.code().message(),
                            502);
    }
    asio::signal_set signals(io, SIGINT, SIGTERM);
    signals.async_wait([&](const boost::system::error_code& failed, int) {
        if (!failed) server.stop();
    });
    // A page opened from any address reaches a viewer bound to all of them at the loopback one.
    std::string host =
        address.is_unspecified() ? (address.is_v6() ? "::1" : "127.0.0.1") : address.to_string();
    if (host.find(':') != std::string::npos) host = "[" + host + "]";
    out << "http://" << host << ':' << server.endpoint().port()
        << "/?token=" << server.settings().token << std::endl;
    asio::co_spawn(io, server.accept(), asio::detached);
    io.run();
}

}  // namespace tavrel::client
