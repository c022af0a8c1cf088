#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>

#include "HelperCore/Base/Bytes.hpp"

namespace tavrel::client {

/// What waits to go out to one page, oldest first: every text message, and video access units
/// up to a byte bound. A page that falls behind loses the video that waits (it is stale by then)
/// and picks up again at a key frame, so a slow browser costs the client a bounded amount of
/// memory and its viewer never shows the past later and later. Used from one thread.
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

    explicit ViewOutbox(std::size_t maxVideoBytes) : maxVideoBytes_(maxVideoBytes) {}

    void text(std::string message);
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
    std::deque<Item> items_;
    std::size_t videoBytes_ = 0;
    Video video_ = Video::waitingForKeyFrame;
    std::uint64_t serial_ = 0;
};

}  // namespace tavrel::client
