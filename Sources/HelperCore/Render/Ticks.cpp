#include "HelperCore/Render/Ticks.hpp"

#include <algorithm>
#include <cmath>

namespace tavrel {

Ticks Ticks::make(double duration, double speed, std::int64_t fps) {
    if (!(duration > 0 && speed > 0 && fps > 0) || !std::isfinite(duration)) {
        return Ticks{{{0, 0}}, std::max<std::int64_t>(fps, 1)};
    }
    const double rate = static_cast<double>(fps);
    const auto count =
        std::max<std::int64_t>(1, static_cast<std::int64_t>(std::ceil(duration / speed * rate)));
    Ticks ticks{{}, fps};
    ticks.times.reserve(static_cast<std::size_t>(count));
    for (std::int64_t index = 0; index < count; ++index) {
        const double output = static_cast<double>(index) / rate;
        ticks.times.push_back({output, std::min(output * speed, duration)});
    }
    return ticks;
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
