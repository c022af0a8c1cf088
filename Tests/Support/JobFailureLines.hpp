#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "HelperCore/Concurrency/JobFailures.hpp"

namespace tavrel::testing {

/// The lines the process-wide job log receives while it exists; standard error again after.
class JobFailureLines {
  public:
    JobFailureLines() {
        JobFailures::logTo(Log(Log::Level::error, [this](const std::string& line) {
            std::lock_guard lock(mutex_);
            lines_.push_back(line);
        }));
    }
    ~JobFailureLines() { JobFailures::logTo(Log(Log::Level::error)); }
    JobFailureLines(const JobFailureLines&) = delete;
    JobFailureLines& operator=(const JobFailureLines&) = delete;

    std::vector<std::string> taken() {
        std::lock_guard lock(mutex_);
        return lines_;
    }

  private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

}  // namespace tavrel::testing
