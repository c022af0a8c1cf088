#include "HelperCore/Concurrency/JobFailures.hpp"

#include <mutex>
#include <string>

#include "HelperCore/Base/HelperFailure.hpp"

namespace tavrel::JobFailures {

namespace {

std::mutex logMutex;

Log& processLog() {
    static Log log(Log::Level::error);
    return log;
}

}  // namespace

void logTo(Log log) {
    std::lock_guard lock(logMutex);
    processLog() = std::move(log);
}

void reportCurrent(std::string_view where) noexcept {
    try {
        Log log;
        {
            std::lock_guard lock(logMutex);
            log = processLog();
        }
        const std::string reason = HelperFailure::fromCurrentException().message();
        log.error([&] { return "a job on " + std::string(where) + " failed: " + reason; });
    } catch (...) {
        // Out of memory while reporting: nothing is left to report it with.
    }
}

}  // namespace tavrel::JobFailures
