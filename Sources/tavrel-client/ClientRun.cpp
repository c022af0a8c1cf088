#include "tavrel-client/ClientRun.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <thread>
#include <tuple>

#include "HelperCore/Base/HelperFailure.hpp"
#include "tavrel-client/ClientElements.hpp"
#include "tavrel-client/ClientRecording.hpp"
#include "tavrel-client/ClientReplay.hpp"
#include "tavrel-client/ClientRequests.hpp"
#include "tavrel-client/ClientSocket.hpp"
#include "tavrel-client/Mcp/CompactTree.hpp"
#include "tavrel-client/Mcp/McpServer.hpp"
#include "tavrel-client/StreamFiles.hpp"
#include "tavrel-client/TwoFingers.hpp"
#include "tavrel-client/View/ViewServer.hpp"

namespace tavrel::client {
namespace {

using Clock = ClientSocket::Clock;

std::string text(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// Writes to FILE, or to standard output for "-". Output that cannot be written is a failure of
// the command, not a silently short file.
class Output {
  public:
    explicit Output(const std::string& path) : path_(path) {
        if (path == "-") return;
        file_.open(path, std::ios::binary | std::ios::trunc);
        if (!file_) throw HelperFailure("cannot write " + path, 400);
    }
    void write(const Bytes& bytes) {
        stream().write(reinterpret_cast<const char*>(bytes.data()),
                       static_cast<std::streamsize>(bytes.size()));
    }
    void finish() {
        stream().flush();
        if (!stream()) throw HelperFailure("cannot write " + path_, 502);
    }
    bool toStandardOutput() const { return path_ == "-"; }

  private:
    std::ostream& stream() { return path_ == "-" ? std::cout : file_; }
    std::string path_;
    std::ofstream file_;
};

struct Session {
    const ClientInvocation& invocation;
    ClientSocket socket;

    Clock::time_point deadline() const {
        return Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                  std::chrono::duration<double>(invocation.timeoutS));
    }
    Frame ask(const std::string& json) { return socket.answer(socket.request(json), deadline()); }
    void hid(const std::vector<HIDEvent>& events) { ask(ClientRequests::hid(events)); }
    nlohmann::json element(const std::string& identifier) {
        const auto document =
            nlohmann::json::parse(text(ask(ClientRequests::accessibility()).json), nullptr, false);
        auto found = ClientElements::find(document, identifier);
        if (!found) throw HelperFailure("no element has the identifier " + identifier, 404);
        return std::move(*found);
    }
};

void sleepFor(double seconds) {
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

// Logs a touch just made, in fractions of the screen the helper describes.
void logTouch(Session& session, const std::optional<TouchLog>& log, const std::string& kind,
              const std::vector<std::pair<double, double>>& points, double startedAt,
              double duration, const std::vector<std::pair<double, double>>& pointsTwo = {}) {
    if (!log) return;
    const auto screen =
        nlohmann::json::parse(text(session.ask(ClientRequests::describe()).json), nullptr, false);
    const double width = screen.is_object() ? screen.value("width_pt", 0.0) : 0.0;
    const double height = screen.is_object() ? screen.value("height_pt", 0.0) : 0.0;
    ClientRecording::logTouch(*log, kind, points, startedAt, duration, width, height, pointsTwo);
}

void tap(Session& session, const TapCommand& command) {
    double x = command.x, y = command.y;
    if (!command.element.empty()) {
        std::tie(x, y) = ClientElements::center(session.element(command.element));
    }
    const double startedAt = ClientRecording::now();
    session.hid(ClientRequests::tap(x, y));
    logTouch(session, command.log, "tap", {{x, y}}, startedAt, 0.05);
}

void swipe(Session& session, const SwipeCommand& command) {
    const auto points = ClientRequests::swipe(command);
    const double startedAt = ClientRecording::now();
    const auto start = Clock::now();
    for (std::size_t index = 0; index < points.size(); ++index) {
        const auto& point = points[index];
        std::this_thread::sleep_until(start + std::chrono::duration_cast<Clock::duration>(
                                                  std::chrono::duration<double>(point.atS)));
        // A finger that moves is a further "down" at its new point.
        HIDEvent event;
        event.kind = HIDEvent::Kind::touch;
        event.phase = index + 1 == points.size() ? HIDEvent::Phase::up : HIDEvent::Phase::down;
        event.x = point.x;
        event.y = point.y;
        session.hid({event});
    }
    logTouch(session, command.log, "swipe", {{command.x1, command.y1}, {command.x2, command.y2}},
             startedAt, command.seconds);
}

// Both fingers down, a move of both every 1/60 s, and both lifted with the last move.
void twoFingers(Session& session, const std::string& kind, double x, double y,
                const std::string& element, double scale, double degrees, double seconds,
                const std::optional<TouchLog>& log) {
    if (!element.empty()) std::tie(x, y) = ClientElements::center(session.element(element));
    const auto moments = TwoFingers::path(x, y, scale, degrees, seconds);
    const double startedAt = ClientRecording::now();
    const auto start = Clock::now();
    session.hid(TwoFingers::events(moments.front(), HIDEvent::Phase::down));
    for (std::size_t index = 1; index < moments.size(); ++index) {
        const auto& moment = moments[index];
        std::this_thread::sleep_until(start + std::chrono::duration_cast<Clock::duration>(
                                                  std::chrono::duration<double>(moment.atS)));
        auto events = TwoFingers::events(moment, HIDEvent::Phase::down);
        if (index + 1 == moments.size()) {
            for (const auto& event : TwoFingers::events(moment, HIDEvent::Phase::up))
                events.push_back(event);
        }
        session.hid(events);
    }
    // Enough of the path to draw it: its ends and up to eleven points between.
    std::vector<std::pair<double, double>> first, second;
    const std::size_t steps = std::min<std::size_t>(12, moments.size() - 1);
    for (std::size_t step = 0; step <= steps; ++step) {
        const auto& moment = moments[(moments.size() - 1) * step / steps];
        first.emplace_back(moment.x0, moment.y0);
        second.emplace_back(moment.x1, moment.y1);
    }
    logTouch(session, log, kind, first, startedAt, seconds, second);
}

void stream(Session& session, const StreamCommand& command, std::ostream& out,
            std::ostream& notes) {
    auto file = StreamFile::open(command.file, static_cast<int>(command.fps));
    const auto id = session.socket.request(ClientRequests::stream(command));
    const auto start = Clock::now();
    // The seconds run from the first picture, so a slow start still yields them; until then the
    // usual answer timeout applies.
    auto end = session.deadline();
    std::optional<Clock::time_point> firstArrival;
    std::size_t units = 0;
    std::size_t bytes = 0;
    bool ended = false;
    for (;;) {
        std::optional<Frame> frame;
        try {
            frame = session.socket.next(id, end);
        } catch (const HelperFailure& failure) {
            if (failure.status() != 504) throw;
            break;  // the recording time is up
        }
        if (!frame) throw HelperFailure("the helper closed the connection during the stream", 502);
        if (frame->kind == FrameKind::failure) throwFailure(*frame);
        if (frame->kind == FrameKind::reply) {
            ended = true;
            break;
        }
        if (frame->kind != FrameKind::chunk) continue;
        const auto now = Clock::now();
        if (!firstArrival) {
            firstArrival = now;
            end = now + std::chrono::duration_cast<Clock::duration>(
                            std::chrono::duration<double>(command.seconds));
        }
        file->write(frame->blob, std::chrono::duration<double>(now - *firstArrival).count());
        ++units;
        bytes += frame->blob.size();
    }
    // Going away is how a client stops a stream: the helper cancels it and lets the encoder go.
    session.socket.close();
    file->finish();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const auto summary = nlohmann::json{{"access_units", units},
                                        {"bytes", bytes},
                                        {"ended_by_helper", ended},
                                        {"file", command.file},
                                        {"seconds", std::round(seconds * 1000) / 1000}}
                             .dump();
    (command.file == "-" ? notes : out) << summary << '\n';
}

}  // namespace

void run(const ClientInvocation& invocation, std::ostream& out, std::ostream& notes) {
    // Text that cannot be typed is refused before anything is sent.
    std::vector<HIDEvent> typed;
    if (const auto* command = std::get_if<TypeCommand>(&invocation.command)) {
        typed = ClientRequests::type(command->text);
    }
    if (const auto* command = std::get_if<ViewCommand>(&invocation.command)) {
        return view(invocation, *command, out);
    }
    if (const auto* command = std::get_if<McpCommand>(&invocation.command)) {
        // Standard output carries the protocol alone: the server writes to the descriptor.
        out.flush();
        mcp::McpDevices devices(*command);
        mcp::McpServer(devices, 0, 1).run();
        return;
    }
    Session session{invocation, ClientSocket(invocation.socket)};
    std::visit(
        [&](const auto& command) {
            using T = std::decay_t<decltype(command)>;
            if constexpr (std::is_same_v<T, HelloCommand>) {
                out << text(session.ask(ClientRequests::hello()).json) << '\n';
            } else if constexpr (std::is_same_v<T, DescribeCommand>) {
                out << text(session.ask(ClientRequests::describe()).json) << '\n';
            } else if constexpr (std::is_same_v<T, ScreenshotCommand>) {
                Output output(command.file);
                const Frame reply = session.ask(ClientRequests::screenshot(command));
                output.write(reply.blob);
                output.finish();
                auto summary = nlohmann::json::parse(text(reply.json), nullptr, false);
                if (!summary.is_object()) summary = nlohmann::json::object();
                summary["bytes"] = reply.blob.size();
                summary["file"] = command.file;
                (output.toStandardOutput() ? notes : out) << summary.dump() << '\n';
            } else if constexpr (std::is_same_v<T, TapCommand>) {
                tap(session, command);
            } else if constexpr (std::is_same_v<T, SwipeCommand>) {
                swipe(session, command);
            } else if constexpr (std::is_same_v<T, PinchCommand>) {
                twoFingers(session, "pinch", command.x, command.y, command.element, command.scale,
                           0, command.seconds, command.log);
            } else if constexpr (std::is_same_v<T, RotateCommand>) {
                twoFingers(session, "rotate", command.x, command.y, command.element, 1,
                           command.degrees, command.seconds, command.log);
            } else if constexpr (std::is_same_v<T, ButtonCommand>) {
                if (command.holdS > 0) {
                    session.hid(ClientRequests::button(command.name, true));
                    sleepFor(command.holdS);
                    session.hid(ClientRequests::button(command.name, false));
                } else {
                    auto events = ClientRequests::button(command.name, true);
                    events.push_back(ClientRequests::button(command.name, false).front());
                    session.hid(events);
                }
            } else if constexpr (std::is_same_v<T, KeyCommand>) {
                session.hid(ClientRequests::key(command.code));
            } else if constexpr (std::is_same_v<T, TypeCommand>) {
                session.hid(typed);
            } else if constexpr (std::is_same_v<T, AccessibilityCommand>) {
                const Frame reply = session.ask(ClientRequests::accessibility());
                if (command.raw) {
                    out << text(reply.json) << '\n';
                } else if (command.compact) {
                    out << mcp::CompactTree::text(
                        nlohmann::json::parse(text(reply.json), nullptr, false));
                } else {
                    const auto document = nlohmann::json::parse(text(reply.json), nullptr, false);
                    out << (document.is_discarded() ? text(reply.json) : document.dump(2)) << '\n';
                }
            } else if constexpr (std::is_same_v<T, ElementCommand>) {
                out << session.element(command.identifier).dump() << '\n';
            } else if constexpr (std::is_same_v<T, StreamCommand>) {
                stream(session, command, out, notes);
            } else if constexpr (std::is_same_v<T, RecordCommand>) {
                ClientRecording::record(
                    session.socket, invocation.socket, command,
                    [&session] { return session.deadline(); }, out, notes);
            } else if constexpr (std::is_same_v<T, ReplayCommand>) {
                const Frame reply = session.ask(ClientRequests::replay());
                out << ClientReplay::save(reply, command.mp4, command.gif).dump() << '\n';
            } else if constexpr (std::is_same_v<T, ViewCommand> || std::is_same_v<T, McpCommand>) {
                // served above, without a session of its own
            }
        },
        invocation.command);
}

}  // namespace tavrel::client
