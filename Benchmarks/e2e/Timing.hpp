#pragma once

// What the end-to-end timing tools share: the clock, medians and percentiles, rounding for the
// one-line JSON report and its printing, the client steps every tool takes (a request answered,
// a stream read until it falls quiet), and how a tool ends on a failure.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <exception>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "HelperCore/Base/HelperFailure.hpp"
#include "tavrel-client/ClientSocket.hpp"

namespace tavrel::timing {

using Clock = std::chrono::steady_clock;

inline double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

/// The `fraction` quantile (0.5 is the median), interpolated between the two nearest values;
/// 0 for no values.
inline double percentile(std::vector<double> values, double fraction) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const double at = fraction * static_cast<double>(values.size() - 1);
    const auto below = static_cast<std::size_t>(std::floor(at));
    const auto above = std::min(below + 1, values.size() - 1);
    return values[below] + (values[above] - values[below]) * (at - static_cast<double>(below));
}

inline double median(std::vector<double> values) {
    return percentile(std::move(values), 0.5);
}

/// Two decimals, enough for milliseconds and ratios in a report.
inline double rounded(double value) {
    return std::round(value * 100) / 100;
}

/// Prints the tool's report as its one line of standard output.
inline void report(const nlohmann::json& fields) {
    std::cout << fields.dump() << std::endl;
}

/// Runs the tool's body and returns its exit status; a failure is printed as "{tool}: {reason}"
/// on standard error and ends the tool with 1.
template <class Body>
int runTool(const char* tool, Body&& body) {
    try {
        body();
        return 0;
    } catch (const std::exception& error) {
        std::cerr << tool << ": " << error.what() << '\n';
        return 1;
    }
}

/// A request's reply; a failure frame is thrown as its HelperFailure.
inline Frame ask(client::ClientSocket& socket, const std::string& json) {
    using namespace std::chrono_literals;
    return socket.answer(socket.request(json), Clock::now() + 30s);
}

/// Reads the stream's frames until none comes for `quiet`. Throws when the stream ends.
inline void drain(client::ClientSocket& viewer, std::uint32_t stream,
                  std::chrono::milliseconds quiet) {
    for (;;) {
        try {
            if (!viewer.next(stream, Clock::now() + quiet)) {
                throw HelperFailure("the stream ended", 502);
            }
        } catch (const HelperFailure& failure) {
            if (failure.status() == 504) return;
            throw;
        }
    }
}

}  // namespace tavrel::timing
