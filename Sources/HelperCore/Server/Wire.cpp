#include "HelperCore/Server/Wire.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace tavrel {
namespace {

std::uint32_t uint32(const std::uint8_t* bytes, std::size_t at) {
    return std::uint32_t{bytes[at]} << 24 | std::uint32_t{bytes[at + 1]} << 16 |
           std::uint32_t{bytes[at + 2]} << 8 | std::uint32_t{bytes[at + 3]};
}

void putUint32(std::uint8_t* bytes, std::uint32_t value) {
    bytes[0] = static_cast<std::uint8_t>(value >> 24);
    bytes[1] = static_cast<std::uint8_t>(value >> 16);
    bytes[2] = static_cast<std::uint8_t>(value >> 8);
    bytes[3] = static_cast<std::uint8_t>(value);
}

// Appends to a frame part that will end up `total` bytes long. Room is made in steps of eight
// times what has arrived: a header alone never makes the decoder set aside the 64 MiB it may
// announce, and a large part is still recopied less than once in all.
void append(Bytes& part, std::size_t total, std::span<const std::uint8_t> bytes) {
    constexpr std::size_t firstStep = 1 << 20;
    const std::size_t needed = part.size() + bytes.size();
    if (needed > part.capacity()) part.reserve(std::min(total, std::max(needed * 8, firstStep)));
    part.insert(part.end(), bytes.begin(), bytes.end());
}

bool isKnownKind(std::uint8_t byte) {
    return byte >= 1 && byte <= allFrameKinds.size();
}

std::string describe(WireError::Case which, std::uint32_t value) {
    const std::string n = std::to_string(value);
    switch (which) {
        case WireError::Case::tooLarge:
            return "a frame of " + n + " bytes is larger than " + std::to_string(Wire::maxFrame);
        case WireError::Case::unknownKind:
            return "frame kind " + n + " is not one this helper knows";
        case WireError::Case::jsonOverruns:
            return "a frame's JSON of " + n + " bytes runs past its end";
        case WireError::Case::tooShort:
            return "a frame of " + n + " bytes is too short to hold its kind, id and JSON length";
    }
    return "a frame this helper cannot read";
}

}  // namespace

WireError::WireError(Case which, std::uint32_t value)
    : which_(which), value_(value), description_(describe(which, value)) {}

namespace Wire {

Bytes encode(const Frame& frame) {
    constexpr std::size_t limit = std::numeric_limits<std::uint32_t>::max();
    const std::size_t body = frame.json.size() + frame.blob.size();
    if (frame.json.size() > limit || body > limit - minFrame)
        throw std::length_error("a frame of " + std::to_string(body + minFrame) +
                                " bytes does not fit its length field");

    std::uint8_t header[13];
    putUint32(header, static_cast<std::uint32_t>(body + minFrame));
    header[4] = static_cast<std::uint8_t>(frame.kind);
    putUint32(header + 5, frame.id);
    putUint32(header + 9, static_cast<std::uint32_t>(frame.json.size()));

    Bytes bytes;
    bytes.reserve(sizeof header + body);
    bytes.insert(bytes.end(), header, header + sizeof header);
    bytes.insert(bytes.end(), frame.json.begin(), frame.json.end());
    bytes.insert(bytes.end(), frame.blob.begin(), frame.blob.end());
    return bytes;
}

}  // namespace Wire

std::vector<Frame> FrameDecoder::push(std::span<const std::uint8_t> bytes) {
    if (failure_) throw *failure_;
    std::vector<Frame> frames;
    try {
        std::size_t at = 0;
        while (at < bytes.size()) {
            at += inBody_ ? takeBody(bytes.subspan(at)) : takeHeader(bytes.subspan(at));
            if (inBody_ && bodyFill_ == length_ - Wire::minFrame) frames.push_back(finishFrame());
        }
    } catch (const WireError& error) {
        failure_ = error;
        throw;
    }
    return frames;
}

std::size_t FrameDecoder::buffered() const noexcept {
    return headerFill_ + bodyFill_;
}

std::size_t FrameDecoder::takeHeader(std::span<const std::uint8_t> bytes) {
    // The length field is judged on its own, before the rest of the header arrives.
    const std::size_t wanted = headerFill_ < 4 ? 4 - headerFill_ : headerSize - headerFill_;
    const std::size_t count = std::min(wanted, bytes.size());
    std::copy_n(bytes.data(), count, header_.data() + headerFill_);
    headerFill_ += count;
    if (headerFill_ == 4) checkLength();
    if (headerFill_ == headerSize) beginBody();
    return count;
}

void FrameDecoder::checkLength() const {
    const std::uint32_t length = uint32(header_.data(), 0);
    if (length > Wire::maxFrame) throw WireError(WireError::Case::tooLarge, length);
    if (length < Wire::minFrame) throw WireError(WireError::Case::tooShort, length);
}

void FrameDecoder::beginBody() {
    length_ = uint32(header_.data(), 0);
    jsonLength_ = uint32(header_.data(), 9);
    const std::uint32_t bodyLength = length_ - Wire::minFrame;
    wellFormed_ = isKnownKind(header_[4]) && jsonLength_ <= bodyLength;
    bodyFill_ = 0;
    inBody_ = true;
}

std::size_t FrameDecoder::takeBody(std::span<const std::uint8_t> bytes) {
    const std::size_t count =
        std::min<std::size_t>(length_ - Wire::minFrame - bodyFill_, bytes.size());
    if (wellFormed_) {
        const std::size_t toJson =
            bodyFill_ < jsonLength_ ? std::min<std::size_t>(count, jsonLength_ - bodyFill_) : 0;
        append(json_, jsonLength_, bytes.first(toJson));
        append(blob_, length_ - Wire::minFrame - jsonLength_,
               bytes.subspan(toJson, count - toJson));
    }
    // A malformed frame is refused only once whole; its bytes until then are counted, not kept.
    bodyFill_ += count;
    return count;
}

Frame FrameDecoder::finishFrame() {
    if (!isKnownKind(header_[4])) throw WireError(WireError::Case::unknownKind, header_[4]);
    if (!wellFormed_) throw WireError(WireError::Case::jsonOverruns, jsonLength_);
    Frame frame{static_cast<FrameKind>(header_[4]), uint32(header_.data(), 5), std::move(json_),
                std::move(blob_)};
    json_ = Bytes();
    blob_ = Bytes();
    headerFill_ = 0;
    bodyFill_ = 0;
    inBody_ = false;
    return frame;
}

}  // namespace tavrel
