#pragma once

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "HelperCore/Render/RenderJob.hpp"

namespace tavrel::client::mcp {

/// One device's recording between record_start and record_stop: the live stream kept as a
/// frame file in a private folder (its own connection, its own thread), the touches the tools
/// make meanwhile, and at the end `tavrel-helper render` turning both into the MP4.
class McpRecording {
  public:
    struct Options {
        std::string mp4;
        std::int64_t fps = 30;
        double scale = 0.5;
        bool marks = false;
    };
    enum class State { recording, stopped, failed };
    /// The longest recording: an agent that forgets record_stop does not fill the disk.
    static constexpr double longestS = 600;

    /// Starts streaming. Throws HelperFailure when the folder or the connection cannot be made.
    McpRecording(const std::string& socket, Options options, double widthPt, double heightPt);
    /// Stops streaming without rendering and removes the folder.
    ~McpRecording();
    McpRecording(const McpRecording&) = delete;
    McpRecording& operator=(const McpRecording&) = delete;

    /// A touch a tool made: points on the screen, its start on the system clock (seconds since
    /// the epoch), its duration. Kept only with marks.
    void touch(const std::string& kind, const std::vector<std::pair<double, double>>& points,
               double startedAt, double duration);

    /// Stops streaming and renders: the render report's files, the frame count and the MP4's
    /// size in bytes. Throws HelperFailure when nothing was recorded or the render fails.
    nlohmann::json stop();

    /// Waits up to `waitS` for the first picture. Throws HelperFailure when the recording
    /// failed or none came.
    void started(double waitS);

    const Options& options() const { return options_; }

  private:
    void run(std::stop_token stop);

    Options options_;
    std::string socket_;
    double widthPt_;
    double heightPt_;
    std::filesystem::path folder_;
    std::filesystem::path frames_;
    std::mutex lock_;
    State state_ = State::recording;
    std::string failure_;
    std::size_t frameCount_ = 0;
    bool limitReached_ = false;
    /// When the first picture arrived, on the system clock; 0 before.
    double firstPicture_ = 0;
    std::vector<RecordedTouch> touches_;
    std::jthread thread_;
};

}  // namespace tavrel::client::mcp
