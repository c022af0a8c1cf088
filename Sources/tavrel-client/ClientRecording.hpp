#pragma once

#include <chrono>
#include <functional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "tavrel-client/ClientArguments.hpp"
#include "tavrel-client/ClientSocket.hpp"

namespace tavrel::client {

/// What a script needs to build a render job: the live stream kept as a frame file, and the
/// touches the client made as recorded-touch lines.
namespace ClientRecording {

/// Streams for the command's seconds and writes each chunk as an h264 frame timed by its
/// arrival from the first chunk. Prints a summary line with "started_at", the first chunk's
/// arrival in seconds since the epoch (the clock `--since` takes). Throws HelperFailure.
void record(ClientSocket& socket, const RecordCommand& command,
            const std::function<ClientSocket::Clock::time_point()>& deadline, std::ostream& out);

/// Seconds since the epoch, now.
double now();

/// Appends one recorded-touch line: `points` (and the second finger's `pointsTwo`, when it
/// touched) in screen points, turned into fractions of a screen of widthPt x heightPt; t is
/// `startedAt` less the log's `since`.
void logTouch(const TouchLog& log, const std::string& kind,
              const std::vector<std::pair<double, double>>& points, double startedAt,
              double duration, double widthPt, double heightPt,
              const std::vector<std::pair<double, double>>& pointsTwo = {});

}  // namespace ClientRecording
}  // namespace tavrel::client
