#include "tavrel-client/ClientRecording.hpp"

#include <cmath>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperCore/Render/FrameFile.hpp"
#include "HelperCore/Render/RenderJob.hpp"
#include "tavrel-client/ClientRender.hpp"
#include "tavrel-client/ClientRequests.hpp"

namespace tavrel::client::ClientRecording {

double now() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string jobPath(const std::string& file) {
    return file + ".job.json";
}

std::string moviePath(const std::string& file) {
    auto movie = std::filesystem::path(file).replace_extension(".mp4").string();
    return movie == file ? file + ".mp4" : movie;
}

nlohmann::json onRecordingClock(const nlohmann::json& answer, double startedAt, double stoppedAt) {
    if (!answer.is_object() || !answer.contains("touches") || !answer["touches"].is_array()) {
        throw HelperFailure("the helper's touches answer has no touch list", 502);
    }
    auto touches = nlohmann::json::array();
    for (auto touch : answer["touches"]) {
        // Entries that are no touch go on as they are, for the job's reader to name.
        if (touch.is_object() && touch.contains("t") && touch["t"].is_number()) {
            const double t = touch["t"].get<double>();
            const auto duration = touch.find("duration");
            const double length =
                duration != touch.end() && duration->is_number() ? duration->get<double>() : 0;
            if (t > stoppedAt || t + length < startedAt) continue;
            touch["t"] = t - startedAt;
        }
        touches.push_back(std::move(touch));
    }
    return touches;
}

void record(ClientSocket& socket, const std::string& socketPath, const RecordCommand& command,
            const std::function<ClientSocket::Clock::time_point()>& deadline, std::ostream& out,
            std::ostream& notes) {
    using Clock = ClientSocket::Clock;
    std::ofstream file(command.file, std::ios::binary | std::ios::trunc);
    if (!file) throw HelperFailure("cannot write " + command.file, 400);
    file.write(reinterpret_cast<const char*>(FrameFile::magic.data()), FrameFile::magic.size());
    StreamCommand stream{command.file, command.seconds, command.fps, command.scale};
    const auto id = socket.request(ClientRequests::stream(stream));
    std::optional<Clock::time_point> first;
    double startedAt = 0;
    Clock::time_point end = deadline();
    std::size_t count = 0;
    for (;;) {
        std::optional<Frame> frame;
        try {
            frame = socket.next(id, end);
        } catch (const HelperFailure& failure) {
            if (failure.status() != 504) throw;
            break;
        }
        if (!frame) throw HelperFailure("the helper closed the connection during the stream", 502);
        if (frame->kind == FrameKind::failure) throwFailure(*frame);
        if (frame->kind == FrameKind::reply) break;
        if (frame->kind != FrameKind::chunk || frame->blob.empty()) continue;
        const auto arrived = Clock::now();
        if (!first) {
            // The recording's length runs from its first picture.
            first = arrived;
            startedAt = now();
            end = arrived + std::chrono::duration_cast<Clock::duration>(
                                std::chrono::duration<double>(command.seconds));
        }
        const double time = std::chrono::duration<double>(arrived - *first).count();
        const Bytes bytes = FrameFile::encode({FrameFile::Kind::h264, time, frame->blob});
        file.write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        ++count;
    }
    socket.close();
    const double stoppedAt = now();
    file.flush();
    if (!file) throw HelperFailure("cannot write " + command.file, 502);

    const std::string frames = std::filesystem::absolute(command.file).string();
    const std::string movie = std::filesystem::absolute(moviePath(command.file)).string();
    auto job = ClientRender::job(frames, nlohmann::json::array(), movie, std::nullopt);
    if (count > 0) {
        try {
            ClientSocket again(socketPath);
            const Frame answer =
                again.answer(again.request(ClientRequests::touches(startedAt)), deadline());
            job = ClientRender::job(
                frames,
                onRecordingClock(nlohmann::json::parse(answer.json, nullptr, false), startedAt,
                                 stoppedAt),
                movie, std::nullopt);
        } catch (const HelperFailure& failure) {
            notes << "tavrel-client: the job holds no touches: " << failure.message() << " (status "
                  << failure.status() << ")\n";
        }
    }
    const std::string jobFile = jobPath(command.file);
    {
        std::ofstream written(jobFile, std::ios::trunc);
        written << job.dump(1) << '\n';
        written.flush();
        if (!written) throw HelperFailure("cannot write " + jobFile, 502);
    }
    out << nlohmann::json{{"file", command.file},
                          {"frames", count},
                          {"job", std::filesystem::absolute(jobFile).string()},
                          {"started_at", std::round(startedAt * 1000) / 1000},
                          {"touches", job["touches"].size()}}
               .dump()
        << '\n';
}

void logTouch(const TouchLog& log, const std::string& kind,
              const std::vector<std::pair<double, double>>& points, double startedAt,
              double duration, double widthPt, double heightPt,
              const std::vector<std::pair<double, double>>& pointsTwo) {
    RecordedTouch touch{startedAt - log.since, kind, {}, duration, "agent"};
    auto fractions = [&](const std::vector<std::pair<double, double>>& list) {
        std::vector<std::vector<double>> out;
        for (const auto& [x, y] : list)
            out.push_back({widthPt > 0 ? x / widthPt : 0, heightPt > 0 ? y / heightPt : 0});
        return out;
    };
    touch.points = fractions(points);
    touch.pointsTwo = fractions(pointsTwo);
    std::ofstream file(log.file, std::ios::app);
    file << nlohmann::json(touch).dump() << '\n';
    file.flush();
    if (!file) throw HelperFailure("cannot write " + log.file, 502);
}

}  // namespace tavrel::client::ClientRecording
