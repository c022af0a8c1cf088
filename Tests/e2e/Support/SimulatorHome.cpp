#include "Support/SimulatorHome.hpp"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace tavrel::e2e {
namespace {

using namespace std::chrono_literals;

std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

bool accepts(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), std::min(path.size(), sizeof address.sun_path - 1));
    const int descriptor = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool ok =
        ::connect(descriptor, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(descriptor);
    return ok;
}

}  // namespace

SimulatorHome::SimulatorHome() {
    if (const char* home = std::getenv("HOME")) previousHome_ = home;
    ::setenv("HOME", directory_.path().c_str(), 1);
}

SimulatorHome::~SimulatorHome() {
    for (const auto& udid : booted_) runProgram("tavrel-simctl", {"shutdown", udid}, 20s);
    if (previousHome_) {
        ::setenv("HOME", previousHome_->c_str(), 1);
    } else {
        ::unsetenv("HOME");
    }
}

std::string SimulatorHome::boot(const std::string& name, const std::string& type) {
    const auto created = runProgram("tavrel-simctl", {"create", name, type});
    if (created.status != 0) throw std::runtime_error("create failed: " + created.err);
    const std::string udid = trimmed(created.out);
    {
        std::lock_guard guard(lock_);
        booted_.push_back(udid);
    }
    const auto booted = runProgram("tavrel-simctl", {"boot", udid});
    if (booted.status != 0) throw std::runtime_error("boot failed: " + booted.err);
    return udid;
}

ServedDevice::ServedDevice(SimulatorHome& home, const std::string& udid, const std::string& hid,
                           const std::string& socketName, const std::vector<std::string>& extra)
    : udid_(udid), socket_(home.file(socketName)) {
    std::vector<std::string> arguments{"serve",    "--udid",       udid,
                                       "--socket", socket_,        "--hid",
                                       hid,        "--parent-pid", std::to_string(::getpid())};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    process_ = std::make_unique<ChildProcess>("tavrel-helper", arguments, home.path());
    const auto deadline = std::chrono::steady_clock::now() + 15s;
    while (!accepts(socket_)) {
        if (process_->wait(0ms)) {
            throw std::runtime_error("the helper ended: " + process_->standardError());
        }
        if (std::chrono::steady_clock::now() > deadline) {
            throw std::runtime_error("the helper never listened: " + process_->standardError());
        }
        std::this_thread::sleep_for(10ms);
    }
}

ServedDevice::~ServedDevice() {
    process_->stop();
}

ProgramResult ServedDevice::client(const std::vector<std::string>& arguments) const {
    std::vector<std::string> all{"--socket", socket_};
    all.insert(all.end(), arguments.begin(), arguments.end());
    return runProgram("tavrel-client", all, 60s);
}

}  // namespace tavrel::e2e
