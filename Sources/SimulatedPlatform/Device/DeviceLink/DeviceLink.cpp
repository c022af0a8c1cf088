#include "SimulatedPlatform/Device/DeviceLink/DeviceLink.hpp"

#include <pthread.h>
#include <sys/socket.h>

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "SimulatedPlatform/Device/DeviceLink/DeviceSet.hpp"
#include "SimulatedPlatform/Device/DeviceLink/LinkProtocol.hpp"

namespace tavrel::sim {

InputEvent InputEvent::touch(TouchPhase phase, double xPt, double yPt) {
    InputEvent event;
    event.kind = Kind::touch;
    event.phase = phase;
    event.x = xPt;
    event.y = yPt;
    return event;
}

InputEvent InputEvent::touches(std::optional<Contact> one, std::optional<Contact> two) {
    InputEvent event;
    event.kind = Kind::touches;
    event.one = one;
    event.two = two;
    return event;
}

InputEvent InputEvent::button(uint32_t usagePage, uint32_t usage, bool down) {
    InputEvent event;
    event.kind = Kind::button;
    event.usagePage = usagePage;
    event.usage = usage;
    event.down = down;
    return event;
}

InputEvent InputEvent::key(uint32_t usage, bool down) {
    InputEvent event;
    event.kind = Kind::key;
    event.usage = usage;
    event.down = down;
    return event;
}

namespace {

enum class Kind { frames, surfacesChanged, disconnected };

struct Subscription {
    Kind kind;
    DeviceLink::FrameCallback frame;
    std::function<void()> plain;
};

struct Event {
    Kind kind;
    FrameNotice notice;
    uint64_t only = 0;  // when set, for that subscription alone
};

}  // namespace

struct DeviceLink::State {
    FileDescriptor socket;
    DeviceInfo info;

    std::mutex lock;
    std::condition_variable repliesArrived;
    uint64_t nextId = 1;
    std::map<uint64_t, std::optional<link::Packet>> pending;
    bool connected = true;
    bool stopping = false;

    std::map<uint64_t, Subscription> subscriptions;
    uint64_t nextToken = 1;
    bool framesRequested = false;

    std::deque<Event> events;
    std::condition_variable eventsReady;
    std::condition_variable callbackFinished;
    uint64_t runningToken = 0;
    std::thread::id deliveryThread;

    std::shared_ptr<const SurfaceSet> surfaces;
    bool surfacesStale = true;

    std::thread reader;
    std::thread delivery;

    void read();
    void deliver();
    void post(Event event);  // under lock
    link::Packet request(nlohmann::json message);
    void stop();
};

void DeviceLink::State::post(Event event) {
    // A frame not yet delivered is old news once a newer one arrives.
    if (event.kind == Kind::frames && !events.empty() && events.back().kind == Kind::frames) {
        events.back() = event;
    } else {
        events.push_back(event);
    }
    eventsReady.notify_one();
}

void DeviceLink::State::read() {
    pthread_setname_np(pthread_self(), "tavrel.link.rea");
    for (;;) {
        std::optional<link::Packet> packet;
        try {
            packet = link::receivePacket(socket.get());
        } catch (const std::exception&) {
            packet.reset();  // a broken stream is as good as a closed one
        }
        std::lock_guard guard(lock);
        if (!packet) {
            connected = false;
            repliesArrived.notify_all();
            if (!stopping) post({Kind::disconnected, {}});
            return;
        }
        const auto& message = packet->message;
        if (auto id = message.find("id"); id != message.end() && id->is_number_unsigned()) {
            auto slot = pending.find(id->get<uint64_t>());
            if (slot != pending.end()) {
                slot->second = std::move(*packet);
                repliesArrived.notify_all();
            }
            continue;
        }
        const std::string event = message.value("event", "");
        if (event == "frame") {
            FrameNotice notice;
            notice.surface = message.value("surface", 0u);
            notice.seed = message.value("seed", 0u);
            notice.drawnNs = message.value("drawn_ns", uint64_t(0));
            post({Kind::frames, notice});
        } else if (event == "surfaces") {
            surfacesStale = true;
            post({Kind::surfacesChanged, {}});
        }
    }
}

void DeviceLink::State::deliver() {
    pthread_setname_np(pthread_self(), "tavrel.link.cal");
    std::unique_lock guard(lock);
    deliveryThread = std::this_thread::get_id();
    for (;;) {
        eventsReady.wait(guard, [&] { return stopping || !events.empty(); });
        if (stopping) return;
        const Event event = events.front();
        events.pop_front();
        std::vector<std::pair<uint64_t, Subscription>> targets;
        for (const auto& [token, subscription] : subscriptions) {
            if (subscription.kind == event.kind && (event.only == 0 || event.only == token)) {
                targets.emplace_back(token, subscription);
            }
        }
        for (auto& [token, subscription] : targets) {
            if (stopping) return;
            if (!subscriptions.count(token)) continue;  // unsubscribed meanwhile
            runningToken = token;
            guard.unlock();
            try {
                if (subscription.frame) {
                    subscription.frame(event.notice);
                } else if (subscription.plain) {
                    subscription.plain();
                }
            } catch (...) {
                // A subscriber's failure is its own; the others still hear of the event.
            }
            guard.lock();
            runningToken = 0;
            callbackFinished.notify_all();
        }
    }
}

link::Packet DeviceLink::State::request(nlohmann::json message) {
    uint64_t id;
    {
        std::lock_guard guard(lock);
        if (!connected) throw DeviceLinkError("the device has gone away");
        id = nextId++;
        pending.emplace(id, std::nullopt);
    }
    message["id"] = id;
    bool sent = false;
    std::string failure = "the device has gone away";
    try {
        sent = link::sendPacket(socket.get(), message);
    } catch (const std::exception& error) {
        failure = error.what();
    }
    std::unique_lock guard(lock);
    if (!sent) {
        pending.erase(id);
        throw DeviceLinkError(failure);
    }
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::duration<double>(requestTimeoutS));
    const bool answered = repliesArrived.wait_until(
        guard, deadline, [&] { return pending.at(id).has_value() || !connected; });
    auto reply = std::move(pending.at(id));
    pending.erase(id);
    if (!reply) {
        throw DeviceLinkError(answered ? "the device has gone away"
                                       : "the device did not answer in time");
    }
    if (auto error = reply->message.find("error"); error != reply->message.end()) {
        throw DeviceLinkError(error->is_string() ? error->get<std::string>() : error->dump());
    }
    return std::move(*reply);
}

