#include "HelperPlatform/Simulator/SimulatorCommands.hpp"

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperCore/Base/Log.hpp"
#include "HelperPlatform/Frameworks/Frameworks.hpp"
#include "HelperPlatform/Server/ServeLoop.hpp"
#include "HelperPlatform/Simulator/SimulatorDevice.hpp"

namespace tavrel {

void serveSimulator(const ServeOptions& options) {
    Log log(options.logLevel);
    std::unique_ptr<SimulatorDevice> device;
    try {
        device = std::make_unique<SimulatorDevice>(options.device, options.idleKeyFrames, log);
    } catch (...) {
        Log::writeToStandardError(HelperFailure::fromCurrentException().message());
        std::fflush(nullptr);
        std::_Exit(3);
    }
    // The serve loop ends the process; the device lives until then.
    auto& served = *device.release();
    ServeLoopOptions loop;
    loop.socket = options.socket;
    loop.listening = [&] {
        log.info([&] {
            return "serving " + options.device.udid + " on " + options.socket +
                   " with CoreSimulator " + served.coreSimulator().value_or("unknown");
        });
    };
    loop.parentPid = options.parentPid;
    loop.replaySeconds = options.replaySeconds;
    loop.startWarming = [&served] { served.startWarming(); };
    loop.gone = [&served]() -> std::optional<std::string> {
        if (served.booted()) return std::nullopt;
        return "the simulator is no longer booted";
    };
    loop.closes = [&served] { served.close(); };
    serve(served, loop, log);
}

SelfCheckReport selfCheckSimulator(const DeviceOptions& options) {
    std::unique_ptr<SimulatorDevice> device;
    try {
        device = std::make_unique<SimulatorDevice>(options, true, Log(Log::Level::info));
    } catch (...) {
        return {{{"device", false, HelperFailure::fromCurrentException().message()}}};
    }
    return SelfCheckReport::run(*device);
}

std::optional<std::string> simulatorFrameworksVersion() {
    try {
        return Frameworks::load(Frameworks::developerDir(Frameworks::processEnvironment()));
    } catch (...) {
        return std::nullopt;
    }
}

}  // namespace tavrel
