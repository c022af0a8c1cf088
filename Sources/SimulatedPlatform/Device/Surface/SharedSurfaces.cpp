#include "SimulatedPlatform/Device/Surface/SharedSurfaces.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>

namespace tavrel::sim {
namespace {

constexpr size_t pageSize = 4096;

size_t roundUp(size_t n) {
    return (n + pageSize - 1) / pageSize * pageSize;
}

std::runtime_error systemError(const std::string& what) {
    return std::runtime_error(what + ": " + std::strerror(errno));
}

}  // namespace

SurfaceMapping::SurfaceMapping(int fd, size_t size, bool writable) : fd_(fd), size_(size) {
    base_ = mmap(nullptr, size, writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, fd, 0);
    if (base_ == MAP_FAILED) {
        auto error = systemError("cannot map the display's surfaces");
        close(fd);
        throw error;
    }
    // Readers write only the pins in the header page; the pixels stay read-only for them.
    if (!writable && mprotect(base_, pageSize, PROT_READ | PROT_WRITE) != 0) {
        auto error = systemError("cannot pin the display's surfaces");
        munmap(base_, size_);
        close(fd);
        throw error;
    }
}

SurfaceMapping::~SurfaceMapping() {
    munmap(base_, size_);
    close(fd_);
}

ReadLock::ReadLock(std::shared_ptr<SurfaceMapping> mapping, uint32_t index, uint32_t seed)
    : mapping_(std::move(mapping)), index_(index), seed_(seed) {}

ReadLock::ReadLock(ReadLock&& other) noexcept
    : mapping_(std::move(other.mapping_)), index_(other.index_), seed_(other.seed_) {}

ReadLock& ReadLock::operator=(ReadLock&& other) noexcept {
    if (this != &other) {
        release();
        mapping_ = std::move(other.mapping_);
        index_ = other.index_;
        seed_ = other.seed_;
    }
    return *this;
}

ReadLock::~ReadLock() {
    release();
}

void ReadLock::release() {
    if (mapping_) {
        mapping_->header().slots[index_].pins.fetch_sub(1, std::memory_order_seq_cst);
        mapping_.reset();
    }
}

const uint8_t* ReadLock::pixels() const {
    const auto& header = mapping_->header();
    return mapping_->bytes() + header.surfaceOffset + header.surfaceStride * index_;
}

SurfaceView::SurfaceView(std::shared_ptr<SurfaceMapping> mapping, uint32_t index)
    : mapping_(std::move(mapping)), index_(index) {}

uint32_t SurfaceView::width() const {
    return mapping_->header().width;
}
uint32_t SurfaceView::height() const {
    return mapping_->header().height;
}
uint32_t SurfaceView::bytesPerRow() const {
    return mapping_->header().bytesPerRow;
}

uint32_t SurfaceView::seed() const {
    return mapping_->header().slots[index_].seed.load(std::memory_order_acquire);
}

const uint8_t* SurfaceView::pixels() const {
    const auto& header = mapping_->header();
    return mapping_->bytes() + header.surfaceOffset + header.surfaceStride * index_;
}

ReadLock SurfaceView::lock() const {
    auto& slot = mapping_->header().slots[index_];
    // Pin first, then look at the writer's flag; the writer sets its flag first, then
    // looks at the pins. With sequential consistency one of the two sees the other.
    slot.pins.fetch_add(1, std::memory_order_seq_cst);
    if (slot.writing.load(std::memory_order_seq_cst) != 0) {
        slot.pins.fetch_sub(1, std::memory_order_seq_cst);
        return {};
    }
    // Pinned: the seed cannot move any more, so it names the frame the pixels hold.
    return ReadLock(mapping_, index_, slot.seed.load(std::memory_order_acquire));
}

SurfaceSet::SurfaceSet(int fd) {
    // The header page is mapped writable so that readers can pin surfaces; the pixels
    // are only ever read. A short first mapping learns the size.
    SurfaceHeader probe{};
    if (pread(fd, &probe, sizeof probe, 0) != static_cast<ssize_t>(sizeof probe)) {
        auto error = systemError("cannot read the display's surfaces");
        close(fd);
        throw error;
    }
    if (probe.magic != SurfaceHeader::magicValue || probe.count == 0 || probe.count > 4 ||
        probe.width == 0 || probe.height == 0 || probe.bytesPerRow < probe.width * 4) {
        close(fd);
        throw std::runtime_error("the display's surfaces are not in a known layout");
    }
    size_t size = probe.surfaceOffset + probe.surfaceStride * probe.count;
    mapping_ = std::make_shared<SurfaceMapping>(fd, size, false);
}

uint32_t SurfaceSet::count() const {
    return mapping_->header().count;
}
uint32_t SurfaceSet::width() const {
    return mapping_->header().width;
}
uint32_t SurfaceSet::height() const {
    return mapping_->header().height;
}
uint32_t SurfaceSet::bytesPerRow() const {
    return mapping_->header().bytesPerRow;
}

SurfaceView SurfaceSet::surface(uint32_t index) const {
    if (index >= count()) throw std::out_of_range("no surface " + std::to_string(index));
    return SurfaceView(mapping_, index);
}

SurfaceView SurfaceSet::front() const {
    return SurfaceView(mapping_, mapping_->header().front.load(std::memory_order_acquire));
}

ReadLock SurfaceSet::lockFront() const {
    // The device may swap between reading the front index and pinning; then the pinned
    // surface is the one being drawn and pinning fails, so look again.
    for (;;) {
        auto view = front();
        if (auto lock = view.lock()) return lock;
        std::this_thread::yield();
    }
}

uint32_t SurfaceSet::lastSeed() const {
    return mapping_->header().lastSeed.load(std::memory_order_acquire);
}

SurfaceWriter::SurfaceWriter(uint32_t width, uint32_t height, uint32_t count, int pinPatienceMs)
    : pinPatienceMs_(pinPatienceMs) {
    if (width == 0 || height == 0 || count == 0 || count > 4) {
        throw std::runtime_error("a display needs 1 to 4 surfaces of at least 1x1 pixels");
    }
    const uint32_t bytesPerRow = (width * 4 + 63) / 64 * 64;
    const size_t stride = roundUp(size_t(bytesPerRow) * height);
    const size_t offset = roundUp(sizeof(SurfaceHeader));
    const size_t size = offset + stride * count;
    int fd = memfd_create("tavrel-display", MFD_CLOEXEC);
    if (fd < 0) throw systemError("cannot make the display's surfaces");
    if (ftruncate(fd, static_cast<off_t>(size)) != 0) {
        auto error = systemError("cannot size the display's surfaces");
        close(fd);
        throw error;
    }
    mapping_ = std::make_shared<SurfaceMapping>(fd, size, true);
    auto& header = mapping_->header();
    header.count = count;
    header.width = width;
    header.height = height;
    header.bytesPerRow = bytesPerRow;
    header.surfaceOffset = offset;
    header.surfaceStride = stride;
    header.front.store(0);
    header.lastSeed.store(0);
    for (auto& slot : header.slots) {
        slot.seed.store(0);
        slot.pins.store(0);
        slot.writing.store(0);
    }
    // Published last: a reader that sees the magic sees a complete header.
    std::atomic_ref<uint32_t>(header.magic).store(SurfaceHeader::magicValue,
                                                  std::memory_order_release);
}

uint32_t SurfaceWriter::width() const {
    return mapping_->header().width;
}
uint32_t SurfaceWriter::height() const {
    return mapping_->header().height;
}
uint32_t SurfaceWriter::bytesPerRow() const {
    return mapping_->header().bytesPerRow;
}
uint32_t SurfaceWriter::frontIndex() const {
    return mapping_->header().front.load();
}

const uint8_t* SurfaceWriter::frontPixels() const {
    const auto& header = mapping_->header();
    return mapping_->bytes() + header.surfaceOffset + header.surfaceStride * frontIndex();
}

uint8_t* SurfaceWriter::beginFrame() {
    auto& header = mapping_->header();
    const uint32_t front = header.front.load();
    // The oldest surface that is not in front: with two, simply the other one.
    drawing_ = header.count == 1 ? 0 : (front + 1) % header.count;
    auto& slot = header.slots[drawing_];
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(pinPatienceMs_);
    for (;;) {
        slot.writing.store(1, std::memory_order_seq_cst);
        const uint32_t pins = slot.pins.load(std::memory_order_seq_cst);
        if (pins <= stalePins_[drawing_]) {
            stalePins_[drawing_] = pins;  // stale pins that were released after all
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            // A reader that pins this long has most likely died holding the pin; its pin
            // is left alone (a live reader will still release it) but no longer waited for.
            stalePins_[drawing_] = pins;
            break;
        }
        slot.writing.store(0, std::memory_order_seq_cst);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return mapping_->bytes() + header.surfaceOffset + header.surfaceStride * drawing_;
}

uint32_t SurfaceWriter::endFrame() {
    auto& header = mapping_->header();
    auto& slot = header.slots[drawing_];
    uint32_t seed = header.lastSeed.load() + 1;
    if (seed == 0) seed = 1;  // 0 means "never drawn"
    slot.seed.store(seed, std::memory_order_release);
    slot.writing.store(0, std::memory_order_seq_cst);
    header.front.store(drawing_, std::memory_order_release);
    header.lastSeed.store(seed, std::memory_order_release);
    return seed;
}

}  // namespace tavrel::sim
