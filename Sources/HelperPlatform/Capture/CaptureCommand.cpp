#include <cstdlib>
#include <memory>

#include "HelperCore/Base/Log.hpp"
#include "HelperCore/Capture/Disclaim.hpp"
#include "HelperPlatform/Capture/CaptureDevice.hpp"
#include "HelperPlatform/Capture/Disclaimed.hpp"
#include "HelperPlatform/Frameworks/Frameworks.hpp"
#include "HelperPlatform/Server/ServeLoop.hpp"

namespace tavrel {

void serveCapture(const CaptureOptions& options) {
    if (Disclaim::needed(Frameworks::processEnvironment())) {
        if (auto status = Disclaimed::run()) {
            std::fflush(nullptr);
            std::_Exit(*status);
        }
    }
    Log log(options.logLevel);
    // The serve loop ends the process; the device lives until then.
    auto& served = *new CaptureDevice(options, log);
    log.info([&] { return "serving the screen of " + options.udid + " on " + options.socket; });
    ServeLoopOptions loop;
    loop.socket = options.socket;
    loop.parentPid = options.parentPid;
    loop.replaySeconds = options.replaySeconds;
    loop.startWarming = [&served] { served.startWarming(); };
    loop.gone = [&served]() -> std::optional<std::string> {
        if (served.connected()) return std::nullopt;
        return "the device's cable was unplugged";
    };
    loop.closes = [&served] { served.close(); };
    serve(served, loop, log);
}

}  // namespace tavrel
