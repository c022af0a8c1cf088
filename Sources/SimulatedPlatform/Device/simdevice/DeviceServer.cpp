#include "SimulatedPlatform/Device/simdevice/DeviceServer.hpp"

#include <poll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <list>

#include "SimulatedPlatform/Device/DeviceLink/LinkProtocol.hpp"
#include "SimulatedPlatform/Device/simdevice/DemoModel.hpp"
#include "SimulatedPlatform/Device/simdevice/DemoRenderer.hpp"

namespace tavrel::sim {
namespace {

constexpr double frameIntervalS = 1.0 / 60;
constexpr int watchIntervalMs = 2000;

double nowS() {
    return link::monotonicNs() / 1e9;
}

std::string clockText() {
    const time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    char text[8];
    strftime(text, sizeof text, "%H:%M", &local);
    return text;
}

// Milliseconds until the wall clock's next minute, and a little after it.
int msUntilNextMinute() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const long ms = (60 - now.tv_sec % 60) * 1000 - now.tv_nsec / 1000000;
    return static_cast<int>(ms) + 5;
}

struct Client {
    FileDescriptor socket;
    bool wantsFrames = false;
};

}  // namespace

struct DeviceServer::State {
    std::filesystem::path directory;
    DeviceInfo info;
    SurfaceWriter surfaces;
    DemoModel model;
    DemoRenderer renderer;
    FileDescriptor listener;
    std::list<Client> clients;
    uint64_t drawnVersion = 0;
    double nextAnimationS = 0;

    State(std::filesystem::path directory_, DeviceInfo info_)
        : directory(std::move(directory_)),
          info(std::move(info_)),
          surfaces(info.widthPx, info.heightPx, 2),
          model(info.widthPt, info.heightPt),
          listener(link::listenAt(directory)) {}

    void redraw();
    bool handle(Client& client, const nlohmann::json& message);
    nlohmann::json answer(Client& client, const nlohmann::json& message);
};

void DeviceServer::State::redraw() {
    drawnVersion = model.version();
    uint8_t* pixels = surfaces.beginFrame();
    renderer.draw(model, pixels, info.widthPx, info.heightPx, surfaces.bytesPerRow(), info.scale);
    const uint32_t seed = surfaces.endFrame();
    const nlohmann::json notice = {{"event", "frame"},
                                   {"surface", surfaces.frontIndex()},
                                   {"seed", seed},
                                   {"drawn_ns", link::monotonicNs()}};
    for (auto& client : clients) {
        // A client that does not keep up misses notices, never stalls the device.
        if (client.wantsFrames) link::sendPacket(client.socket.get(), notice, -1, true);
    }
}

nlohmann::json DeviceServer::State::answer(Client& client, const nlohmann::json& message) {
    const std::string op = message.value("op", "");
    if (op == "hello") return {{"info", link::toJSON(info)}};
    if (op == "subscribe") {
        client.wantsFrames = message.value("frames", false);
        return nlohmann::json::object();
    }
    if (op == "input") {
        const InputEvent event = link::inputEventFromJSON(message.value("event", nlohmann::json()));
        switch (event.kind) {
            case InputEvent::Kind::touch:
                model.touch(static_cast<int>(event.phase),
                            std::clamp(event.x, 0.0, double(info.widthPt)),
                            std::clamp(event.y, 0.0, double(info.heightPt)));
                break;
            case InputEvent::Kind::touches: {
                auto finger =
                    [&](const std::optional<Contact>& contact) -> std::optional<DemoModel::Finger> {
                    if (!contact) return std::nullopt;
                    return DemoModel::Finger{static_cast<int>(contact->phase),
                                             std::clamp(contact->x, 0.0, double(info.widthPt)),
                                             std::clamp(contact->y, 0.0, double(info.heightPt))};
                };
                model.touches(finger(event.one), finger(event.two));
                break;
            }
            case InputEvent::Kind::button:
                model.button(event.usagePage, event.usage, event.down, nowS());
                break;
            case InputEvent::Kind::key:
                model.key(event.usage, event.down);
                break;
        }
        return nlohmann::json::object();
    }
    if (op == "accessibility") {
        const auto request = message.value("request", nlohmann::json::object());
        if (!request.is_object() || request.value("request", "") != "frontmost") {
            return {{"response", {{"error", "unknown accessibility request"}}}};
        }
        auto frontmost = model.frontmost();
        return {{"response", {{"frontmost", frontmost ? toJSON(*frontmost) : nlohmann::json()}}}};
    }
    if (op == "animate") {
        model.setAnimating(message.value("on", false));
        nextAnimationS = nowS();
        return nlohmann::json::object();
    }
    return {{"error", "unknown request: " + op}};
}

