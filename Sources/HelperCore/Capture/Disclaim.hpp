#pragma once

#include <map>
#include <string>

namespace tavrel {

/// Whether `capture` must first relaunch itself as a process responsible for itself (so that
/// the camera permission is asked for this program, not for the host that started it). The
/// relaunched copy carries the marker and so never relaunches again.
namespace Disclaim {

inline constexpr const char* variable = "TAVREL_HELPER_DISCLAIMED";
inline constexpr const char* marker = "1";

/// False exactly when `environment` maps `variable` to "1".
inline bool needed(const std::map<std::string, std::string>& environment) {
    auto found = environment.find(variable);
    return found == environment.end() || found->second != marker;
}

}  // namespace Disclaim

}  // namespace tavrel
