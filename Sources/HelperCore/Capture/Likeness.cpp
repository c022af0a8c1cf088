#include "HelperCore/Capture/Likeness.hpp"

#include <cstdlib>

namespace tavrel::Likeness {

std::optional<double> distance(const Thumbnail& a, const Thumbnail& b) {
    if (a.empty() || a.size() != b.size()) return std::nullopt;
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < a.size(); ++i) sum += std::abs(int(a[i]) - int(b[i]));
    return double(sum) / double(a.size());
}

std::optional<std::size_t> nearest(const Thumbnail& reference,
                                   const std::vector<std::optional<Thumbnail>>& among) {
    std::optional<std::size_t> best;
    double bestDistance = 0;
    for (std::size_t i = 0; i < among.size(); ++i) {
        if (!among[i]) continue;
        auto d = distance(reference, *among[i]);
        if (!d) continue;
        if (!best || *d < bestDistance) {
            best = i;
            bestDistance = *d;
        }
    }
    return best;
}

}  // namespace tavrel::Likeness
