// Arbitrary bytes as a frame file: the reader either refuses the header, or returns frames that
// re-encode to exactly the bytes they were read from, up to a clean end or one of the format's
// own failures; no other error escapes, and it never asks for more than one frame's bytes.

#include <cstdint>
#include <cstdlib>
#include <string>

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperCore/Render/FrameFile.hpp"

namespace {

bool startsWith(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tavrel;
    std::size_t at = 0;
    // As a file gives them: up to n bytes, fewer only at the end.
    FrameFile::Reader::Read read = [&](std::size_t count) {
        if (count > FrameFile::largestFrame) std::abort();
        const std::size_t taken = std::min(count, size - at);
        Bytes bytes(data + at, data + at + taken);
        at += taken;
        return bytes;
    };
    std::size_t consumed = 0;
    try {
        FrameFile::Reader reader(read);
        consumed = FrameFile::magic.size();
        while (auto frame = reader.next()) {
            const Bytes encoded = FrameFile::encode(*frame);
            if (encoded.size() > size - consumed) std::abort();
            if (!std::equal(encoded.begin(), encoded.end(), data + consumed)) std::abort();
            if (!(frame->time >= 0) || frame->data.empty()) std::abort();
            consumed += encoded.size();
        }
        // A clean end is the end of the bytes.
        if (consumed != size) std::abort();
    } catch (const HelperFailure& failure) {
        if (failure.status() != 502) std::abort();
        const std::string& message = failure.message();
        if (message != "not a Tavrel frame file, or one of a newer version" &&
            message != "a frame file ends inside a frame" &&
            !startsWith(message, "a frame of an unknown kind ") &&
            !startsWith(message, "a frame file has a frame of ")) {
            std::abort();
        }
    }
    return 0;
}
