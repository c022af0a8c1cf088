#include "tavrel-client/Mcp/McpRecording.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperCore/Render/FrameFile.hpp"
#include "tavrel-client/ClientRecording.hpp"
#include "tavrel-client/ClientRender.hpp"
#include "tavrel-client/ClientSocket.hpp"

namespace tavrel::client::mcp {
namespace {

using Clock = ClientSocket::Clock;

std::filesystem::path privateFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tavrel-mcp-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) {
        throw HelperFailure(
            "cannot make a folder for the recording: " + std::string(std::strerror(errno)), 502);
    }
    return pattern;
}

}  // namespace

McpRecording::McpRecording(const std::string& socket, Options options, double widthPt,
                           double heightPt)
    : options_(std::move(options)),
      socket_(socket),
      widthPt_(widthPt),
      heightPt_(heightPt),
      folder_(privateFolder()),
      frames_(folder_ / "recording.frames") {
    thread_ = std::jthread([this](std::stop_token stop) { run(stop); });
}

McpRecording::~McpRecording() {
    thread_.request_stop();
    if (thread_.joinable()) thread_.join();
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
}

void McpRecording::run(std::stop_token stop) {
    try {
        std::ofstream file(frames_, std::ios::binary | std::ios::trunc);
        if (!file) throw HelperFailure("cannot write " + frames_.string(), 502);
        file.write(reinterpret_cast<const char*>(FrameFile::magic.data()), FrameFile::magic.size());
        ClientSocket connection(socket_);
        const auto id = connection.request(nlohmann::json{
            {"op", "stream"},
            {"fps", options_.fps},
            {"scale", options_.scale},
            {"key_frame_s", 2},
            {"bitrate", 4000000}}.dump());
        std::optional<Clock::time_point> first;
        while (!stop.stop_requested()) {
            std::optional<Frame> frame;
            try {
                // Short waits, so that a stop is seen soon on a still screen.
                frame = connection.next(id, Clock::now() + std::chrono::milliseconds(100));
            } catch (const HelperFailure& failure) {
                if (failure.status() == 504) continue;
                throw;
            }
            if (!frame)
                throw HelperFailure("the helper closed the connection while recording", 502);
            if (frame->kind == FrameKind::failure) throwFailure(*frame);
            if (frame->kind == FrameKind::reply) {
                throw HelperFailure("the helper ended the stream while recording", 502);
            }
            if (frame->kind != FrameKind::chunk || frame->blob.empty()) continue;
            const auto arrived = Clock::now();
            if (!first) {
                first = arrived;
                std::lock_guard guard(lock_);
                firstPicture_ = ClientRecording::now();
            }
            if (arrived - *first > std::chrono::duration<double>(longestS)) {
                std::lock_guard guard(lock_);
                limitReached_ = true;
                break;
            }
            const Bytes bytes = FrameFile::encode(
                {FrameFile::Kind::h264, std::chrono::duration<double>(arrived - *first).count(),
                 frame->blob});
            file.write(reinterpret_cast<const char*>(bytes.data()),
                       static_cast<std::streamsize>(bytes.size()));
            std::lock_guard guard(lock_);
            ++frameCount_;
        }
        connection.close();
        file.flush();
        if (!file) throw HelperFailure("cannot write " + frames_.string(), 502);
        std::lock_guard guard(lock_);
        state_ = State::stopped;
    } catch (const std::exception& error) {
        const auto failure = HelperFailure::from(error);
        std::lock_guard guard(lock_);
        state_ = State::failed;
        failure_ = failure.message() + " (status " + std::to_string(failure.status()) + ")";
    }
}

void McpRecording::started(double waitS) {
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(waitS));
    for (;;) {
        {
            std::lock_guard guard(lock_);
            if (state_ == State::failed)
                throw HelperFailure("the recording failed: " + failure_, 502);
            if (frameCount_ > 0) return;
        }
        if (Clock::now() >= deadline)
            throw HelperFailure("the recording got no picture in time", 504);
        // The recording thread counts pictures as they come; look again shortly.
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void McpRecording::touch(const std::string& kind,
                         const std::vector<std::pair<double, double>>& points, double startedAt,
                         double duration) {
    if (!options_.marks) return;
    std::lock_guard guard(lock_);
    if (firstPicture_ == 0 || state_ != State::recording) return;
    RecordedTouch touch{startedAt - firstPicture_, kind, {}, duration, "agent"};
    for (const auto& [x, y] : points) {
        touch.points.push_back(
            {widthPt_ > 0 ? x / widthPt_ : 0, heightPt_ > 0 ? y / heightPt_ : 0});
    }
    touches_.push_back(std::move(touch));
}

nlohmann::json McpRecording::stop() {
    thread_.request_stop();
    if (thread_.joinable()) thread_.join();
    std::vector<RecordedTouch> touches;
    std::size_t frames = 0;
    {
        std::lock_guard guard(lock_);
        if (state_ == State::failed) throw HelperFailure("the recording failed: " + failure_, 502);
        touches = touches_;
        frames = frameCount_;
    }
    if (frames == 0) throw HelperFailure("the recording holds no picture", 409);
    const std::size_t touchCount = touches.size();
    auto report = ClientRender::run(
        ClientRender::job(frames_.string(), nlohmann::json(touches), options_.mp4, std::nullopt),
        folder_ / "job.json");
    std::error_code error;
    const auto bytes = std::filesystem::file_size(options_.mp4, error);
    report["frames"] = frames;
    report["touches"] = touchCount;
    report["marks"] = options_.marks;
    {
        std::lock_guard guard(lock_);
        if (limitReached_) report["stopped_at_limit_s"] = longestS;
    }
    if (!error) report["bytes"] = bytes;
    return report;
}

}  // namespace tavrel::client::mcp
