// Arbitrary bytes as a request document: decoding either gives a request or refuses with
// status 400 and one of the three messages; nothing else may escape.

#include <cstdint>
#include <cstdlib>
#include <string>

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperCore/Server/Requests.hpp"

namespace {

bool startsWith(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tavrel;
    try {
        const Request request = Request::decode(std::span(data, size));
        // What decoded must decode again to the same request every time.
        if (!(Request::decode(std::span(data, size)) == request)) std::abort();
        const bool inOrder =
            request.kind() == Request::Kind::hid || request.kind() == Request::Kind::hello;
        if (request.inOrder() != inOrder) std::abort();
        if ((request.asHID() != nullptr) != (request.kind() == Request::Kind::hid)) std::abort();
    } catch (const HelperFailure& failure) {
        if (failure.status() != 400) std::abort();
        const std::string& message = failure.message();
        if (!startsWith(message, "a request that is not one: ") &&
            !startsWith(message, "not a request this helper knows: ") &&
            message != "a stream needs fps, scale, key_frame_s and bitrate")
            std::abort();
    }
    return 0;
}
