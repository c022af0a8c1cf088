#include "SimulatedPlatform/Device/DeviceLink/LinkProtocol.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "SimulatedPlatform/Device/DeviceLink/DeviceSet.hpp"

namespace tavrel::sim::link {
namespace {

std::runtime_error systemError(const std::string& what) {
    return std::runtime_error(what + ": " + std::strerror(errno));
}

sockaddr_un address(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        throw std::runtime_error("socket path too long: " + path);
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return address;
}

FileDescriptor openDirectory(const std::filesystem::path& directory) {
    FileDescriptor fd(open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!fd) throw systemError("cannot open " + directory.string());
    return fd;
}

}  // namespace

bool sendPacket(int socket, const nlohmann::json& message, int passFd, bool dontWait) {
    const std::string text = message.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    if (text.size() > maxPacket) throw std::runtime_error("message too large");
    iovec io{const_cast<char*>(text.data()), text.size()};
    msghdr header{};
    header.msg_iov = &io;
    header.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    if (passFd >= 0) {
        header.msg_control = control;
        header.msg_controllen = sizeof control;
        cmsghdr* item = CMSG_FIRSTHDR(&header);
        item->cmsg_level = SOL_SOCKET;
        item->cmsg_type = SCM_RIGHTS;
        item->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(item), &passFd, sizeof(int));
    }
    const int flags = MSG_NOSIGNAL | (dontWait ? MSG_DONTWAIT : 0);
    for (;;) {
        if (sendmsg(socket, &header, flags) >= 0) return true;
        if (errno == EINTR) continue;
        if (errno == EPIPE || errno == ECONNRESET || errno == ENOTCONN) return false;
        if (dontWait && (errno == EAGAIN || errno == EWOULDBLOCK)) return false;
        throw systemError("cannot send to the device");
    }
}

std::optional<Packet> receivePacket(int socket) {
    // One buffer per thread: a fresh megabyte per frame notice would cost more than the
    // notice itself.
    thread_local std::vector<char> buffer(maxPacket);
    iovec io{buffer.data(), buffer.size()};
    msghdr header{};
    header.msg_iov = &io;
    header.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 4)] = {};
    header.msg_control = control;
    header.msg_controllen = sizeof control;
    ssize_t n;
    do {
        n = recvmsg(socket, &header, MSG_CMSG_CLOEXEC);
    } while (n < 0 && errno == EINTR);
    if (n == 0) return std::nullopt;
    if (n < 0) {
        if (errno == ECONNRESET || errno == ENOTCONN) return std::nullopt;
        throw systemError("cannot receive from the device");
    }
    Packet packet;
    for (cmsghdr* item = CMSG_FIRSTHDR(&header); item; item = CMSG_NXTHDR(&header, item)) {
        if (item->cmsg_level != SOL_SOCKET || item->cmsg_type != SCM_RIGHTS) continue;
        const size_t count = (item->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < count; ++i) {
            int fd;
            std::memcpy(&fd, CMSG_DATA(item) + i * sizeof(int), sizeof(int));
            if (!packet.fd) {
                packet.fd.reset(fd);
            } else {
                ::close(fd);  // only one descriptor is ever expected
            }
        }
    }
    if (header.msg_flags & MSG_TRUNC) throw std::runtime_error("a message was cut short");
    packet.message = nlohmann::json::parse(buffer.data(), buffer.data() + n, nullptr, false);
    if (packet.message.is_discarded() || !packet.message.is_object()) {
        throw std::runtime_error("the device sent a message that is not a JSON object");
    }
    return packet;
}

std::string shortSocketPath(int directoryFd, const std::string& name) {
    return "/proc/self/fd/" + std::to_string(directoryFd) + "/" + name;
}