bool DeviceServer::State::handle(Client& client, const nlohmann::json& message) {
    nlohmann::json reply;
    int passFd = -1;
    try {
        if (message.value("op", "") == "surfaces") {
            reply = nlohmann::json::object();
            passFd = surfaces.fd();
        } else {
            reply = answer(client, message);
        }
    } catch (const std::exception& error) {
        reply = {{"error", error.what()}};
    }
    if (auto id = message.find("id"); id != message.end()) reply["id"] = *id;
    return link::sendPacket(client.socket.get(), reply, passFd);
}

DeviceServer::DeviceServer(std::filesystem::path directory, DeviceInfo info)
    : state_(std::make_unique<State>(std::move(directory), std::move(info))) {}

DeviceServer::~DeviceServer() = default;

void DeviceServer::run(int signalFd, const std::function<void()>& ready,
                       const std::function<bool()>& stillWanted) {
    auto& s = *state_;
    s.model.setClock(clockText());
    s.redraw();
    ready();
    double nextWatchS = nowS() + watchIntervalMs / 1000.0;
    for (;;) {
        std::vector<pollfd> fds;
        fds.push_back({signalFd, POLLIN, 0});
        fds.push_back({s.listener.get(), POLLIN, 0});
        for (auto& client : s.clients) fds.push_back({client.socket.get(), POLLIN, 0});
        int timeoutMs = std::min(msUntilNextMinute(), watchIntervalMs);
        if (s.model.animating()) {
            timeoutMs = std::max(0, static_cast<int>((s.nextAnimationS - nowS()) * 1000 + 0.999));
        }
        const int n = poll(fds.data(), fds.size(), timeoutMs);
        if (n < 0 && errno != EINTR) throw std::runtime_error("poll failed");
        if (n > 0) {
            if (fds[0].revents) return;  // SIGTERM or SIGINT: shut down
            if (fds[1].revents & POLLIN) {
                FileDescriptor socket(accept4(s.listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
                if (socket) {
                    // Replies are small; a client that stops reading for a second is dropped.
                    timeval limit{1, 0};
                    setsockopt(socket.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
                    s.clients.push_back({std::move(socket), false});
                }
            }
            size_t index = 2;
            for (auto client = s.clients.begin(); client != s.clients.end() && index < fds.size();
                 ++index) {
                bool keep = true;
                if (fds[index].revents & (POLLIN | POLLHUP | POLLERR)) {
                    try {
                        auto packet = link::receivePacket(client->socket.get());
                        keep = packet && s.handle(*client, packet->message);
                    } catch (const std::exception&) {
                        keep = false;
                    }
                }
                client = keep ? std::next(client) : s.clients.erase(client);
            }
        }
        if (nowS() >= nextWatchS) {
            if (!stillWanted()) return;
            nextWatchS = nowS() + watchIntervalMs / 1000.0;
        }
        s.model.setClock(clockText());
        if (s.model.animating() && nowS() >= s.nextAnimationS) {
            s.model.stepAnimation();
            s.nextAnimationS += frameIntervalS;
            // Fell behind (a slow machine): start the cadence again from now.
            if (s.nextAnimationS < nowS()) s.nextAnimationS = nowS() + frameIntervalS;
        }
        if (s.model.version() != s.drawnVersion) s.redraw();
    }
}

}  // namespace tavrel::sim
