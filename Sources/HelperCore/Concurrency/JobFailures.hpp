#pragma once

#include <string_view>

#include "HelperCore/Base/Log.hpp"

namespace tavrel::JobFailures {

/// Where the failures of jobs that nobody waits on (a pool's, a queue's, a background thread's)
/// are logged: standard error, at the error level, until the program names its own log. Such a
/// job has no caller to throw to, and a failure dropped without a line cannot be traced.
/// Threads: any.
void logTo(Log log);

/// Logs the exception in flight as "[error] a job on {where} failed: {reason}". Call only from a
/// catch block; never throws.
void reportCurrent(std::string_view where) noexcept;

}  // namespace tavrel::JobFailures
