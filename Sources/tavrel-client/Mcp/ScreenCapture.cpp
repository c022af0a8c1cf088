#include "tavrel-client/Mcp/ScreenCapture.hpp"

#include <algorithm>
#include <cmath>

#include "HelperCore/Base/HelperFailure.hpp"
#include "tavrel-client/ClientRequests.hpp"
#include "tavrel-client/ClientSocket.hpp"

namespace tavrel::client::mcp::ScreenCapture {
namespace {

using Clock = ClientSocket::Clock;
using namespace std::chrono_literals;

// Base64 grows the picture by a third; the text block and the envelope need a little more.
std::size_t encodedSize(std::size_t bytes) {
    return (bytes + 2) / 3 * 4 + 512;
}

}  // namespace

std::string base64(const Bytes& bytes) {
    static constexpr char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t at = 0;
    for (; at + 3 <= bytes.size(); at += 3) {
        const std::uint32_t word = bytes[at] << 16 | bytes[at + 1] << 8 | bytes[at + 2];
        out += alphabet[word >> 18 & 63];
        out += alphabet[word >> 12 & 63];
        out += alphabet[word >> 6 & 63];
        out += alphabet[word & 63];
    }
    if (const std::size_t left = bytes.size() - at; left > 0) {
        const std::uint32_t word = bytes[at] << 16 | (left == 2 ? bytes[at + 1] << 8 : 0);
        out += alphabet[word >> 18 & 63];
        out += alphabet[word >> 12 & 63];
        out += left == 2 ? alphabet[word >> 6 & 63] : '=';
        out += '=';
    }
    return out;
}

std::int64_t width(const Wanted& wanted, double regionWidthPt, double regionHeightPt) {
    std::int64_t result =
        wanted.maxWidth.value_or(std::max<std::int64_t>(1, std::llround(regionWidthPt)));
    if (regionWidthPt > 0 && regionHeightPt > 0) {
        const double height = static_cast<double>(result) * regionHeightPt / regionWidthPt;
        if (height > longestSide) {
            result = static_cast<std::int64_t>(
                std::floor(static_cast<double>(longestSide) * regionWidthPt / regionHeightPt));
        }
    }
    return std::clamp<std::int64_t>(result, 1, longestSide);
}

nlohmann::json blocks(McpDevice& device, const Wanted& wanted) {
    const double regionWidth = wanted.crop ? wanted.crop->width : device.widthPt();
    const double regionHeight = wanted.crop ? wanted.crop->height : device.heightPt();
    ScreenshotCommand command{"-", width(wanted, regionWidth, regionHeight),
                              wanted.quality.value_or(75), wanted.crop};
    for (;;) {
        const Frame reply = device.ask(ClientRequests::screenshot(command));
        const auto size =
            nlohmann::json::parse(reply.json.begin(), reply.json.end(), nullptr, false);
        if (encodedSize(reply.blob.size()) > resultLimit) {
            // Quality first, down to 40; then a quarter narrower at a time.
            if (*command.quality > 40) {
                command.quality = std::max<std::int64_t>(40, *command.quality - 15);
            } else if (*command.maxWidth > 64) {
                command.maxWidth = *command.maxWidth * 3 / 4;
            } else {
                throw HelperFailure("the screenshot does not fit in 1 MB", 502);
            }
            continue;
        }
        const double pixelWidth = size.value("width", 0.0);
        nlohmann::json text{
            {"width", size.value("width", 0)},
            {"height", size.value("height", 0)},
            {"pixels_per_point",
             regionWidth > 0 ? std::round(pixelWidth / regionWidth * 1000) / 1000 : 0.0},
            {"quality", *command.quality},
            {"bytes", reply.blob.size()}};
        if (wanted.crop) text["crop"] = *wanted.crop;
        return nlohmann::json::array(
            {{{"type", "image"}, {"data", base64(reply.blob)}, {"mimeType", "image/jpeg"}},
             {{"type", "text"}, {"text", text.dump()}}});
    }
}

bool settle(McpDevice& device, std::stop_token stop) {
    // The helper sends a picture as soon as a stream starts and then one for each change; key
    // frames of a still screen are set far apart so that they do not count as changes.
    ClientSocket watcher(device.socket());
    const auto id = watcher.request(nlohmann::json{
        {"op", "stream"}, {"fps", 30}, {"scale", 0.25}, {"key_frame_s", 30}, {"bitrate", 500000}}
                                        .dump());
    const auto start = Clock::now();
    const auto limit = start + 3s;
    auto last = start;
    bool seen = false;
    for (;;) {
        if (stop.stop_requested()) return false;
        const auto quiet = last + 300ms;
        // Short waits, so that a cancellation is seen soon.
        const auto until = std::min({quiet, limit, Clock::now() + 50ms});
        try {
            auto frame = watcher.next(id, until);
            if (!frame) return false;
            if (frame->kind == FrameKind::failure) throwFailure(*frame);
            if (frame->kind == FrameKind::chunk) {
                last = Clock::now();
                seen = true;
            }
        } catch (const HelperFailure& failure) {
            if (failure.status() != 504) throw;
            const auto now = Clock::now();
            if (seen && now >= last + 300ms) return true;
            if (now >= limit) return false;
        }
    }
}

}  // namespace tavrel::client::mcp::ScreenCapture
