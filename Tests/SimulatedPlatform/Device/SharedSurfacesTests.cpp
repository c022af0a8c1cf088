#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "SimulatedPlatform/Device/Surface/SharedSurfaces.hpp"

namespace tavrel::sim {
namespace {

// A reader maps its own descriptor, as the device's clients do.
SurfaceSet readerOf(const SurfaceWriter& writer) {
    return SurfaceSet(fcntl(writer.fd(), F_DUPFD_CLOEXEC, 0));
}

void paint(SurfaceWriter& writer, uint8_t value) {
    uint8_t* pixels = writer.beginFrame();
    std::memset(pixels, value, size_t(writer.bytesPerRow()) * writer.height());
    writer.endFrame();
}

TEST(SharedSurfaces, FramesAlternateAndSeedsNeverRepeat) {
    SurfaceWriter writer(5, 3);
    SurfaceSet reader = readerOf(writer);
    EXPECT_EQ(reader.width(), 5u);
    EXPECT_EQ(reader.height(), 3u);
    EXPECT_GE(reader.bytesPerRow(), 20u);
    EXPECT_EQ(reader.count(), 2u);
    EXPECT_EQ(reader.lastSeed(), 0u);  // nothing drawn yet

    uint32_t previousSeed = 0, previousFront = 99;
    for (int frame = 1; frame <= 5; ++frame) {
        paint(writer, static_cast<uint8_t>(frame));
        const auto front = reader.front();
        EXPECT_NE(front.index(), previousFront);  // double buffered: the other surface
        EXPECT_GT(front.seed(), previousSeed);
        EXPECT_EQ(front.seed(), reader.lastSeed());
        EXPECT_EQ(front.pixels()[0], frame);
        EXPECT_EQ(front.pixels()[size_t(front.bytesPerRow()) * 2 + 19], frame);
        previousSeed = front.seed();
        previousFront = front.index();
    }
    // The surface behind keeps the frame before, with its own (older) seed.
    const auto back = reader.surface(1 - reader.front().index());
    EXPECT_EQ(back.pixels()[0], 4);
    EXPECT_EQ(back.seed() + 1, reader.lastSeed());
    EXPECT_THROW(reader.surface(2), std::out_of_range);
}

TEST(SharedSurfaces, RejectsMemoryThatIsNoSurfaceSet) {
    char name[] = "/tmp/not-surfaces-XXXXXX";
    const int fd = mkstemp(name);
    unlink(name);
    ASSERT_EQ(ftruncate(fd, 8192), 0);  // zeros: no magic
    EXPECT_THROW(SurfaceSet{fd}, std::runtime_error);
    EXPECT_THROW(SurfaceWriter(0, 10), std::runtime_error);
}

TEST(SharedSurfaces, APinnedSurfaceIsNotDrawnInto) {
    SurfaceWriter writer(4, 4);
    SurfaceSet reader = readerOf(writer);
    paint(writer, 1);
    paint(writer, 2);
    ReadLock pinned = reader.lockFront();  // holds 2; 1 is behind
    ASSERT_TRUE(pinned);
    EXPECT_EQ(pinned.pixels()[0], 2);
    paint(writer, 3);  // goes into the surface behind, 2 stays in the other
    EXPECT_EQ(pinned.pixels()[0], 2);

    // The next frame would go into the pinned surface: it waits until the pin goes.
    std::atomic<bool> drawn = false;
    std::thread device([&] {
        paint(writer, 4);
        drawn = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(drawn);
    EXPECT_EQ(pinned.pixels()[0], 2);
    pinned = ReadLock();
    device.join();
    EXPECT_EQ(reader.front().pixels()[0], 4);

    // While the device draws into a surface, it cannot be pinned.
    writer.beginFrame();
    EXPECT_FALSE(reader.surface(writer.drawingIndex()).lock());
    EXPECT_TRUE(reader.lockFront());
    writer.endFrame();
    EXPECT_TRUE(reader.surface(writer.frontIndex()).lock());
}

TEST(SharedSurfaces, APinHeldTooLongIsNoLongerWaitedFor) {
    constexpr int patienceMs = 100;
    SurfaceWriter writer(4, 4, 2, patienceMs);
    SurfaceSet reader = readerOf(writer);
    paint(writer, 1);
    ReadLock forgotten = reader.lockFront();  // as if its reader had died
    paint(writer, 2);
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    paint(writer, 3);  // waits once, then draws
    const auto waited = Clock::now() - start;
    paint(writer, 4);
    paint(writer, 5);  // no second wait for the same stale pin
    const auto after = Clock::now() - start - waited;
    EXPECT_GE(waited, std::chrono::milliseconds(patienceMs));
    EXPECT_LT(after, std::chrono::milliseconds(patienceMs));
    EXPECT_EQ(reader.front().pixels()[0], 5);
}

}  // namespace
}  // namespace tavrel::sim
