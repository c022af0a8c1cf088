#include "HelperPlatform/Server/ServeLoop.hpp"

#include <signal.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperCore/Concurrency/JobFailures.hpp"
#include "HelperCore/Concurrency/RepeatingTimer.hpp"
#include "HelperCore/Concurrency/SerialQueue.hpp"
#include "HelperPlatform/Server/FreedMemory.hpp"
#include "HelperPlatform/Server/ReplayRecorder.hpp"
#include "HelperPlatform/Server/SignalWatcher.hpp"
#include "HelperPlatform/Server/SocketServer.hpp"

namespace tavrel {
namespace {

// Connections and answers still run on other threads: ending the process must not wait for
// them (static destructors would), so it ends at once, after flushing what was written.
[[noreturn]] void endProcess(int status) {
    std::fflush(nullptr);
    std::_Exit(status);
}

}  // namespace

void serve(Device& device, const ServeLoopOptions& options, const Log& log) {
    ::signal(SIGPIPE, SIG_IGN);
    FreedMemory::giveBackAsFreed();
    JobFailures::logTo(log);
    // Every thread started from here on inherits the block, so the signals reach the watcher.
    SignalWatcher::blockInThisThread({SIGTERM, SIGINT});

    auto main = SerialQueue::onCallingThread("tavrel.main");
    std::unique_ptr<SocketServer> server;
    std::shared_ptr<ReplayRing> replay;
    if (options.replaySeconds > 0) {
        const auto settings = ReplayRecorder::settings();
        replay = std::make_shared<ReplayRing>(
            static_cast<double>(options.replaySeconds),
            ReplayRing::limitFor(settings.bitrate, options.replaySeconds));
    }
    // Every stop runs on the main queue, so at most one runs, and it runs to the exit; the queue
    // runs only once the server is made.
    auto stop = [&](const std::string& reason) {
        log.info("stopping: " + reason);
        server->closeListener();
        if (options.closes) options.closes();
        endProcess(0);
    };
    // Watched before listening: a helper that could not be stopped by a signal must not start
    // (its thread may be refused, as any).
    std::unique_ptr<SignalWatcher> signals;
    try {
        signals = std::make_unique<SignalWatcher>(
            *main, std::initializer_list<int>{SIGTERM, SIGINT},
            [&](int signal) { stop("signal " + std::to_string(signal)); });
        server = std::make_unique<SocketServer>(options.socket, device, log, TaskPool::shared(),
                                                Connection::Limits{}, replay);
        server->start();
    } catch (const std::exception& error) {
        server.reset();  // a listener made but not served removes its socket file
        Log::writeToStandardError(HelperFailure::from(error).message());
        endProcess(3);
    }
    if (options.listening) options.listening();
    if (options.startWarming) {
        try {
            options.startWarming();
        } catch (const std::exception& error) {
            // Requests make what they need themselves; only the first ones wait longer.
            log.warning("not warming the device up: " + HelperFailure::from(error).message());
        }
    }

    std::unique_ptr<ReplayRecorder> recorder;
    if (replay) {
        recorder = std::make_unique<ReplayRecorder>(device, replay, log);
        recorder->start();
        log.info([&] {
            return "keeping the last " + std::to_string(options.replaySeconds) +
                   " seconds of the screen for a replay";
        });
    }

    RepeatingTimer watch(*main, std::chrono::seconds(1), std::chrono::seconds(1), [&] {
        if (options.parentPid && ::kill(*options.parentPid, 0) != 0 && errno == ESRCH) {
            stop("Tavrel (pid " + std::to_string(*options.parentPid) + ") is gone");
        }
        if (options.gone) {
            if (auto reason = options.gone()) stop(*reason);
        }
    });
    main->run();
    endProcess(0);  // the main queue never stops by itself
}

}  // namespace tavrel
