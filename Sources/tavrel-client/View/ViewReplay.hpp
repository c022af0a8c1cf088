#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace tavrel::client {

/// Saves the helper's last seconds for a page, as an MP4 with the touches painted on: the
/// helper's answer and render take seconds, so the work runs on a thread of its own, one save at
/// a time. Destruction waits for a save under way.
class ViewReplay {
  public:
    enum class State { idle, saving };
    struct Result {
        bool ok = false;
        std::string mp4;      // the movie's bytes, when ok
        std::string message;  // why not, in the helper's or render's words
        int status = 0;
    };
    /// Runs on the saving thread and must not block; the owner forwards it to its own thread.
    using OnDone = std::function<void(Result)>;

    ViewReplay(std::string socket, double timeoutS);
    ~ViewReplay();
    ViewReplay(const ViewReplay&) = delete;
    ViewReplay& operator=(const ViewReplay&) = delete;

    /// Starts a save; false, and nothing started, while another is under way.
    bool start(OnDone onDone);

  private:
    Result save() const;

    std::string socket_;
    double timeoutS_;
    std::mutex lock_;
    State state_ = State::idle;
    std::jthread thread_;
};

}  // namespace tavrel::client
