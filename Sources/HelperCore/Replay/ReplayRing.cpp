#include "HelperCore/Replay/ReplayRing.hpp"

#include <algorithm>

#include "HelperCore/Video/AnnexB.hpp"
#include "HelperCore/Video/NALUnit.hpp"

namespace tavrel {
namespace {

bool isKeyFrame(const Bytes& accessUnit) {
    return std::ranges::any_of(AnnexB::nalUnitViews(accessUnit), [](AnnexB::ByteView unit) {
        return AnnexB::type(unit) == NALUnit::idrSlice;
    });
}

}  // namespace

std::size_t ReplayRing::limitFor(std::int64_t bitrate, std::int64_t seconds) {
    const auto nominal = static_cast<std::size_t>(std::max<std::int64_t>(bitrate, 0)) *
                         static_cast<std::size_t>(std::max<std::int64_t>(seconds, 0)) / 8;
    return nominal + margin;
}

ReplayRing::ReplayRing(double seconds, std::size_t byteLimit)
    : seconds_(seconds), byteLimit_(byteLimit) {}

std::size_t ReplayRing::chargeOf(const Bytes& bytes) {
    return bytes.capacity() + unitCharge;
}

bool ReplayRing::add(Bytes accessUnit, double t) {
    const bool key = isKeyFrame(accessUnit);
    accessUnit.shrink_to_fit();
    const std::size_t charge = chargeOf(accessUnit);
    auto bytes = std::make_shared<const Bytes>(std::move(accessUnit));

    std::lock_guard guard(lock_);
    if (!key && state_ == State::waiting) return true;
    if (key) groups_.emplace_back();
    state_ = State::holding;
    Group& group = groups_.back();
    group.units.push_back(Unit{t, key, std::move(bytes)});
    group.charge += charge;
    charged_ += charge;

    trimByTime(t);
    while (charged_ > byteLimit_ && groups_.size() > 1) dropOldest();
    if (charged_ > byteLimit_) {
        // One group over the whole limit: the screen outran the encoder's average. Starting
        // again at the next key frame keeps the bound and what is kept decodable.
        groups_.clear();
        charged_ = 0;
        state_ = State::waiting;
        return true;
    }
    mostCharged_ = std::max(mostCharged_, charged_);
    return false;
}

ReplayRing::Window ReplayRing::window(double now) {
    Window window;
    std::lock_guard guard(lock_);
    trimByTime(now);
    if (groups_.empty()) return window;
    window.origin = std::max(groups_.front().units.front().t, now - seconds_);
    for (const Group& group : groups_) {
        window.units.insert(window.units.end(), group.units.begin(), group.units.end());
    }
    return window;
}

void ReplayRing::trimByTime(double now) {
    const double start = now - seconds_;
    // A group is needed while the picture at the window's start is in it, i.e. until the next
    // group has started by then.
    while (groups_.size() > 1 && groups_[1].units.front().t <= start) dropOldest();
}

void ReplayRing::dropOldest() {
    charged_ -= groups_.front().charge;
    groups_.pop_front();
}

std::size_t ReplayRing::charged() const {
    std::lock_guard guard(lock_);
    return charged_;
}

std::size_t ReplayRing::mostCharged() const {
    std::lock_guard guard(lock_);
    return mostCharged_;
}

}  // namespace tavrel
