#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>

namespace tavrel {

/// What a stream does about the current picture.
struct Decision {
    enum class Kind { encode, wait, idle };

    Kind kind = Kind::idle;
    /// For `encode`: whether to ask for a key frame.
    bool key = false;
    /// For `wait`: nothing may be encoded before this time; ask again then.
    double until = 0;

    static Decision encode(bool key) { return {Kind::encode, key, 0}; }
    static Decision wait(double until) { return {Kind::wait, false, until}; }
    static Decision idle() { return {Kind::idle, false, 0}; }

    /// Same case and same payload; the payload of the other cases is not compared.
    bool operator==(const Decision& other) const;
};

std::ostream& operator<<(std::ostream& stream, const Decision& decision);

/// When a live stream encodes: no faster than its frame rate, key frames at most
/// `keyFrameInterval` apart while pictures flow and, with `idleKeyFrames`, also for a still
/// screen so that a client joining late or losing data recovers. Holds no clock: every call
/// passes the time, in seconds on one monotonic time line. Not thread-safe; the stream calls
/// it under its own lock.
///
/// The frame-rate ceiling has two parts: encodes come at least 3/4 of an interval apart, and
/// no more often than one per interval on average (`due`). A source that redraws at exactly
/// the frame rate thus settles onto its own phase within a few frames and stays there through
/// jitter; counting a full interval from the last encode instead lets each wake-up delay push
/// the next encode later, until pictures are skipped and wait up to a whole interval.
struct FrameScheduler {
    double minimumInterval;
    double keyFrameInterval;
    bool idleKeyFrames;
    std::optional<double> lastEncode;
    /// When the next encode is due on a steady one-per-interval schedule; an encode may run
    /// ahead of it by at most one interval. Never moves earlier.
    std::optional<double> due;
    std::optional<double> lastKey;
    /// The screen changed since the last encode.
    bool dirty = false;
    /// A key frame was asked for out of turn.
    bool keyWanted = false;

    /// An fps below 1 counts as 1.
    FrameScheduler(std::int64_t fps, double keyFrameInterval, bool idleKeyFrames);

    /// The screen has a new picture at `t`.
    Decision frameChanged(double t);
    /// No new picture; a timer or a wake-up asked for by `wait` fired at `t`.
    Decision tick(double t) const;
    /// The caller has committed to an encode at `t`; call it before the encoder runs so the
    /// next decision already sees it. A caller that cannot encode does not call it, and the
    /// picture stays due.
    void encoded(double t, bool key);
    /// The next encode is a key frame, also of a still screen (a client lost frames).
    void wantKeyFrame() { keyWanted = true; }

    /// The shortest time between two encodes of changing pictures, in intervals.
    static constexpr double shortestGap = 0.75;
    /// The earliest time the next changed picture may be encoded.
    double nextAllowed() const;
};

}  // namespace tavrel