void DeviceLink::State::stop() {
    {
        std::lock_guard guard(lock);
        stopping = true;
        eventsReady.notify_all();
    }
    shutdown(socket.get(), SHUT_RDWR);
    if (reader.joinable()) reader.join();
    if (delivery.joinable()) delivery.join();
}

DeviceLink::DeviceLink(const std::filesystem::path& directory) : state_(std::make_shared<State>()) {
    if (DeviceSet::state(directory) != "Booted") {
        throw DeviceLinkError("the device at " + directory.string() + " is not booted");
    }
    try {
        state_->socket = link::connectTo(directory);
    } catch (const std::exception& error) {
        throw DeviceLinkError(error.what());
    }
    State* state = state_.get();
    try {
        // Either thread may be refused (a process limit): the one started is joined.
        state_->reader = std::thread([state] { state->read(); });
        state_->delivery = std::thread([state] { state->deliver(); });
        auto reply = state_->request({{"op", "hello"}});
        state_->info =
            link::deviceInfoFromJSON(reply.message.value("info", nlohmann::json::object()));
    } catch (...) {
        state_->stop();
        throw;
    }
}

DeviceLink::~DeviceLink() {
    state_->stop();
}

const DeviceInfo& DeviceLink::info() const {
    return state_->info;
}

bool DeviceLink::connected() const {
    std::lock_guard guard(state_->lock);
    return state_->connected;
}

std::shared_ptr<const SurfaceSet> DeviceLink::surfaces() {
    {
        std::lock_guard guard(state_->lock);
        if (state_->surfaces && !state_->surfacesStale) return state_->surfaces;
        // Cleared before asking, so a change announced while the answer travels is kept.
        state_->surfacesStale = false;
    }
    auto reply = state_->request({{"op", "surfaces"}});
    if (!reply.fd) throw DeviceLinkError("the device sent no surfaces");
    std::shared_ptr<const SurfaceSet> set;
    try {
        set = std::make_shared<SurfaceSet>(reply.fd.release());
    } catch (const std::exception& error) {
        throw DeviceLinkError(error.what());
    }
    std::lock_guard guard(state_->lock);
    state_->surfaces = set;
    return set;
}

uint64_t DeviceLink::subscribeFrames(FrameCallback callback) {
    bool ask = false;
    uint64_t token;
    {
        std::lock_guard guard(state_->lock);
        token = state_->nextToken++;
        state_->subscriptions.emplace(token, Subscription{Kind::frames, std::move(callback), {}});
        ask = !state_->framesRequested;
        state_->framesRequested = true;
    }
    // The device keeps sending once asked; notices without subscribers are dropped here.
    if (ask) {
        try {
            state_->request({{"op", "subscribe"}, {"frames", true}});
        } catch (...) {
            std::lock_guard guard(state_->lock);
            state_->framesRequested = false;
            state_->subscriptions.erase(token);
            throw;
        }
    }
    return token;
}

uint64_t DeviceLink::subscribeSurfacesChanged(std::function<void()> callback) {
    std::lock_guard guard(state_->lock);
    const uint64_t token = state_->nextToken++;
    state_->subscriptions.emplace(token,
                                  Subscription{Kind::surfacesChanged, {}, std::move(callback)});
    return token;
}

uint64_t DeviceLink::subscribeDisconnected(std::function<void()> callback) {
    std::lock_guard guard(state_->lock);
    const uint64_t token = state_->nextToken++;
    if (!state_->connected && !state_->stopping) {
        // Gone already: tell this late subscriber too.
        state_->subscriptions.emplace(token,
                                      Subscription{Kind::disconnected, {}, std::move(callback)});
        state_->post({Kind::disconnected, {}, token});
        return token;
    }
    state_->subscriptions.emplace(token, Subscription{Kind::disconnected, {}, std::move(callback)});
    return token;
}

void DeviceLink::unsubscribe(uint64_t token) {
    std::unique_lock guard(state_->lock);
    state_->subscriptions.erase(token);
    if (std::this_thread::get_id() == state_->deliveryThread) return;
    state_->callbackFinished.wait(guard, [&] { return state_->runningToken != token; });
}

void DeviceLink::send(const InputEvent& event) {
    state_->request({{"op", "input"}, {"event", link::toJSON(event)}});
}

nlohmann::json DeviceLink::accessibility(const nlohmann::json& request) {
    auto reply = state_->request({{"op", "accessibility"}, {"request", request}});
    return reply.message.value("response", nlohmann::json::object());
}

nlohmann::json DeviceLink::frontmostApplication() {
    auto response = accessibility({{"request", "frontmost"}});
    if (auto error = response.find("error"); error != response.end()) {
        throw DeviceLinkError(error->dump());
    }
    return response.value("frontmost", nlohmann::json());
}

void DeviceLink::setAnimating(bool on) {
    state_->request({{"op", "animate"}, {"on", on}});
}

}  // namespace tavrel::sim
