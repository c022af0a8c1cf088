#include "HelperCore/Video/FrameScheduler.hpp"

#include <algorithm>
#include <ostream>

namespace tavrel {

bool Decision::operator==(const Decision& other) const {
    if (kind != other.kind) return false;
    switch (kind) {
        case Kind::encode:
            return key == other.key;
        case Kind::wait:
            return until == other.until;
        case Kind::idle:
            return true;
    }
    return false;
}

std::ostream& operator<<(std::ostream& stream, const Decision& decision) {
    switch (decision.kind) {
        case Decision::Kind::encode:
            return stream << "encode(key: " << (decision.key ? "true" : "false") << ")";
        case Decision::Kind::wait:
            return stream << "wait(until: " << decision.until << ")";
        case Decision::Kind::idle:
            return stream << "idle";
    }
    return stream;
}

FrameScheduler::FrameScheduler(std::int64_t fps, double keyFrameInterval, bool idleKeyFrames)
    : minimumInterval(1.0 / static_cast<double>(std::max<std::int64_t>(fps, 1))),
      keyFrameInterval(keyFrameInterval),
      idleKeyFrames(idleKeyFrames) {}

Decision FrameScheduler::frameChanged(double t) {
    dirty = true;
    return tick(t);
}

double FrameScheduler::nextAllowed() const {
    const double gap = *lastEncode + shortestGap * minimumInterval;
    return due ? std::max(gap, *due - minimumInterval) : gap;
}

Decision FrameScheduler::tick(double t) const {
    if (!lastEncode || !lastKey) return Decision::encode(true);
    const double next = nextAllowed();
    // False when either side is NaN: such a time never encodes.
    const bool ready = t >= next;
    const bool keyDue = t - *lastKey >= keyFrameInterval;
    if (dirty) {
        if (!ready) return Decision::wait(next);
        return Decision::encode(keyWanted || keyDue);
    }
    // A still screen: only a key frame is worth sending (one asked for, or an idle one when due),
    // and never faster than the frame rate, however short the key-frame interval.
    if (keyWanted || (idleKeyFrames && keyDue)) {
        return ready ? Decision::encode(true) : Decision::wait(next);
    }
    return Decision::idle();
}

void FrameScheduler::encoded(double t, bool key) {
    // Capped so that the schedule never runs far ahead of the encodes. std::max and std::min
    // keep their first argument against a NaN.
    due = due ? std::min(std::max(*due, t), t + minimumInterval) + minimumInterval
              : t + minimumInterval;
    lastEncode = t;
    dirty = false;
    if (key) {
        lastKey = t;
        keyWanted = false;
    }
}

}  // namespace tavrel
