// Feeds arbitrary bytes to the frame decoder twice, in one push and in pieces, and checks that
// both cut the same frames or refuse with the same error, and that the frames re-encode to
// exactly the bytes they came from.

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <vector>

#include "HelperCore/Server/Wire.hpp"

namespace {

using namespace tavrel;

struct Outcome {
    std::vector<Frame> frames;
    std::optional<WireError> error;
    std::size_t buffered = 0;
};

Outcome decodeInPieces(std::span<const std::uint8_t> bytes, std::span<const std::uint8_t> cuts) {
    Outcome outcome;
    FrameDecoder decoder;
    std::size_t at = 0, cut = 0;
    try {
        while (at < bytes.size()) {
            std::size_t size = cut < cuts.size() ? cuts[cut++] : bytes.size() - at;
            size = std::min(size, bytes.size() - at);
            auto frames = decoder.push(bytes.subspan(at, size));
            outcome.frames.insert(outcome.frames.end(), frames.begin(), frames.end());
            at += size;
        }
    } catch (const WireError& error) {
        outcome.error = error;
        // Once refused, the decoder keeps refusing.
        try {
            decoder.push(bytes.first(0));
            std::abort();
        } catch (const WireError& again) {
            if (!(again == error)) std::abort();
        }
    }
    outcome.buffered = decoder.buffered();
    return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    // The first byte says how many of the following bytes are piece sizes.
    const std::size_t cutCount = std::min<std::size_t>(data[0] % 16, size - 1);
    const std::span<const std::uint8_t> cuts(data + 1, cutCount);
    const std::span<const std::uint8_t> stream(data + 1 + cutCount, size - 1 - cutCount);

    const Outcome whole = decodeInPieces(stream, {});
    const Outcome pieces = decodeInPieces(stream, cuts);

    if (whole.error.has_value() != pieces.error.has_value()) std::abort();
    if (whole.error && !(*whole.error == *pieces.error)) std::abort();
    if (!whole.error) {
        if (whole.frames != pieces.frames) std::abort();
        if (whole.buffered != pieces.buffered) std::abort();
    }
    // A piecewise decode may have returned frames before the refusal; they must be a prefix of
    // the stream, byte for byte.
    std::size_t at = 0;
    for (const Frame& frame : pieces.frames) {
        const Bytes wire = Wire::encode(frame);
        if (wire.size() > stream.size() - at) std::abort();
        if (!std::equal(wire.begin(), wire.end(), stream.begin() + at)) std::abort();
        at += wire.size();
    }
    if (!pieces.error && at + pieces.buffered != stream.size()) std::abort();
    return 0;
}
