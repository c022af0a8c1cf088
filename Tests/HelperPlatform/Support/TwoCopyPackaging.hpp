#pragma once

#include <cstdint>
#include <span>

#include "HelperCore/Video/AnnexB.hpp"
#include "HelperPlatform/Media/H264Stream.hpp"

namespace tavrel::testing {

/// How access units were packaged before the one-copy way, kept as its reference: split the
/// packet, length-prefix the picture and SEI units into a second buffer, and parse that back.
inline Bytes twoCopyAccessUnit(const EncodedSample& sample) {
    const auto units =
        AnnexB::nalUnitViews({sample.packet->data, static_cast<std::size_t>(sample.packet->size)});
    Bytes avcc;
    avcc.reserve(static_cast<std::size_t>(sample.packet->size) + 4 * units.size());
    for (const auto unit : units) {
        const auto type = AnnexB::type(unit);
        if (!((type >= 1 && type <= 5) || type == 6)) continue;
        const auto size = static_cast<std::uint32_t>(unit.size());
        for (int shift = 24; shift >= 0; shift -= 8)
            avcc.push_back(static_cast<std::uint8_t>(size >> shift));
        avcc.insert(avcc.end(), unit.begin(), unit.end());
    }
    const std::span<const Bytes> sets =
        H264Stream::isKeyFrame(sample) ? sample.parameterSets : std::span<const Bytes>{};
    return AnnexB::accessUnit(avcc, 4, sets);
}

}  // namespace tavrel::testing
