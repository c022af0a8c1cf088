#include "HelperCore/Base/Log.hpp"

#include <unistd.h>

#include <cerrno>

namespace tavrel {

std::optional<Log::Level> Log::levelNamed(std::string_view name) {
    for (Level level : {Level::debug, Level::info, Level::warning, Level::error}) {
        if (Log::name(level) == name) return level;
    }
    return std::nullopt;
}

std::string_view Log::name(Level level) {
    switch (level) {
        case Level::debug:
            return "debug";
        case Level::info:
            return "info";
        case Level::warning:
            return "warning";
        case Level::error:
            break;
    }
    return "error";
}

void Log::emit(Level level, std::string_view message) const {
    std::string line;
    line.reserve(message.size() + 10);
    line += '[';
    line += name(level);
    line += "] ";
    line += message;
    write_(line);
}

void Log::writeToStandardError(const std::string& line) {
    const std::string text = line + "\n";
    std::size_t written = 0;
    // One call in practice; the loop only finishes a write that a signal or a full pipe cut.
    while (written < text.size()) {
        const ssize_t count = ::write(STDERR_FILENO, text.data() + written, text.size() - written);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) return;
        written += static_cast<std::size_t>(count);
    }
}

}  // namespace tavrel
