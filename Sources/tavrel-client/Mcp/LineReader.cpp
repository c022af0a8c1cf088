#include "tavrel-client/Mcp/LineReader.hpp"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace tavrel::client::mcp {

LineReader::LineReader(int descriptor, std::size_t limit)
    : descriptor_(descriptor), limit_(limit) {}

void LineReader::interruptible(const sigset_t* mask, const volatile std::sig_atomic_t* stopped) {
    mask_ = mask;
    stopped_ = stopped;
}

bool LineReader::fill() {
    char chunk[1 << 16];
    for (;;) {
        if (stopped_ && *stopped_) return false;
        if (mask_) {
            pollfd waiting{descriptor_, POLLIN, 0};
            const int ready = ::ppoll(&waiting, 1, nullptr, mask_);
            if (ready < 0 && errno == EINTR) continue;
            if (ready < 0) throw std::system_error(errno, std::generic_category(), "poll stdin");
        }
        const ssize_t count = ::read(descriptor_, chunk, sizeof chunk);
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) throw std::system_error(errno, std::generic_category(), "read stdin");
        if (count == 0) return false;
        buffer_.append(chunk, static_cast<std::size_t>(count));
        return true;
    }
}

LineReader::Item LineReader::next() {
    for (;;) {
        const auto newline = buffer_.find('\n', scanned_);
        if (newline != std::string::npos) {
            if (skipping_) {
                // The end of an overlong line that was already reported.
                skipping_ = false;
                buffer_.erase(0, newline + 1);
                scanned_ = 0;
                continue;
            }
            std::string line = buffer_.substr(0, newline);
            buffer_.erase(0, newline + 1);
            scanned_ = 0;
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (line.empty()) continue;
            if (line.size() > limit_) return Overlong{line.size()};
            return Line{std::move(line)};
        }
        scanned_ = buffer_.size();
        if (buffer_.size() > limit_) {
            const std::size_t seen = buffer_.size();
            buffer_.clear();
            scanned_ = 0;
            if (!skipping_) {
                skipping_ = true;
                return Overlong{seen};
            }
            continue;
        }
        if (ended_ || !fill()) {
            ended_ = true;
            if (buffer_.empty() || skipping_) {
                buffer_.clear();
                return End{};
            }
            std::string line = std::move(buffer_);
            buffer_.clear();
            scanned_ = 0;
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (line.empty()) return End{};
            return Line{std::move(line)};
        }
    }
}

}  // namespace tavrel::client::mcp
