#include "Support/FrameFiles.hpp"

#include <algorithm>

namespace tavrel::testing {

std::vector<FrameFile::Frame> readFrames(const Bytes& file) {
    std::size_t at = 0;
    FrameFile::Reader reader([&](std::size_t count) {
        const std::size_t taken = std::min(count, file.size() - at);
        Bytes part(file.begin() + static_cast<std::ptrdiff_t>(at),
                   file.begin() + static_cast<std::ptrdiff_t>(at + taken));
        at += taken;
        return part;
    });
    std::vector<FrameFile::Frame> frames;
    while (auto frame = reader.next()) frames.push_back(std::move(*frame));
    return frames;
}

}  // namespace tavrel::testing
