#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>

#include "HelperCore/Base/Bytes.hpp"

namespace tavrel::client {

/// What waits to go out to one page, oldest first: text messages and video access units, each
/// up to a byte bound. A page that falls behind loses the video that waits (it is stale by then)
/// and picks up again at a key frame, so a slow browser costs the client a bounded amount of
/// memory and its viewer never shows the past later and later. Text is never dropped: a page
/// whose answers pile up past their bound asks without reading, and is let go. Used from one
/// thread.
class ViewOutbox {
  public:
    enum class Video { waitingForKeyFrame, flowing };
    enum class Taken {
        queued,
        /// Not a key frame while one is awaited.
        skipped,
        /// The bound was passed: the waiting video was dropped, this unit too, and the video
        /// waits for a key frame; the caller restarts the stream, which begins with one.
        behind,
    };
    struct Item {
        bool binary;
        std::string bytes;
        /// Video units are numbered from 1 in the order they were queued.
        std::uint64_t serial = 0;
    };

    explicit ViewOutbox(std::size_t maxVideoBytes, std::size_t maxTextBytes = 1 << 20)
        : maxVideoBytes_(maxVideoBytes), maxTextBytes_(maxTextBytes) {}

    /// False, and nothing queued, when the message would pass the text bound.
    [[nodiscard]] bool text(std::string message);
    Taken video(const Bytes& unit);
    std::optional<Item> next();

    bool empty() const { return items_.empty(); }
    std::size_t videoBytes() const { return videoBytes_; }
    Video state() const { return video_; }
    /// The number of the last video unit queued.
    std::uint64_t lastSerial() const { return serial_; }

    /// Whether an Annex B access unit opens with a sequence parameter set, as key frames do.
    static bool isKeyFrame(const Bytes& unit);

  private:
    std::size_t maxVideoBytes_;
    std::size_t maxTextBytes_;
    std::deque<Item> items_;
    std::size_t videoBytes_ = 0;
    std::size_t textBytes_ = 0;
    Video video_ = Video::waitingForKeyFrame;
    std::uint64_t serial_ = 0;
};

}  // namespace tavrel::client
