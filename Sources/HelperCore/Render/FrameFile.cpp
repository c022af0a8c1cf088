#include "HelperCore/Render/FrameFile.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <string>

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperCore/Screenshot/ScreenGeometry.hpp"

namespace tavrel::FrameFile {
namespace {

std::uint64_t bigEndian(const Bytes& bytes, std::size_t at, std::size_t count) {
    std::uint64_t value = 0;
    for (std::size_t index = 0; index < count; ++index) value = value << 8 | bytes[at + index];
    return value;
}

void putBigEndian(Bytes& bytes, std::uint64_t value, std::size_t count) {
    for (std::size_t index = count; index-- > 0;) bytes.push_back(value >> (8 * index) & 0xFF);
}

[[noreturn]] void endsInsideFrame() {
    throw HelperFailure("a frame file ends inside a frame", 502);
}

}  // namespace

Bytes encode(const Frame& frame) {
    Bytes bytes;
    bytes.reserve(headerSize + frame.data.size());
    bytes.push_back(static_cast<std::uint8_t>(frame.kind));
    putBigEndian(bytes, std::bit_cast<std::uint64_t>(frame.time), 8);
    putBigEndian(bytes, frame.data.size(), 4);
    bytes.insert(bytes.end(), frame.data.begin(), frame.data.end());
    return bytes;
}

Reader::Reader(Read read) : read_(std::move(read)) {
    const Bytes header = read_(magic.size());
    if (!std::ranges::equal(header, magic)) {
        throw HelperFailure("not a Tavrel frame file, or one of a newer version", 502);
    }
}

std::optional<Frame> Reader::next() {
    const Bytes header = read_(headerSize);
    if (header.empty()) return std::nullopt;
    if (header.size() != headerSize) endsInsideFrame();
    const std::uint8_t kind = header[0];
    if (kind != static_cast<std::uint8_t>(Kind::h264) &&
        kind != static_cast<std::uint8_t>(Kind::jpeg)) {
        throw HelperFailure("a frame of an unknown kind " + std::to_string(kind), 502);
    }
    const double time = std::bit_cast<double>(bigEndian(header, 1, 8));
    const auto length = static_cast<std::uint32_t>(bigEndian(header, 9, 4));
    // -0.0 compares equal to zero and is accepted.
    if (!std::isfinite(time) || time < 0 || length == 0 || length > largestFrame) {
        throw HelperFailure("a frame file has a frame of " + std::to_string(length) + " bytes at " +
                                numberText(time) + "s",
                            502);
    }
    Bytes data = read_(length);
    if (data.size() != length) endsInsideFrame();
    return Frame{static_cast<Kind>(kind), time, std::move(data)};
}

}  // namespace tavrel::FrameFile
