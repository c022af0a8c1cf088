#include "HelperCore/Capture/CaptureChoice.hpp"

namespace tavrel {

CaptureChoice CaptureChoice::pick(const std::vector<CaptureCandidate>& candidates,
                                  const std::string& name,
                                  const std::optional<std::string>& captureId) {
    if (captureId) {
        for (const auto& candidate : candidates)
            if (candidate.id == *captureId) return use(*captureId);
    }
    std::vector<std::string> named;
    for (const auto& candidate : candidates)
        if (candidate.name == name) named.push_back(candidate.id);
    if (named.empty()) return none();
    if (named.size() == 1) return use(std::move(named.front()));
    return compare(std::move(named));
}

}  // namespace tavrel
