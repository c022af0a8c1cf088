#pragma once

#include <cstdint>

namespace tavrel {

/// The H.264 NAL unit types the helper and its client look at (`AnnexB::type` of a payload).
namespace NALUnit {

inline constexpr std::int64_t slice = 1;  // the first of the picture types, 1 to 5
inline constexpr std::int64_t idrSlice = 5;
inline constexpr std::int64_t supplementalEnhancement = 6;
inline constexpr std::int64_t sequenceParameterSet = 7;
inline constexpr std::int64_t pictureParameterSet = 8;
inline constexpr std::int64_t accessUnitDelimiter = 9;

/// A unit that carries (part of) a picture: a slice or a slice data partition.
constexpr bool isPicture(std::int64_t type) {
    return type >= slice && type <= idrSlice;
}

constexpr bool isParameterSet(std::int64_t type) {
    return type == sequenceParameterSet || type == pictureParameterSet;
}

}  // namespace NALUnit
}  // namespace tavrel
