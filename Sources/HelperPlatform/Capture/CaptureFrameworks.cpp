#include "HelperPlatform/Capture/CaptureFrameworks.hpp"

#include <dlfcn.h>

#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperPlatform/Frameworks/ForeignCalls.hpp"
#include "HelperPlatform/Frameworks/Frameworks.hpp"
#include "SimulatedPlatform/Runtime/Foreign/Object.hpp"

namespace tavrel {

namespace {

struct PropertyAddress {
    std::uint32_t selector;
    std::uint32_t scope;
    std::uint32_t element;
};
using SetPropertyData = std::int32_t (*)(std::uint32_t, const PropertyAddress*, std::uint32_t,
                                         const void*, std::uint32_t, const void*);

constexpr std::uint32_t systemObject = 1;
constexpr PropertyAddress allowScreenDevices{0x79657320 /* 'yes ' */, 0x676C6F62 /* 'glob' */,
                                             0 /* main */};

std::mutex loadLock;
void* loaded = nullptr;  // guarded by loadLock; never closed

void* handle() {
    std::lock_guard guard(loadLock);
    if (loaded) return loaded;
    const auto path = Frameworks::onPlatform(CaptureFrameworks::avFoundation);
    loaded = dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL);
    if (!loaded) {
        const char* reason = dlerror();
        throw HelperFailure("the camera interface cannot be loaded from " + path + ": " +
                                (reason ? reason : "unknown error"),
                            502);
    }
    return loaded;
}

std::string text(const foreign::Value& value) {
    auto string = value.asString();
    return string ? *string : std::string();
}

}  // namespace

void CaptureFrameworks::load() {
    handle();
}

void CaptureFrameworks::allowScreenCaptureDevices() {
    auto set = reinterpret_cast<SetPropertyData>(dlsym(handle(), "CMIOObjectSetPropertyData"));
    if (!set) throw HelperFailure("the camera interface cannot allow screen capture devices", 502);
    const std::uint32_t allow = 1;
    if (auto status = set(systemObject, &allowScreenDevices, 0, nullptr, sizeof allow, &allow);
        status != 0)
        throw HelperFailure(
            "allowing screen capture devices failed with status " + std::to_string(status), 502);
}

std::vector<ScreenCaptureDevice> ScreenCaptureDevices::list(
    double waitingS, const std::function<bool(const std::vector<CaptureCandidate>&)>& until) {
    CaptureFrameworks::allowScreenCaptureDevices();
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::duration<double>(waitingS > 0 ? waitingS : 0));
    auto discovery = ForeignCalls::guarded("finding capture devices", [] {
        auto cls = foreign::lookUpClass("AVCaptureDeviceDiscoverySession");
        if (!cls) throw HelperFailure("the camera interface offers no device discovery", 502);
        return foreign::send(cls, "discoverySessionWithDeviceTypes:mediaType:position:",
                             foreign::List{"AVCaptureDeviceTypeExternal"}, "muxx", 0);
    });
    for (;;) {
        auto devices = ForeignCalls::guarded("listing capture devices", [&] {
            std::vector<ScreenCaptureDevice> listed;
            auto list = foreign::valueForKey(discovery, "devices").asList();
            if (!list) return listed;
            for (const auto& device : *list)
                listed.push_back({device,
                                  {text(foreign::send(device, "uniqueID")),
                                   text(foreign::send(device, "localizedName"))}});
            return listed;
        });
        std::vector<CaptureCandidate> candidates;
        for (const auto& device : devices) candidates.push_back(device.candidate);
        if (until(candidates) || std::chrono::steady_clock::now() >= deadline) return devices;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

}  // namespace tavrel
