// tavrel-simdevice: the simulated iPhone. Started (detached) by `tavrel-simctl boot`:
//   tavrel-simdevice --device-dir DIR [--ready-fd N]
// It holds DIR/device.lock (which names its pid) for its whole life, writes DIR/device.pid
// once its first frame is drawn and its socket listens, then writes "ready\n" to the descriptor N
// and closes it.
#include <fcntl.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

#include "SimulatedPlatform/Device/DeviceLink/DeviceSet.hpp"
#include "SimulatedPlatform/Device/DeviceLink/FileDescriptor.hpp"
#include "SimulatedPlatform/Device/simdevice/DeviceServer.hpp"

namespace fs = std::filesystem;
using namespace tavrel::sim;

namespace {

int fail(const std::string& message) {
    std::cerr << "tavrel-simdevice: " << message << "\n";
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    fs::path directory;
    int readyFd = -1;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--device-dir" && i + 1 < argc) {
            directory = argv[++i];
        } else if (argument == "--ready-fd" && i + 1 < argc) {
            readyFd = std::atoi(argv[++i]);
        } else {
            return fail("usage: tavrel-simdevice --device-dir DIR [--ready-fd N]");
        }
    }
    if (directory.empty()) return fail("usage: tavrel-simdevice --device-dir DIR [--ready-fd N]");
    if (readyFd >= 0) fcntl(readyFd, F_SETFD, FD_CLOEXEC);

    const auto record = DeviceSet(directory.parent_path()).device(directory.filename().string());
    if (!record) return fail("no device record in " + directory.string());
    const auto type = deviceType(record->type);
    if (!type) return fail("unknown device type " + record->type);

    // The lock says "this device runs" for as long as this process lives, however it ends.
    FileDescriptor lock(
        open(DeviceSet::lockPath(directory).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (!lock) return fail("cannot open the device's lock: " + std::string(std::strerror(errno)));
    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    if (fcntl(lock.get(), F_OFD_SETLK, &whole) != 0) return fail("the device is already running");
    // The lock file names the process holding it, so it can be stopped before it is ready.
    const std::string pidText = std::to_string(getpid()) + "\n";
    if (ftruncate(lock.get(), 0) != 0 ||
        pwrite(lock.get(), pidText.data(), pidText.size(), 0) != ssize_t(pidText.size())) {
        return fail("cannot write the device's lock");
    }
    // Whatever a killed predecessor left behind.
    fs::remove(DeviceSet::pidPath(directory));
    fs::remove(DeviceSet::socketPath(directory));

    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGHUP);
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    FileDescriptor signalFd(signalfd(-1, &signals, SFD_CLOEXEC));
    if (!signalFd) return fail("cannot watch signals");

    DeviceInfo info;
    info.udid = record->udid;
    info.name = record->name;
    info.type = record->type;
    info.runtime = record->runtime;
    info.widthPx = type->widthPx;
    info.heightPx = type->heightPx;
    info.scale = type->scale;
    info.widthPt = type->widthPt();
    info.heightPt = type->heightPt();

    int status = 0;
    try {
        DeviceServer server(directory, info);
        server.run(
            signalFd.get(),
            [&] {
                const fs::path pidPath = DeviceSet::pidPath(directory);
                const fs::path temporary = pidPath.string() + ".new";
                std::ofstream(temporary) << getpid() << "\n";
                fs::rename(temporary, pidPath);
                if (readyFd >= 0) {
                    const char ready[] = "ready\n";
                    [[maybe_unused]] auto written = write(readyFd, ready, sizeof ready - 1);
                    close(readyFd);
                    readyFd = -1;
                }
            },
            [&] {
                // A device whose folder was removed (a test's temporary HOME, a deleted
                // device set) has no one left to stop it: it stops by itself.
                struct stat held {
                }, named{};
                return fstat(lock.get(), &held) == 0 &&
                       stat(DeviceSet::lockPath(directory).c_str(), &named) == 0 &&
                       held.st_ino == named.st_ino && held.st_dev == named.st_dev;
            });
    } catch (const std::exception& error) {
        status = fail(error.what());
    }
    std::error_code ignored;
    fs::remove(DeviceSet::pidPath(directory), ignored);
    fs::remove(DeviceSet::socketPath(directory), ignored);
    return status;  // the lock goes with the process
}
