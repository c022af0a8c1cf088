#include "SimulatedPlatform/Device/simdevice/PinchGesture.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace tavrel::sim {
namespace {

// Fingers closer than this give no direction to turn by nor a distance to scale by.
constexpr double closest = 1;

PinchGesture::Point midpoint(PinchGesture::Point a, PinchGesture::Point b) {
    return {(a.x + b.x) / 2, (a.y + b.y) / 2};
}

}  // namespace

void PinchGesture::begin(Point a, Point b) {
    const double distance = std::hypot(b.x - a.x, b.y - a.y);
    active_ = distance >= closest;
    if (!active_) return;
    startDistance_ = distance;
    startDirection_ = std::atan2(b.y - a.y, b.x - a.x);
    startZoom_ = zoom_;
    startAngle_ = angle_;
    // Undo the picture's placement for the midpoint: screen = centre + offset + zoom * R(angle)
    // * (picture - centre), so picture = centre + R(-angle) * (screen - centre - offset) / zoom.
    const Point m = midpoint(a, b);
    const double cx = frame_.x + frame_.width / 2, cy = frame_.y + frame_.height / 2;
    const double dx = (m.x - cx - offset_.x) / zoom_, dy = (m.y - cy - offset_.y) / zoom_;
    const double c = std::cos(-angle_), s = std::sin(-angle_);
    anchor_ = {dx * c - dy * s, dx * s + dy * c};
}

bool PinchGesture::move(Point a, Point b) {
    const double distance = std::hypot(b.x - a.x, b.y - a.y);
    if (!active_ || distance < closest) return false;
    const double zoom = std::clamp(startZoom_ * distance / startDistance_, minZoom, maxZoom);
    const double angle = startAngle_ + (std::atan2(b.y - a.y, b.x - a.x) - startDirection_);
    // The anchor goes where the midpoint now is.
    const Point m = midpoint(a, b);
    const double cx = frame_.x + frame_.width / 2, cy = frame_.y + frame_.height / 2;
    const double c = std::cos(angle), s = std::sin(angle);
    const Point offset{m.x - cx - zoom * (anchor_.x * c - anchor_.y * s),
                       m.y - cy - zoom * (anchor_.x * s + anchor_.y * c)};
    const bool changed =
        zoom != zoom_ || angle != angle_ || offset.x != offset_.x || offset.y != offset_.y;
    zoom_ = zoom;
    angle_ = angle;
    offset_ = offset;
    return changed;
}

double PinchGesture::angleDegrees() const {
    double degrees = std::remainder(angle_ * 180 / M_PI, 360.0);
    if (degrees <= -180) degrees += 360;
    return degrees;
}

std::string PinchGesture::zoomLabel() const {
    char text[32];
    std::snprintf(text, sizeof text, "Zoom: %.1fx", zoom_);
    return text;
}

std::string PinchGesture::angleLabel() const {
    long degrees = std::lround(angleDegrees());
    if (degrees == -180) degrees = 180;
    return "Angle: " + std::to_string(degrees) + "°";
}

}  // namespace tavrel::sim
