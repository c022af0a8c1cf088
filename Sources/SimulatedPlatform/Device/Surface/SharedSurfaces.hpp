// Shared-memory BGRA surfaces of a simulated display.
//
// The simulated device draws its screen into a small set of surfaces (two: double
// buffering) that live in one memfd. The device maps it read-write (`SurfaceWriter`),
// the stand-in frameworks in the helper map the same descriptor read-only
// (`SurfaceSet`), after receiving it over the device's socket.
//
// Layout of the memory: a header page (geometry, the index of the front surface, and per
// surface a seed, a reader pin count and a "being written" flag), then the pixels of each
// surface, page aligned. Pixels are BGRA (cairo ARGB32 premultiplied, little endian).
//
// Seeds: every complete frame gets the next value of one counter shared by all surfaces,
// stored in the surface's seed only after the last pixel is written; a seed therefore
// never repeats across the surfaces, and equal seeds mean equal pixels.
//
// Tearing: the device never draws into a surface a reader has pinned (`ReadLock`), unless
// a pin outlives the writer's pin patience (a reader that died holding it). Pin only
// while reading pixels, not between frames.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

namespace tavrel::sim {

/// Per-surface state shared between processes (lock-free atomics on plain memory).
struct SurfaceSlot {
    std::atomic<uint32_t> seed;     // seed of the last complete frame in this surface
    std::atomic<uint32_t> pins;     // readers currently reading the pixels
    std::atomic<uint32_t> writing;  // 1 while the device draws into it
    uint32_t reserved;
};

/// The header page at the start of the shared memory.
struct SurfaceHeader {
    static constexpr uint32_t magicValue = 0x54565346;  // "TVSF"
    uint32_t magic;
    uint32_t count;  // number of surfaces
    uint32_t width;
    uint32_t height;
    uint32_t bytesPerRow;
    uint32_t reserved;
    uint64_t surfaceOffset;          // offset of surface 0's pixels
    uint64_t surfaceStride;          // bytes from one surface's pixels to the next's
    std::atomic<uint32_t> front;     // index of the surface holding the newest frame
    std::atomic<uint32_t> lastSeed;  // seed of the newest frame (0 before the first)
    SurfaceSlot slots[4];
};

/// An owned mapping of the shared memory (unmapped and closed on destruction).
class SurfaceMapping {
  public:
    SurfaceMapping(int fd, size_t size, bool writable);  // takes ownership of fd; throws
    ~SurfaceMapping();
    SurfaceMapping(const SurfaceMapping&) = delete;
    SurfaceMapping& operator=(const SurfaceMapping&) = delete;

    SurfaceHeader& header() const { return *static_cast<SurfaceHeader*>(base_); }
    uint8_t* bytes() const { return static_cast<uint8_t*>(base_); }
    size_t size() const { return size_; }
    int fd() const { return fd_; }

  private:
    int fd_;
    void* base_;
    size_t size_;
};

/// Pins one surface while its pixels are read; the device will not draw into it meanwhile.
/// Move-only; unpins on destruction.
class ReadLock {
  public:
    ReadLock() = default;
    ReadLock(std::shared_ptr<SurfaceMapping> mapping, uint32_t index, uint32_t seed);
    ReadLock(ReadLock&& other) noexcept;
    ReadLock& operator=(ReadLock&& other) noexcept;
    ~ReadLock();

    uint32_t index() const { return index_; }
    /// The seed at the moment of pinning: the frame the pixels hold.
    uint32_t seed() const { return seed_; }
    const uint8_t* pixels() const;
    explicit operator bool() const { return mapping_ != nullptr; }

  private:
    void release();
    std::shared_ptr<SurfaceMapping> mapping_;
    uint32_t index_ = 0;
    uint32_t seed_ = 0;
};

/// One surface of a set, as a reader sees it. Cheap to copy; keeps the mapping alive.
class SurfaceView {
  public:
    SurfaceView(std::shared_ptr<SurfaceMapping> mapping, uint32_t index);

    uint32_t index() const { return index_; }
    uint32_t width() const;
    uint32_t height() const;
    uint32_t bytesPerRow() const;
    /// The seed of the last complete frame in this surface (0 before any).
    uint32_t seed() const;
    /// The pixels (read-only); they may change under you unless you hold `lock()`.
    const uint8_t* pixels() const;
    /// Pins the surface; empty when the device is drawing into it right now.
    ReadLock lock() const;
    /// Keeps the memory alive (for owners of pixel views).
    const std::shared_ptr<SurfaceMapping>& mapping() const { return mapping_; }

  private:
    std::shared_ptr<SurfaceMapping> mapping_;
    uint32_t index_;
};

/// The reader side: a read-only mapping of a device's surfaces. Thread-safe.
class SurfaceSet {
  public:
    /// Maps `fd` (ownership taken) read-only and checks the header; throws std::runtime_error.
    explicit SurfaceSet(int fd);

    uint32_t count() const;
    uint32_t width() const;
    uint32_t height() const;
    uint32_t bytesPerRow() const;
    SurfaceView surface(uint32_t index) const;
    /// The surface holding the newest complete frame.
    SurfaceView front() const;
    /// Pins the front surface (retrying if the device swaps meanwhile).
    ReadLock lockFront() const;
    /// Seed of the newest complete frame (0 before the first).
    uint32_t lastSeed() const;

  private:
    std::shared_ptr<SurfaceMapping> mapping_;
};

/// The writer side, used by the device process only. Not thread-safe: one drawing thread.
class SurfaceWriter {
  public:
    /// How long a pin is waited for before its reader is taken for dead. Long enough for a
    /// slow reader (a full-size encode under a sanitizer) to finish.
    static constexpr int defaultPinPatienceMs = 1000;

    /// Makes a memfd holding `count` surfaces of width x height; throws std::runtime_error.
    SurfaceWriter(uint32_t width, uint32_t height, uint32_t count = 2,
                  int pinPatienceMs = defaultPinPatienceMs);

    uint32_t width() const;
    uint32_t height() const;
    uint32_t bytesPerRow() const;
    int fd() const { return mapping_->fd(); }
    size_t size() const { return mapping_->size(); }

    /// Picks the surface to draw the next frame into and marks it written. Waits (up to
    /// pinPatienceMs) for readers to unpin it. Returns its pixels.
    uint8_t* beginFrame();
    /// Publishes the frame drawn since beginFrame: new seed, then it becomes the front.
    /// Returns the new seed.
    uint32_t endFrame();
    /// Index of the surface being drawn (valid between beginFrame and endFrame) or the front.
    uint32_t drawingIndex() const { return drawing_; }
    uint32_t frontIndex() const;
    /// The front surface's pixels (for the device's own screenshots).
    const uint8_t* frontPixels() const;

  private:
    std::shared_ptr<SurfaceMapping> mapping_;
    uint32_t drawing_ = 0;
    uint32_t stalePins_[4] = {};
    int pinPatienceMs_;
};

}  // namespace tavrel::sim