FileDescriptor connectTo(const std::filesystem::path& directory) {
    auto dir = openDirectory(directory);
    auto where = address(shortSocketPath(dir.get(), DeviceSet::socketPath(directory).filename()));
    FileDescriptor fd(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    if (!fd) throw systemError("cannot make a socket");
    int r;
    do {
        r = connect(fd.get(), reinterpret_cast<sockaddr*>(&where), sizeof where);
    } while (r != 0 && errno == EINTR);
    if (r != 0) throw systemError("cannot reach the device at " + directory.string());
    return fd;
}

FileDescriptor listenAt(const std::filesystem::path& directory) {
    auto dir = openDirectory(directory);
    const auto name = DeviceSet::socketPath(directory).filename().string();
    unlinkat(dir.get(), name.c_str(), 0);
    auto where = address(shortSocketPath(dir.get(), name));
    FileDescriptor fd(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    if (!fd) throw systemError("cannot make a socket");
    if (bind(fd.get(), reinterpret_cast<sockaddr*>(&where), sizeof where) != 0) {
        throw systemError("cannot listen at " + directory.string());
    }
    if (listen(fd.get(), 16) != 0) throw systemError("cannot listen");
    return fd;
}

uint64_t monotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return uint64_t(now.tv_sec) * 1000000000ull + uint64_t(now.tv_nsec);
}

}  // namespace tavrel::sim::link

namespace tavrel::sim::link {

namespace {

nlohmann::json toJSON(const std::optional<Contact>& contact) {
    if (!contact) return nullptr;
    return {{"phase", static_cast<int>(contact->phase)}, {"x", contact->x}, {"y", contact->y}};
}

std::optional<Contact> contactFromJSON(const nlohmann::json& json) {
    if (json.is_null()) return std::nullopt;
    const int phase = json.at("phase").get<int>();
    if (phase < 0 || phase > 2) throw std::runtime_error("bad touch phase");
    return Contact{static_cast<TouchPhase>(phase), json.at("x").get<double>(),
                   json.at("y").get<double>()};
}

}  // namespace

nlohmann::json toJSON(const InputEvent& event) {
    switch (event.kind) {
        case InputEvent::Kind::touches:
            return {{"kind", "touches"}, {"one", toJSON(event.one)}, {"two", toJSON(event.two)}};
        case InputEvent::Kind::touch:
            return {{"kind", "touch"},
                    {"phase", static_cast<int>(event.phase)},
                    {"x", event.x},
                    {"y", event.y}};
        case InputEvent::Kind::button:
            return {{"kind", "button"},
                    {"page", event.usagePage},
                    {"usage", event.usage},
                    {"down", event.down}};
        case InputEvent::Kind::key:
            return {{"kind", "key"}, {"usage", event.usage}, {"down", event.down}};
    }
    return {};
}

InputEvent inputEventFromJSON(const nlohmann::json& json) {
    try {
        const std::string kind = json.at("kind").get<std::string>();
        if (kind == "touch") {
            const int phase = json.at("phase").get<int>();
            if (phase < 0 || phase > 2) throw std::runtime_error("bad touch phase");
            return InputEvent::touch(static_cast<TouchPhase>(phase), json.at("x").get<double>(),
                                     json.at("y").get<double>());
        }
        if (kind == "touches") {
            auto one = contactFromJSON(json.at("one")), two = contactFromJSON(json.at("two"));
            if (!one && !two) throw std::runtime_error("a touch report without a finger");
            return InputEvent::touches(one, two);
        }
        if (kind == "button") {
            return InputEvent::button(json.at("page").get<uint32_t>(),
                                      json.at("usage").get<uint32_t>(),
                                      json.at("down").get<bool>());
        }
        if (kind == "key") {
            return InputEvent::key(json.at("usage").get<uint32_t>(), json.at("down").get<bool>());
        }
    } catch (const nlohmann::json::exception& error) {
        throw std::runtime_error(std::string("malformed input event: ") + error.what());
    }
    throw std::runtime_error("unknown input event kind");
}

nlohmann::json toJSON(const DeviceInfo& info) {
    return {{"udid", info.udid},       {"name", info.name},        {"type", info.type},
            {"runtime", info.runtime}, {"width_px", info.widthPx}, {"height_px", info.heightPx},
            {"scale", info.scale},     {"width_pt", info.widthPt}, {"height_pt", info.heightPt}};
}

DeviceInfo deviceInfoFromJSON(const nlohmann::json& json) {
    DeviceInfo info;
    info.udid = json.value("udid", "");
    info.name = json.value("name", "");
    info.type = json.value("type", "");
    info.runtime = json.value("runtime", "modern");
    info.widthPx = json.value("width_px", 0);
    info.heightPx = json.value("height_px", 0);
    info.scale = json.value("scale", 1.0);
    info.widthPt = json.value("width_pt", 0);
    info.heightPt = json.value("height_pt", 0);
    return info;
}

}  // namespace tavrel::sim::link
