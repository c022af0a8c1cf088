#pragma once

#include <chrono>
#include <functional>
#include <nlohmann/json.hpp>
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
/// arrival from the first chunk; then asks the helper on a fresh connection to `socketPath` for
/// the touches it injected meanwhile and writes FILE.job.json, a render job of the recording and
/// those touches into an MP4 beside it (`jobPath`, `moviePath`). Prints a summary line with
/// "started_at", the first chunk's arrival in seconds since the epoch (the clock `--since`
/// takes). A helper that gives no touches leaves the job without them, said on `notes`.
/// Throws HelperFailure.
void record(ClientSocket& socket, const std::string& socketPath, const RecordCommand& command,
            const std::function<ClientSocket::Clock::time_point()>& deadline, std::ostream& out,
            std::ostream& notes);

/// Where record writes the job of a recording into FILE, and the MP4 that job makes.
std::string jobPath(const std::string& file);
std::string moviePath(const std::string& file);

/// The touches of a touches answer that overlap a recording from `startedAt` to `stoppedAt`
/// (seconds since the epoch), their "t" moved onto the recording's clock. Throws HelperFailure
/// 502 when the answer holds no touch list.
nlohmann::json onRecordingClock(const nlohmann::json& answer, double startedAt, double stoppedAt);

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
