#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "HelperCore/Base/Bytes.hpp"

namespace tavrel {

/// The screen's last seconds as encoded access units, ready to be handed out as a recording.
/// Units come in key-frame groups (a key frame and the frames that depend on it); only whole
/// groups are let go, so what is kept always starts at a key frame.
///
/// Two bounds hold whatever the screen does:
/// - time: a group goes once the next group started `seconds` or more before the newest
///   moment seen, so nothing older than `seconds` is kept but the group that shows the
///   picture at the window's start;
/// - memory: the bytes held (payloads plus a fixed charge per unit) never exceed `byteLimit`.
///   Old groups go first; when the newest group alone is over the limit, everything goes and
///   the ring waits for the next key frame (`add` then asks for one).
///
/// Threads: every operation may be called from any thread; one lock guards the state and is
/// held only to move pointers, never while copying payloads.
class ReplayRing {
  public:
    /// One access unit as handed out: its bytes are shared with the ring, never copied.
    struct Unit {
        double t = 0;
        bool key = false;
        std::shared_ptr<const Bytes> bytes;
    };

    /// What a recording of the window ending at a moment holds: the units from the key frame
    /// that shows the window's first picture, and where the window (the recording's clock)
    /// starts. Units that came before `origin` are its prerequisites; they play at once.
    struct Window {
        double origin = 0;
        std::vector<Unit> units;
    };

    /// What a unit costs beyond its payload (its record, its buffer's header), so that many
    /// tiny units cannot outgrow the limit.
    static constexpr std::size_t unitCharge = 128;
    /// What the limit allows beyond the stream's nominal bytes: an encoder's burst over its
    /// average and the group that is still being filled.
    static constexpr std::size_t margin = 4 * 1024 * 1024;

    /// The limit for a stream of `bitrate` bits per second kept for `seconds`: its nominal
    /// bytes plus `margin`.
    static std::size_t limitFor(std::int64_t bitrate, std::int64_t seconds);

    ReplayRing(double seconds, std::size_t byteLimit);

    /// Keeps an Annex B access unit that arrived at `t` (seconds on a monotonic line; never
    /// earlier than the unit before). A unit that is not a key frame is dropped while the ring
    /// waits for one. Returns true when the ring waits for a key frame: the caller asks its
    /// stream for one.
    bool add(Bytes accessUnit, double t);

    /// The window of `seconds` ending at `now`, after letting go of what it no longer needs.
    /// Empty units when no picture is held.
    Window window(double now);

    /// Bytes charged now, and the most ever charged.
    std::size_t charged() const;
    std::size_t mostCharged() const;
    double seconds() const { return seconds_; }
    std::size_t byteLimit() const { return byteLimit_; }

  private:
    struct Group {
        std::vector<Unit> units;
        std::size_t charge = 0;
    };
    // waiting: nothing held, a key frame is needed to start; holding: at least one group.
    enum class State { waiting, holding };

    static std::size_t chargeOf(const Bytes& bytes);
    // Both under `lock_`.
    void trimByTime(double now);
    void dropOldest();

    const double seconds_;
    const std::size_t byteLimit_;

    mutable std::mutex lock_;
    State state_ = State::waiting;
    std::deque<Group> groups_;
    std::size_t charged_ = 0;
    std::size_t mostCharged_ = 0;
};

}  // namespace tavrel
