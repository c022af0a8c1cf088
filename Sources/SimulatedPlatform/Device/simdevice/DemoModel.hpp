// What the simulated iPhone shows and how it reacts: the Demo app, the home screen, the
// lock screen and the overlays (voice banner, Wallet card). Pure state, no drawing and
// no process: the device applies input here, draws what it reads from here, and answers
// accessibility requests from `frontmost()`.
//
// Coordinates are screen points from the top-left corner. Not thread-safe: the device
// uses it from its one main thread.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "SimulatedPlatform/Device/simdevice/Element.hpp"
#include "SimulatedPlatform/Device/simdevice/PinchGesture.hpp"

namespace tavrel::sim {

enum class Screen { app, home, locked };

/// Where things are, for a screen of a given size (shared by drawing, hit testing and the
/// accessibility tree so that they never disagree).
struct DemoLayout {
    explicit DemoLayout(double widthPt, double heightPt);

    static constexpr double statusBarHeight = 44;
    static constexpr double cellHeight = 44;
    static constexpr int rowCount = 20;

    double width, height;
    Rect title, button, count, switchRow, switchControl, sliderRow, sliderTrack, field, list;
    /// The picture to pinch and its two readouts beside it.
    Rect photo, zoomLabel, angleLabel;
    Rect walletCard, banner;

    /// The cell of row `row` (1-based) with the list scrolled by `scroll` points.
    Rect cell(int row, double scroll) const;
    double maxScroll() const;

    struct Icon {
        std::string name;
        Rect frame;  // icon and its caption
    };
    const std::vector<Icon>& icons() const { return icons_; }

  private:
    std::vector<Icon> icons_;
};

class DemoModel {
  public:
    /// Time between the two presses of a power double press.
    static constexpr double doublePressS = 0.4;
    static constexpr size_t maxNameLength = 64;

    DemoModel(double widthPt, double heightPt);

    /// One finger's part in a digitizer report.
    struct Finger {
        int phase = 0;  // 0 start, 1 move, 2 end
        double x = 0, y = 0;
    };

    // Input. `nowS` is any monotonic time in seconds.
    /// A report of one finger alone (finger 0).
    void touch(int phase, double x, double y) { touches(Finger{phase, x, y}, std::nullopt); }
    /// A digitizer report: each finger that takes part in it. One finger alone drives the
    /// screen as a single touch; a second finger cancels that touch, and two fingers that come
    /// down about the picture pinch and turn it until one lifts.
    void touches(std::optional<Finger> one, std::optional<Finger> two);
    void button(uint32_t usagePage, uint32_t usage, bool down, double nowS);
    void key(uint32_t usage, bool down);
    void setClock(const std::string& hhmm);
    void setAnimating(bool on);
    void stepAnimation();

    /// Changes whenever anything visible changes (the device redraws when it does).
    uint64_t version() const { return version_; }

    /// The frontmost application's element tree; nothing on the lock screen.
    std::optional<Element> frontmost() const;

    const DemoLayout& layout() const { return layout_; }
    Screen screen() const { return screen_; }
    int taps() const { return taps_; }
    bool wifi() const { return wifi_; }
    double volume() const { return volume_; }
    const std::string& name() const { return name_; }
    bool editing() const { return editing_; }
    double scroll() const { return scroll_; }
    int selectedRow() const { return selectedRow_; }
    bool listening() const { return listening_; }
    bool wallet() const { return wallet_; }
    bool animating() const { return animating_; }
    uint64_t animationStep() const { return animationStep_; }
    const std::string& clock() const { return clock_; }
    bool shifted() const { return shiftLeft_ || shiftRight_; }
    const PinchGesture& photo() const { return photo_; }

  private:
    enum class Target { none, button, wifi, slider, field, list, icon, wallet };

    void changed() { ++version_; }
    void single(int phase, double x, double y);
    void twoFingers(bool landed);
    void setVolumeAt(double x);
    void power(double nowS);

    DemoLayout layout_;
    uint64_t version_ = 1;
    Screen screen_ = Screen::app;
    Screen beforeLock_ = Screen::app;
    int taps_ = 0;
    bool wifi_ = false;
    double volume_ = 0.5;
    std::string name_;
    bool editing_ = false;
    double scroll_ = 0;
    int selectedRow_ = 0;
    bool listening_ = false;
    bool wallet_ = false;
    bool animating_ = false;
    uint64_t animationStep_ = 0;
    std::string clock_ = "09:41";
    bool shiftLeft_ = false, shiftRight_ = false;

    // The fingers down, and whether a second one has made this touch a gesture of two (which
    // lasts until every finger has lifted).
    std::array<std::optional<PinchGesture::Point>, 2> fingers_;
    bool several_ = false;
    PinchGesture photo_;

    // The single touch under way.
    Target target_ = Target::none;
    int targetIndex_ = 0;
    double startX_ = 0, startY_ = 0, startScroll_ = 0;
    bool moved_ = false;

    // The previous power press, for double presses.
    std::optional<double> lastPower_;
    Screen screenBeforePower_ = Screen::app;
};

}  // namespace tavrel::sim
