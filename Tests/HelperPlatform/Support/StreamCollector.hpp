#pragma once

#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "HelperCore/Base/Bytes.hpp"
#include "HelperCore/Base/Log.hpp"
#include "HelperCore/Concurrency/AsyncStream.hpp"
#include "HelperCore/Video/AnnexB.hpp"
#include "HelperCore/Video/NALUnit.hpp"

namespace tavrel::testing {

/// One access unit as the consumer received it, with its arrival in seconds since collecting
/// began.
struct Chunk {
    double at = 0;
    Bytes bytes;

    /// Starts with a sequence parameter set.
    bool isKey() const {
        const auto units = AnnexB::nalUnitViews(bytes);
        return !units.empty() && AnnexB::type(units.front()) == NALUnit::sequenceParameterSet;
    }
};

struct Collected {
    std::vector<Chunk> chunks;
    std::exception_ptr error;
    bool ended = false;  // the producer ended the stream before the time was up
};

/// Consumes `stream` for `seconds` (or until it ends), then cancels it, as a client's task does.
inline Collected collect(AsyncStream<Bytes> stream, double seconds, std::size_t enough = SIZE_MAX) {
    Collected collected;
    std::stop_source stop;
    const auto start = std::chrono::steady_clock::now();
    std::jthread timer([&stop, seconds](std::stop_token token) {
        std::mutex mutex;
        std::condition_variable_any sleeper;
        std::unique_lock lock(mutex);
        sleeper.wait_for(lock, token, std::chrono::duration<double>(seconds), [] { return false; });
        stop.request_stop();
    });
    for (;;) {
        try {
            auto unit = stream.next(stop.get_token());
            if (!unit) {
                collected.ended = !stop.stop_requested();
                break;
            }
            const double at =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            collected.chunks.push_back({at, std::move(*unit)});
            if (collected.chunks.size() >= enough) {
                stream.cancel();
                break;
            }
        } catch (...) {
            collected.error = std::current_exception();
            collected.ended = true;
            break;
        }
    }
    return collected;
}

/// A log at debug level that keeps its lines.
class LogLines {
  public:
    Log log() {
        return Log(Log::Level::debug, [this](const std::string& line) {
            std::lock_guard lock(mutex_);
            lines_.push_back(line);
        });
    }
    std::vector<std::string> lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

}  // namespace tavrel::testing
