#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <thread>

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperPlatform/Media/FrameSignal.hpp"
#include "HelperPlatform/Media/PixelSource.hpp"

namespace tavrel::testing {

/// A screen for tests and benchmarks: one BGRA surface that it redraws on command (`redraw`,
/// `paint`) or at a steady rate (`animate`), publishing each redraw as a new picture to its
/// observers on its own queue. Counts holds, let-gos and closes, remembers when each version was
/// published, and can be told to have no picture or to refuse holds.
class SyntheticPixelSource : public PixelSource {
  public:
    using Clock = std::chrono::steady_clock;

    /// With `drawn` false there is no picture until the first `redraw` or `paint`.
    SyntheticPixelSource(int width, int height, bool drawn = true,
                         std::string label = "tavrel.synthetic")
        : signal_(std::move(label)), surface_(Surface::allocate(width, height)) {
        fillBackground();
        if (drawn) publish();
    }

    ~SyntheticPixelSource() override { stopAnimating(); }

    // PixelSource

    std::optional<Picture> picture() override {
        std::lock_guard lock(mutex_);
        if (!drawn_) return std::nullopt;
        return Picture{surface_, static_cast<std::int64_t>(surface_->seed()), nullptr};
    }

    Picture pictureWaiting(double seconds) override {
        HelperFailure failure = [this] {
            std::lock_guard lock(mutex_);
            return noPicture_;
        }();
        return FrameSignal::waiting<Picture>(
            seconds, [this] { return picture(); }, failure);
    }

    void hold() override {
        std::lock_guard lock(mutex_);
        if (holdFailure_) throw *holdFailure_;
        ++holds_;
    }

    void letGo() override {
        std::lock_guard lock(mutex_);
        ++letGos_;
    }

    void close() override {
        stopAnimating();
        signal_.forgetAll();
        std::lock_guard lock(mutex_);
        ++closes_;
    }

    // Drawing

    /// Moves a square one step and publishes the picture.
    void redraw() {
        {
            std::lock_guard lock(drawing_);
            const int side = std::max(1, std::min(surface_->width(), surface_->height()) / 8);
            drawSquare(squareX_, squareY_, side, background(squareY_));
            squareX_ = (squareX_ + 7) % std::max(1, surface_->width() - side);
            squareY_ = (squareY_ + 13) % std::max(1, surface_->height() - side);
            drawSquare(squareX_, squareY_, side, 0xFF'FF'40'20u + (step_++ & 0xFF));
        }
        publish();
    }

    /// Lets the caller draw the whole surface, then publishes the picture.
    void paint(const std::function<void(const Surface&)>& painter) {
        {
            std::lock_guard lock(drawing_);
            painter(*surface_);
        }
        publish();
    }

    /// Redraws `fps` times a second on a thread of its own until `stopAnimating`.
    void animate(double fps) {
        stopAnimating();
        animator_ = std::jthread([this, fps](std::stop_token stop) {
            const auto interval = std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double>(1.0 / fps));
            auto next = Clock::now();
            std::mutex sleepMutex;
            std::condition_variable_any sleeper;
            while (!stop.stop_requested()) {
                redraw();
                next += interval;
                std::unique_lock lock(sleepMutex);
                sleeper.wait_until(lock, stop, next, [] { return false; });
            }
        });
    }

    void stopAnimating() {
        if (animator_.joinable()) {
            animator_.request_stop();
            animator_.join();
        }
    }

    // Settings and counters

    void setNoPictureFailure(HelperFailure failure) {
        std::lock_guard lock(mutex_);
        noPicture_ = std::move(failure);
    }
    void failHolds(std::optional<HelperFailure> failure) {
        std::lock_guard lock(mutex_);
        holdFailure_ = std::move(failure);
    }

    int holds() const {
        std::lock_guard lock(mutex_);
        return holds_;
    }
    int letGos() const {
        std::lock_guard lock(mutex_);
        return letGos_;
    }
    int closes() const {
        std::lock_guard lock(mutex_);
        return closes_;
    }
    std::size_t observerCount() const { return signal_.observerCount(); }
    int published() const {
        std::lock_guard lock(mutex_);
        return published_;
    }
    const Surface& surface() const { return *surface_; }

    /// When the picture of `version` was published, if it was among the last few thousand.
    std::optional<Clock::time_point> publishedAt(std::int64_t version) const {
        std::lock_guard lock(mutex_);
        if (auto found = publishTimes_.find(version); found != publishTimes_.end()) {
            return found->second;
        }
        return std::nullopt;
    }

    /// A 1179x2556 screen with bands of "text" on a gradient, so that scalers and encoders
    /// have real work; the moving square of `redraw` and `animate` still changes it.
    static std::shared_ptr<SyntheticPixelSource> phoneScreen() {
        auto source = std::make_shared<SyntheticPixelSource>(1179, 2556);
        source->paint([](const Surface& surface) {
            for (int y = 0; y < surface.height(); ++y) {
                std::uint8_t* row = surface.mutablePixels() + y * surface.bytesPerRow();
                for (int x = 0; x < surface.width(); ++x) {
                    const bool text = ((y / 40) % 3 == 1) && ((x * 7 + y * 3) % 23 < 9);
                    row[x * 4 + 0] = text ? 20 : static_cast<std::uint8_t>(200 + (y * 55) / 2556);
                    row[x * 4 + 1] = text ? 20 : static_cast<std::uint8_t>(180 + (x * 60) / 1179);
                    row[x * 4 + 2] = text ? 30 : static_cast<std::uint8_t>(120 + ((x ^ y) & 31));
                    row[x * 4 + 3] = 255;
                }
            }
        });
        return source;
    }

  private:
    FrameSignal& signal() override { return signal_; }

    static std::uint32_t background(int y) {
        return 0xFF'20'60'A0u + static_cast<unsigned>(y % 64);
    }

    void fillBackground() {
        for (int y = 0; y < surface_->height(); ++y) {
            auto* row = reinterpret_cast<std::uint32_t*>(surface_->mutablePixels() +
                                                         y * surface_->bytesPerRow());
            std::fill(row, row + surface_->width(), background(y));
        }
    }

    void drawSquare(int x, int y, int side, std::uint32_t colour) {
        const int right = std::min(surface_->width(), x + side);
        const int bottom = std::min(surface_->height(), y + side);
        for (int row = y; row < bottom; ++row) {
            auto* pixels = reinterpret_cast<std::uint32_t*>(surface_->mutablePixels() +
                                                            row * surface_->bytesPerRow());
            std::fill(pixels + x, pixels + right, colour);
        }
    }

    void publish() {
        surface_->bumpSeed();
        {
            std::lock_guard lock(mutex_);
            drawn_ = true;
            ++published_;
            publishTimes_[surface_->seed()] = Clock::now();
            if (publishTimes_.size() > 4096) publishTimes_.erase(publishTimes_.begin());
        }
        signal_.async([this] { signal_.notify(); });
    }

    FrameSignal signal_;
    std::shared_ptr<Surface> surface_;
    std::mutex drawing_;
    int squareX_ = 0;
    int squareY_ = 0;
    unsigned step_ = 0;

    mutable std::mutex mutex_;
    bool drawn_ = false;
    HelperFailure noPicture_{"the synthetic screen has not drawn yet", 503};
    std::optional<HelperFailure> holdFailure_;
    int holds_ = 0;
    int letGos_ = 0;
    int closes_ = 0;
    int published_ = 0;
    std::map<std::int64_t, Clock::time_point> publishTimes_;

    std::jthread animator_;
};

}  // namespace tavrel::testing
