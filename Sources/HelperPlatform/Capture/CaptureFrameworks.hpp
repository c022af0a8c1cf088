#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "HelperCore/Capture/CaptureChoice.hpp"
#include "SimulatedPlatform/Runtime/Foreign/Value.hpp"

/// The camera interface through which a cabled device's screen is read, loaded at run time
/// from under the platform root and reached by name like the simulator frameworks.
namespace tavrel::CaptureFrameworks {

inline constexpr std::string_view avFoundation =
    "/System/Library/Frameworks/AVFoundation.framework/AVFoundation";

/// Loads AVFoundation once for the life of the process. Throws `HelperFailure` 502 "the camera
/// interface cannot be loaded from {path}: {reason}".
void load();

/// Lets cabled devices' screens appear among the capture devices (CoreMediaIO's "allow screen
/// capture devices" on the system object). Throws 502 when the property cannot be set.
void allowScreenCaptureDevices();

}  // namespace tavrel::CaptureFrameworks

namespace tavrel {

/// A capture device as listed, with the candidate the choice rules see.
struct ScreenCaptureDevice {
    foreign::Value device;
    CaptureCandidate candidate;
};

namespace ScreenCaptureDevices {

/// Lists the external capture devices, again every 0.1 s until `until` holds for the list or
/// `waitingS` have passed; returns the list as it stands then, possibly empty. Throws the 502
/// of loading the framework or of a raising framework.
std::vector<ScreenCaptureDevice> list(
    double waitingS, const std::function<bool(const std::vector<CaptureCandidate>&)>& until);

}  // namespace ScreenCaptureDevices

}  // namespace tavrel
