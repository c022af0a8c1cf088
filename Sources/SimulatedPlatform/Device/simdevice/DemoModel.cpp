#include "SimulatedPlatform/Device/simdevice/DemoModel.hpp"

#include <algorithm>
#include <cmath>

#include "SimulatedPlatform/Device/DeviceLink/DeviceLink.hpp"

namespace tavrel::sim {
namespace {

constexpr uint32_t consumerPage = 0x0C;
constexpr uint32_t homeUsage = 0x40;
constexpr uint32_t powerUsage = 0x30;
constexpr uint32_t voiceUsage = 0xCF;

constexpr uint32_t keyboardPage = 0x07;
constexpr uint32_t keyEnter = 40, keyDelete = 42, keySpace = 44;
constexpr uint32_t keyLeftShift = 225, keyRightShift = 229;

// A touch that travels further than this is a drag or a swipe, not a tap.
constexpr double tapSlop = 10;

const char* const appNames[] = {"Demo", "Settings", "Photos", "Camera",
                                "Maps", "Clock",    "Notes",  "Weather"};

}  // namespace

DemoLayout::DemoLayout(double widthPt, double heightPt) : width(widthPt), height(heightPt) {
    const double margin = 20;
    const double inner = width - 2 * margin;
    const double top = statusBarHeight;
    title = {margin, top + 6, inner, 44};
    button = {margin, top + 60, inner, 50};
    count = {margin, top + 118, inner, 30};
    switchRow = {margin, top + 156, inner, 44};
    switchControl = {width - margin - 51, switchRow.y + 6.5, 51, 31};
    sliderRow = {margin, top + 208, inner, 44};
    sliderTrack = {margin + 90, sliderRow.y, inner - 90, 44};
    field = {margin, top + 260, inner, 44};
    const double readouts = 120;
    photo = {margin, top + 316, inner - readouts - 12, 120};
    zoomLabel = {width - margin - readouts, photo.y + 24, readouts, 30};
    angleLabel = {zoomLabel.x, photo.y + 66, readouts, 30};
    const double listTop = photo.y + photo.height + 12;
    list = {0, listTop, width, std::max(cellHeight, height - 34 - listTop)};
    walletCard = {margin, height * 0.3, inner, std::min(inner * 0.63, height * 0.4)};
    banner = {margin, top + 4, inner, 64};

    const int columns = 4;
    const double iconSize = 64;
    const double gap = (width - columns * iconSize) / (columns + 1);
    int index = 0;
    for (const char* name : appNames) {
        const int row = index / columns, column = index % columns;
        icons_.push_back(
            {name, {gap + column * (iconSize + gap), top + 30 + row * 100, iconSize, 84}});
        ++index;
    }
}

Rect DemoLayout::cell(int row, double scroll) const {
    return {0, list.y + (row - 1) * cellHeight - scroll, width, cellHeight};
}

double DemoLayout::maxScroll() const {
    return std::max(0.0, rowCount * cellHeight - list.height);
}

DemoModel::DemoModel(double widthPt, double heightPt)
    : layout_(widthPt, heightPt), photo_(layout_.photo) {}

void DemoModel::setVolumeAt(double x) {
    const auto& track = layout_.sliderTrack;
    const double value = std::clamp((x - track.x) / track.width, 0.0, 1.0);
    if (value != volume_) {
        volume_ = value;
        changed();
    }
}

void DemoModel::touches(std::optional<Finger> one, std::optional<Finger> two) {
    const std::array<std::optional<Finger>, 2> report{one, two};
    const bool bothBefore = fingers_[0] && fingers_[1];
    int taking = 0, lone = 0;
    for (int i = 0; i < 2; ++i) {
        if (!report[i]) continue;
        ++taking;
        lone = i;
        fingers_[i].reset();
        if (report[i]->phase != 2) fingers_[i] = PinchGesture::Point{report[i]->x, report[i]->y};
    }
    if (taking == 0) return;
    const bool both = fingers_[0] && fingers_[1];
    if (!several_ && taking == 1 && !fingers_[1 - lone]) {
        single(report[lone]->phase, report[lone]->x, report[lone]->y);
        return;
    }
    if (!several_) {
        // A second finger turns the touch into a gesture of two: what the first was about to
        // do (a tap, a press) no longer happens, what it did (a scroll) stays.
        several_ = true;
        target_ = Target::none;
    }
    twoFingers(both && !bothBefore);
    if (!fingers_[0] && !fingers_[1]) several_ = false;
}

void DemoModel::twoFingers(bool landed) {
    const bool both = fingers_[0] && fingers_[1];
    if (!both) {
        photo_.end();
        return;
    }
    const auto a = *fingers_[0], b = *fingers_[1];
    if (landed) {
        // The picture takes the gesture when the fingers come down about it.
        if (screen_ == Screen::app && !wallet_ &&
            layout_.photo.contains((a.x + b.x) / 2, (a.y + b.y) / 2))
            photo_.begin(a, b);
        return;
    }
    if (screen_ != Screen::app || wallet_) {
        photo_.end();
        return;
    }
    if (photo_.move(a, b)) changed();
}

void DemoModel::single(int phase, double x, double y) {
    if (phase == 0) {
        target_ = Target::none;
        startX_ = x;
        startY_ = y;
        startScroll_ = scroll_;
        moved_ = false;
        if (screen_ == Screen::locked && !wallet_) return;
        if (wallet_) {
            target_ = Target::wallet;
        } else if (screen_ == Screen::home) {
            const auto& icons = layout_.icons();
            for (size_t i = 0; i < icons.size(); ++i) {
                if (icons[i].frame.contains(x, y)) {
                    target_ = Target::icon;
                    targetIndex_ = static_cast<int>(i);
                }
            }
        } else if (layout_.sliderRow.contains(x, y)) {
            target_ = Target::slider;
            if (layout_.sliderTrack.contains(x, y)) setVolumeAt(x);
        } else if (layout_.list.contains(x, y)) {
            target_ = Target::list;
        } else if (layout_.button.contains(x, y)) {
            target_ = Target::button;
        } else if (layout_.switchRow.contains(x, y)) {
            target_ = Target::wifi;
        } else if (layout_.field.contains(x, y)) {
            target_ = Target::field;
        }
        return;
    }
    if (target_ == Target::none) return;
    if (std::hypot(x - startX_, y - startY_) > tapSlop) moved_ = true;
    if (target_ == Target::slider) setVolumeAt(x);
    if (target_ == Target::list && moved_) {
        const double scroll = std::clamp(startScroll_ - (y - startY_), 0.0, layout_.maxScroll());
        if (scroll != scroll_) {
            scroll_ = scroll;
            changed();
        }
    }
    if (phase != 2) return;
    const Target target = target_;
    target_ = Target::none;
    if (moved_) return;
    switch (target) {
        case Target::button:
            if (layout_.button.contains(x, y)) {
                ++taps_;
                changed();
            }
            break;
        case Target::wifi:
            if (layout_.switchRow.contains(x, y)) {
                wifi_ = !wifi_;
                changed();
            }
            break;
        case Target::field:
            if (layout_.field.contains(x, y) && !editing_) {
                editing_ = true;
                changed();
            }
            break;
        case Target::list:
            for (int row = 1; row <= DemoLayout::rowCount; ++row) {
                if (layout_.cell(row, scroll_).contains(x, y) && layout_.list.contains(x, y)) {
                    if (selectedRow_ != row) {
                        selectedRow_ = row;
                        changed();
                    }
                }
            }
            break;
        case Target::icon:
            if (layout_.icons()[targetIndex_].frame.contains(x, y) &&
                layout_.icons()[targetIndex_].name == "Demo") {
                screen_ = Screen::app;
                changed();
            }
            break;
        case Target::wallet:
            wallet_ = false;
            changed();
            break;
        case Target::slider:
        case Target::none:
            break;
    }
}

void DemoModel::power(double nowS) {
    if (lastPower_ && nowS - *lastPower_ < doublePressS) {
        // The second press of a double press: undo what the first did, show Wallet.
        lastPower_.reset();
        if (screen_ == Screen::locked && screenBeforePower_ != Screen::locked) {
            screen_ = beforeLock_;
        } else if (screen_ != Screen::locked && screenBeforePower_ == Screen::locked) {
            beforeLock_ = screen_;
            screen_ = Screen::locked;
        }
        wallet_ = true;
        changed();
        return;
    }
    lastPower_ = nowS;
    screenBeforePower_ = screen_;
    wallet_ = false;
    if (screen_ == Screen::locked) {
        screen_ = beforeLock_;
    } else {
        beforeLock_ = screen_;
        screen_ = Screen::locked;
        editing_ = false;
        target_ = Target::none;
    }
    changed();
}

void DemoModel::button(uint32_t usagePage, uint32_t usage, bool down, double nowS) {
    if (usagePage != consumerPage) return;
    if (usage == voiceUsage) {
        if (listening_ != down) {
            listening_ = down;
            changed();
        }
        return;
    }
    if (!down) return;
    if (usage == powerUsage) {
        power(nowS);
    } else if (usage == homeUsage) {
        if (screen_ == Screen::locked) return;  // the lock screen wants power, not home
        if (screen_ != Screen::home || wallet_) {
            screen_ = Screen::home;
            wallet_ = false;
            editing_ = false;
            target_ = Target::none;
            changed();
        }
    }
}

void DemoModel::key(uint32_t usage, bool down) {
    if (usage == keyLeftShift) shiftLeft_ = down;
    if (usage == keyRightShift) shiftRight_ = down;
    if (!down || !editing_ || screen_ != Screen::app || wallet_) return;
    char typed = 0;
    if (usage >= 4 && usage <= 29) {
        typed = static_cast<char>((shifted() ? 'A' : 'a') + (usage - 4));
    } else if (usage >= 30 && usage <= 38) {
        typed = static_cast<char>('1' + (usage - 30));
    } else if (usage == 39) {
        typed = '0';
    } else if (usage == keySpace) {
        typed = ' ';
    } else if (usage == keyDelete) {
        if (!name_.empty()) {
            name_.pop_back();
            changed();
        }
        return;
    } else if (usage == keyEnter) {
        editing_ = false;
        changed();
        return;
    }
    if (typed && name_.size() < maxNameLength) {
        name_.push_back(typed);
        changed();
    }
}

void DemoModel::setClock(const std::string& hhmm) {
    if (hhmm != clock_) {
        clock_ = hhmm;
        changed();
    }
}

void DemoModel::setAnimating(bool on) {
    if (on != animating_) {
        animating_ = on;
        changed();
    }
}

void DemoModel::stepAnimation() {
    if (!animating_) return;
    ++animationStep_;
    changed();
}

std::optional<Element> DemoModel::frontmost() const {
    Element application;
    application.role = "AXApplication";
    application.frame = {0, 0, layout_.width, layout_.height};
    auto text = [](std::string label, Rect frame, uint64_t extra = 0) {
        Element element;
        element.role = "AXStaticText";
        element.label = std::move(label);
        element.frame = frame;
        element.traits = traits::staticText | extra;
        return element;
    };

    if (wallet_) {
        application.label = application.title = "Wallet";
        auto card = text("Wallet", layout_.walletCard);
        card.identifier = "wallet-card";
        application.children.push_back(std::move(card));
    } else if (screen_ == Screen::locked) {
        return std::nullopt;
    } else if (screen_ == Screen::home) {
        application.label = application.title = "Home screen";
        for (const auto& icon : layout_.icons()) {
            Element element;
            element.role = "AXButton";
            element.label = icon.name;
            element.frame = icon.frame;
            element.traits = traits::button | traits::launchIcon;
            application.children.push_back(std::move(element));
        }
    } else {
        application.label = application.title = "Demo";
        auto& children = application.children;
        children.push_back(text("Demo", layout_.title, traits::header));

        Element button;
        button.role = "AXButton";
        button.label = "Tap me";
        button.identifier = "tap-button";
        button.frame = layout_.button;
        button.traits = traits::button;
        children.push_back(std::move(button));

        auto count = text("Taps: " + std::to_string(taps_), layout_.count);
        count.identifier = "tap-count";
        children.push_back(std::move(count));

        Element wifi;
        wifi.role = "AXSwitch";
        wifi.label = "Wi-Fi";
        wifi.identifier = "wifi-switch";
        wifi.value = wifi_ ? 1.0 : 0.0;
        wifi.frame = layout_.switchRow;
        wifi.traits = traits::button | traits::toggle;
        children.push_back(std::move(wifi));

        Element slider;
        slider.role = "AXSlider";
        slider.label = "Volume";
        slider.identifier = "volume-slider";
        slider.value = volume_;
        slider.frame = layout_.sliderRow;
        slider.traits = traits::adjustable;
        children.push_back(std::move(slider));

        Element field;
        field.role = "AXTextField";
        field.label = "Name";
        field.identifier = "name-field";
        field.value = name_;
        field.frame = layout_.field;
        field.traits = traits::textEntry | (editing_ ? traits::isEditing : 0);
        children.push_back(std::move(field));

        Element photo;
        photo.role = "AXImage";
        photo.label = "Map";
        photo.identifier = "photo";
        photo.frame = layout_.photo;
        photo.traits = traits::image | traits::allowsDirectInteraction | traits::supportsZoom;
        children.push_back(std::move(photo));
        auto zoom = text(photo_.zoomLabel(), layout_.zoomLabel, traits::updatesFrequently);
        zoom.identifier = "zoom-label";
        children.push_back(std::move(zoom));
        auto angle = text(photo_.angleLabel(), layout_.angleLabel, traits::updatesFrequently);
        angle.identifier = "angle-label";
        children.push_back(std::move(angle));

        Element table;
        table.role = "AXTable";
        table.identifier = "row-list";
        table.frame = layout_.list;
        table.traits = traits::scrollable;
        for (int row = 1; row <= DemoLayout::rowCount; ++row) {
            const Rect frame = layout_.cell(row, scroll_);
            if (!frame.intersects(layout_.list)) continue;  // scrolled out of sight
            Element cell;
            cell.role = "AXCell";
            cell.label = "Row " + std::to_string(row);
            cell.identifier = "row-" + std::to_string(row);
            cell.frame = frame;
            cell.traits = traits::button | (row == selectedRow_ ? traits::selected : 0);
            table.children.push_back(std::move(cell));
        }
        children.push_back(std::move(table));
    }
    if (listening_) {
        auto banner = text("Listening…", layout_.banner, traits::updatesFrequently);
        banner.identifier = "listening-banner";
        application.children.push_back(std::move(banner));
    }
    return application;
}

}  // namespace tavrel::sim
