#pragma once

#include <compare>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "HelperPlatform/Media/Surface.hpp"

namespace tavrel {

class FrameSignal;

/// One picture of the screen. The surface is shared, never copied: it is read while the picture
/// is in use, and the device side may already be drawing the next one into it.
struct Picture {
    std::shared_ptr<const Surface> surface;
    /// Changes whenever the content changes; equal versions of one source mean equal content.
    std::int64_t version = 0;
    /// What the source needs kept alive while the surface is read (a captured frame); may be
    /// empty.
    std::shared_ptr<const void> keeping;
};

/// The key of one picture observer: a random 128-bit identifier (a version 4 UUID).
struct ObserverID {
    std::uint64_t high = 0;
    std::uint64_t low = 0;

    static ObserverID random();
    /// The canonical upper-case text, for diagnostics.
    std::string text() const;

    auto operator<=>(const ObserverID&) const = default;
};

/// Whatever delivers the device's screen as pictures: the simulator's framebuffer, the capture
/// of a cabled device, a recording, a test's synthetic screen.
///
/// Threads: every operation may be called from any thread. Observer callbacks and work given to
/// `async`/`asyncAfter` run on the source's own serial queue, one at a time.
class PixelSource {
  public:
    using Callback = std::function<void()>;

    virtual ~PixelSource() = default;

    /// The newest picture, or nothing when there is none yet. Never waits.
    virtual std::optional<Picture> picture() = 0;
    /// Waits up to `seconds` for a first picture; throws the source's own `HelperFailure` naming
    /// why there is none. Tries at least once, even for a wait of 0 or less.
    virtual Picture pictureWaiting(double seconds) = 0;

    /// The caller is about to need pictures (a source that only produces on demand starts here);
    /// may throw. Every `hold` that returns is balanced by exactly one `letGo`.
    virtual void hold() = 0;
    virtual void letGo() = 0;

    /// Registers a callback run on the source's queue after each new picture; returns its key.
    ObserverID observe(Callback callback);
    /// Removes that callback; unknown keys are ignored. Once it returns the callback is not
    /// running and will not run again (called from the callback itself, it returns at once), so
    /// a callback may use its observer for as long as the observer has not forgotten it.
    void forget(ObserverID id);

    /// Runs `body` on the source's queue after the work already queued.
    void async(Callback body);
    /// Runs `body` on the source's queue once `seconds` have passed on the monotonic clock.
    void asyncAfter(double seconds, Callback body);

    /// Releases the device side; no callback arrives afterwards.
    virtual void close() = 0;

  protected:
    /// The queue and observers behind `observe`, `forget`, `async` and `asyncAfter`. Each source
    /// keeps it as its last member, so that its queue finishes the work already due while the
    /// rest of the source still exists (which a member of this base would not).
    virtual FrameSignal& signal() = 0;
};

/// One hold of a source, let go exactly once: by `letGo`, or else when the owner ends, whichever
/// way it ends. The source must outlive it.
class HeldSource {
  public:
    explicit HeldSource(PixelSource& source) : source_(&source) { source.hold(); }
    HeldSource(HeldSource&& other) noexcept : source_(std::exchange(other.source_, nullptr)) {}
    HeldSource& operator=(HeldSource&&) = delete;
    ~HeldSource() { letGo(); }

    void letGo() {
        if (auto* source = std::exchange(source_, nullptr)) source->letGo();
    }

  private:
    PixelSource* source_;
};

}  // namespace tavrel
