#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace tavrel {

/// A view of BGRA pixels (blue, green, red, alpha bytes; rows top to bottom) that a device side
/// draws into: a mapping of the simulated device's shared memory, a captured frame, a decoded
/// picture. The seed is a 32-bit counter that changes whenever the writer changes the content;
/// it may live in shared memory next to the pixels. The owner keeps pixels and seed alive for as
/// long as any copy of the surface exists.
///
/// Threads: the view itself is immutable. Readers may read pixels while the writer draws (a torn
/// picture is the platform's behaviour too); the seed is read and bumped atomically.
class Surface {
  public:
    Surface(std::uint8_t* pixels, int width, int height, std::size_t bytesPerRow,
            std::atomic<std::uint32_t>* seed, std::shared_ptr<void> owner);

    /// A surface with memory and a seed of its own, rows padded to 64 bytes, all pixels 0.
    static std::shared_ptr<Surface> allocate(int width, int height);

    int width() const { return width_; }
    int height() const { return height_; }
    std::size_t bytesPerRow() const { return bytesPerRow_; }
    const std::uint8_t* pixels() const { return pixels_; }
    /// For the writer only.
    std::uint8_t* mutablePixels() const { return pixels_; }

    std::uint32_t seed() const { return seed_->load(std::memory_order_acquire); }
    /// The writer has changed the content.
    void bumpSeed() const { seed_->fetch_add(1, std::memory_order_acq_rel); }

    /// Whether the view can be read as pixels at all: a buffer, a size of at least 1 x 1 and rows
    /// long enough for their pixels.
    bool isReadable() const;

  private:
    std::uint8_t* pixels_;
    int width_;
    int height_;
    std::size_t bytesPerRow_;
    std::atomic<std::uint32_t>* seed_;
    std::shared_ptr<void> owner_;
};

}  // namespace tavrel
