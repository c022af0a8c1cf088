#include "HelperCore/Capture/CaptureDemand.hpp"

namespace tavrel {

void CaptureDemand::hold(double now) {
    ++holders_;
    lastWanted_ = now;
}

void CaptureDemand::release(double now) {
    if (holders_ > 0) --holders_;
    lastWanted_ = now;
}

bool CaptureDemand::running(double now) const {
    if (!lastWanted_) return false;
    return holders_ > 0 || now - *lastWanted_ < lingerS_;
}

std::optional<double> CaptureDemand::idleAt() const {
    if (holders_ > 0 || !lastWanted_) return std::nullopt;
    return *lastWanted_ + lingerS_;
}

}  // namespace tavrel
