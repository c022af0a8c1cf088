#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tavrel {

/// One capture device as listed: its unique identifier and its localized name.
struct CaptureCandidate {
    std::string id;
    std::string name;

    bool operator==(const CaptureCandidate&) const = default;
};

/// Which capture device shows the wanted device.
struct CaptureChoice {
    enum class Kind {
        /// Serve the device `ids[0]`.
        use,
        /// Several devices carry the name: compare their pictures (`ids` in listed order).
        compare,
        /// No device fits.
        none,
    };
    Kind kind = Kind::none;
    std::vector<std::string> ids;

    bool operator==(const CaptureChoice&) const = default;

    static CaptureChoice use(std::string id) { return {Kind::use, {std::move(id)}}; }
    static CaptureChoice compare(std::vector<std::string> ids) {
        return {Kind::compare, std::move(ids)};
    }
    static CaptureChoice none() { return {}; }

    /// A known `captureId` wins outright; otherwise the exact (case-sensitive) name decides.
    /// An unknown `captureId` is no error: the name still may.
    static CaptureChoice pick(const std::vector<CaptureCandidate>& candidates,
                              const std::string& name, const std::optional<std::string>& captureId);
};

/// How a capture's picture is made upright: a landscape picture (height below width) takes a
/// quarter turn, since the devices served are phones and tablets held upright.
enum class CaptureTurn { none, quarter };

inline CaptureTurn captureTurnOf(std::int64_t width, std::int64_t height) {
    return height < width ? CaptureTurn::quarter : CaptureTurn::none;
}

}  // namespace tavrel
