#pragma once

#include <string>
#include <vector>

#include "HelperCore/Base/Bytes.hpp"

namespace tavrel::e2e {

/// What libavcodec's H.264 decoder makes of a run of access units.
struct DecodedStream {
    int pictures = 0;
    int width = 0;
    int height = 0;
    /// The first decoder error, empty when none.
    std::string error;
};

/// Decodes each unit as one packet, then drains the decoder.
DecodedStream decodeAccessUnits(const std::vector<Bytes>& units);

/// Whether the unit ends with the access-unit delimiter 00 00 00 01 09 F0.
bool endsWithDelimiter(const Bytes& unit);

/// The size of a JPEG that TurboJPEG decodes whole; {0, 0} when it cannot.
std::pair<int, int> jpegSize(const Bytes& jpeg);

Bytes readBytes(const std::string& path);

}  // namespace tavrel::e2e
