// What two fingers do to a picture, the way a phone's pinch and rotation gestures do: the
// distance between the fingers scales it, the angle between them turns it, and the point of the
// picture under their midpoint stays under it. Pure state in screen points; the model feeds it
// the fingers and the renderer and the element tree read it.
#pragma once

#include <string>

#include "SimulatedPlatform/Device/simdevice/Element.hpp"

namespace tavrel::sim {

class PinchGesture {
  public:
    static constexpr double minZoom = 1;
    static constexpr double maxZoom = 4;

    struct Point {
        double x = 0, y = 0;
    };

    /// The picture lies in `frame`; at zoom 1, angle 0 and no offset it fills it.
    explicit PinchGesture(Rect frame) : frame_(frame) {}

    /// Two fingers came down at `a` and `b`: the gesture starts from the picture as it is.
    void begin(Point a, Point b);
    /// The fingers are now at `a` and `b`. Returns whether the picture changed. Ignored unless
    /// a gesture is under way or when the fingers meet at one point.
    bool move(Point a, Point b);
    /// A finger lifted: the picture stays as it is.
    void end() { active_ = false; }
    bool active() const { return active_; }

    /// Scale, 1 to 4.
    double zoom() const { return zoom_; }
    /// Turn in degrees, clockwise on the screen, in (-180, 180].
    double angleDegrees() const;
    /// Where the picture's centre is drawn, relative to the frame's centre.
    Point offset() const { return offset_; }
    const Rect& frame() const { return frame_; }

    /// "Zoom: 2.3x" and "Angle: 30°", as the element tree reports them.
    std::string zoomLabel() const;
    std::string angleLabel() const;

  private:
    Rect frame_;
    double zoom_ = 1;
    double angle_ = 0;  // radians, unbounded while turning
    Point offset_;

    bool active_ = false;
    double startDistance_ = 0, startDirection_ = 0, startZoom_ = 1, startAngle_ = 0;
    Point anchor_;  // the picture's point under the fingers' midpoint, unscaled, unturned
};

}  // namespace tavrel::sim
