#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <utility>

namespace tavrel {

/// The frames of one output: when each is shown (`output`) and which moment of the recording
/// it shows (`source`), both in seconds. Each tick is worked out when it is asked for, so a
/// long still stretch costs no memory.
struct Ticks {
    struct Tick {
        double output = 0;
        double source = 0;
        bool operator==(const Tick&) const = default;
    };

    /// The longest recording a render takes, in seconds: an hour, which at the slowest speed
    /// and the highest frame rate is 432,000 output frames.
    static constexpr double longestRecording = 3600;

    std::int64_t count = 1;
    std::int64_t fps = 1;
    double duration = 0;
    double speed = 1;

    /// Playing time of the output.
    double length() const { return static_cast<double>(count) / static_cast<double>(fps); }

    /// Tick `index`, 0 to count - 1.
    Tick at(std::int64_t index) const;

    /// ceil(duration / speed x fps) ticks, at least one, sources never past `duration`. Without
    /// a positive duration, speed and fps: the one tick (0, 0) at max(fps, 1). Throws
    /// `HelperFailure` 400 for a duration above `longestRecording` (infinity included), before
    /// any tick is made.
    static Ticks make(double duration, double speed, std::int64_t fps);

    class Iterator {
      public:
        using iterator_category = std::input_iterator_tag;
        using value_type = Tick;
        using difference_type = std::ptrdiff_t;
        using pointer = void;
        using reference = Tick;

        Iterator() = default;
        Iterator(const Ticks* ticks, std::int64_t index) : ticks_(ticks), index_(index) {}
        Tick operator*() const { return ticks_->at(index_); }
        Iterator& operator++() {
            ++index_;
            return *this;
        }
        Iterator operator++(int) {
            Iterator before = *this;
            ++index_;
            return before;
        }
        bool operator==(const Iterator& other) const { return index_ == other.index_; }
        std::int64_t index() const { return index_; }

      private:
        const Ticks* ticks_ = nullptr;
        std::int64_t index_ = 0;
    };

    Iterator begin() const { return {this, 0}; }
    Iterator end() const { return {this, count}; }

    bool operator==(const Ticks&) const = default;
};

/// An output size of even sides for a source, never wider than it: `width` caps the width,
/// the height follows the aspect of the unrounded width. (2, 2) for an empty source.
std::pair<int, int> renderedSize(int sourceWidth, int sourceHeight,
                                 std::optional<int> width = std::nullopt);

}  // namespace tavrel
