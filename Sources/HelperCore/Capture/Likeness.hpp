#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace tavrel {

/// An 8-bit grey picture of 12 x 26 pixels, row by row: the whole screen squeezed into it
/// whatever its shape, only to tell screens apart.
using Thumbnail = std::vector<std::uint8_t>;

/// How alike two screens are, by their thumbnails.
namespace Likeness {

inline constexpr int width = 12;
inline constexpr int height = 26;
inline constexpr std::size_t size = width * height;

/// The mean absolute difference of the grey levels (0 to 255); nothing when `a` is empty or
/// the lengths differ.
std::optional<double> distance(const Thumbnail& a, const Thumbnail& b);

/// The index of the entry nearest to `reference`, the earlier on a tie, skipping absent
/// entries and entries of another length; nothing when none was compared. There is no upper
/// bound: the nearest is taken however unlike it is.
std::optional<std::size_t> nearest(const Thumbnail& reference,
                                   const std::vector<std::optional<Thumbnail>>& among);

}  // namespace Likeness

}  // namespace tavrel
