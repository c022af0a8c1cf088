#include "HelperPlatform/Media/Surface.hpp"

#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

namespace tavrel {

namespace {

struct OwnedMemory {
    explicit OwnedMemory(std::size_t size)
        : pixels(static_cast<std::uint8_t*>(std::aligned_alloc(64, size))) {
        if (pixels == nullptr) throw std::bad_alloc();
        std::memset(pixels, 0, size);
    }
    ~OwnedMemory() { std::free(pixels); }
    OwnedMemory(const OwnedMemory&) = delete;
    OwnedMemory& operator=(const OwnedMemory&) = delete;

    std::uint8_t* pixels;
    std::atomic<std::uint32_t> seed{1};
};

}  // namespace

Surface::Surface(std::uint8_t* pixels, int width, int height, std::size_t bytesPerRow,
                 std::atomic<std::uint32_t>* seed, std::shared_ptr<void> owner)
    : pixels_(pixels),
      width_(width),
      height_(height),
      bytesPerRow_(bytesPerRow),
      seed_(seed),
      owner_(std::move(owner)) {
    if (seed_ == nullptr) throw std::invalid_argument("a surface needs a seed");
}

std::shared_ptr<Surface> Surface::allocate(int width, int height) {
    if (width < 1 || height < 1)
        throw std::invalid_argument("a surface needs a size of 1x1 or more");
    const std::size_t bytesPerRow = (static_cast<std::size_t>(width) * 4 + 63) / 64 * 64;
    auto memory = std::make_shared<OwnedMemory>(bytesPerRow * static_cast<std::size_t>(height));
    return std::make_shared<Surface>(memory->pixels, width, height, bytesPerRow, &memory->seed,
                                     memory);
}

bool Surface::isReadable() const {
    return pixels_ != nullptr && width_ >= 1 && height_ >= 1 &&
           bytesPerRow_ >= static_cast<std::size_t>(width_) * 4;
}

}  // namespace tavrel
