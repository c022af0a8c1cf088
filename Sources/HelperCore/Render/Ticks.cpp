#include "HelperCore/Render/Ticks.hpp"

#include <algorithm>
#include <cmath>

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperCore/Screenshot/ScreenGeometry.hpp"

namespace tavrel {

Ticks Ticks::make(double duration, double speed, std::int64_t fps) {
    // Written so that NaN passes through to the single tick below, and infinity is refused.
    if (duration > longestRecording) {
        throw HelperFailure("the recording lasts " + numberText(duration) + "s, longer than the " +
                                numberText(longestRecording) + "s a render takes",
                            400);
    }
    const std::int64_t rate = std::max<std::int64_t>(fps, 1);
    if (!(duration > 0 && speed > 0 && fps > 0)) return Ticks{1, rate, 0, 1};
    // The count is worked out in doubles and bounded there, so no speed or rate can overflow
    // the conversion: an hour at the slowest speed and 30 fps is far below the bound.
    constexpr double mostTicks = 1e15;
    const double exact = std::ceil(duration / speed * static_cast<double>(fps));
    const double bounded = exact >= 1 ? std::min(exact, mostTicks) : 1;
    return Ticks{static_cast<std::int64_t>(bounded), fps, duration, speed};
}

Ticks::Tick Ticks::at(std::int64_t index) const {
    const double output = static_cast<double>(index) / static_cast<double>(fps);
    return {output, std::min(output * speed, duration)};
}

std::pair<int, int> renderedSize(int sourceWidth, int sourceHeight, std::optional<int> width) {
    if (sourceWidth <= 0 || sourceHeight <= 0) return {2, 2};
    const double w = width && *width < sourceWidth ? *width : sourceWidth;
    // std::round takes halves away from zero.
    const int outputWidth = 2 * static_cast<int>(std::round(w / 2));
    const int outputHeight = 2 * static_cast<int>(std::round(sourceHeight * w / sourceWidth / 2));
    return {std::max(outputWidth, 2), std::max(outputHeight, 2)};
}

}  // namespace tavrel
