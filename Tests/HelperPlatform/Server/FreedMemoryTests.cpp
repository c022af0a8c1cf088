#include "HelperPlatform/Server/FreedMemory.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <thread>

namespace tavrel {
namespace {

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif

long residentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    }
    return -1;
}

// A parser's string doubling up to a huge request's size, each step allocated on one thread and
// freed on another, as a request read on the event loop and decoded on a worker is. Without
// fixed thresholds glibc raises them after the first large free, and the later blocks stay in a
// worker's arena for good.
TEST(FreedMemory, LargeBlocksGoBackWhicheverThreadTookOrFreedThem) {
    if (sanitized) GTEST_SKIP() << "a sanitizer's allocator keeps what is freed";
    FreedMemory::giveBackAsFreed();
    const long before = residentKiB();
    std::atomic<char*> block{nullptr};  // shared between threads: never optimised away
    for (int round = 0; round < 4; ++round) {
        for (std::size_t size = std::size_t{1} << 16; size <= std::size_t{32} << 20; size *= 2) {
            std::thread([&] {
                char* taken = static_cast<char*>(std::malloc(size));
                ASSERT_NE(taken, nullptr);
                std::memset(taken, round + 1, size);
                block = taken;
            }).join();
            std::thread([&] { std::free(block.exchange(nullptr)); }).join();
        }
    }
    EXPECT_LT(residentKiB(), before + 4 * 1024) << before << " KiB before";
}

// A parse tree of a great many small members, made and freed on a worker: fast bins would keep
// its blocks unmerged, and a trim would merge them into the worker arena's top and keep them.
TEST(FreedMemory, ManySmallBlocksOfAWorkerGoBackOnceTrimmed) {
    if (sanitized) GTEST_SKIP() << "a sanitizer's allocator keeps what is freed";
    FreedMemory::giveBackAsFreed();
    const long before = residentKiB();
    for (int round = 0; round < 3; ++round) {
        std::thread([] {
            std::map<std::string, std::string> tree;
            for (int key = 0; key < 500'000; ++key) {
                tree.emplace("member " + std::to_string(key), std::string(24, 'y'));
            }
        }).join();
        FreedMemory::giveBack();
    }
    EXPECT_LT(residentKiB(), before + 4 * 1024) << before << " KiB before";
}

}  // namespace
}  // namespace tavrel
