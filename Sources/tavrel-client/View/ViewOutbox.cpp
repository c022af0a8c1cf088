#include "tavrel-client/View/ViewOutbox.hpp"

#include <algorithm>

#include "HelperCore/Video/AnnexB.hpp"

namespace tavrel::client {

bool ViewOutbox::isKeyFrame(const Bytes& unit) {
    const auto units = AnnexB::nalUnitViews(unit);
    return !units.empty() && AnnexB::type(units.front()) == 7;
}

bool ViewOutbox::text(std::string message) {
    if (textBytes_ + message.size() > maxTextBytes_) return false;
    textBytes_ += message.size();
    items_.push_back({false, std::move(message)});
    return true;
}

ViewOutbox::Taken ViewOutbox::video(const Bytes& unit) {
    const bool key = isKeyFrame(unit);
    if (video_ == Video::waitingForKeyFrame && !key) return Taken::skipped;
    if (videoBytes_ + unit.size() > maxVideoBytes_) {
        std::erase_if(items_, [](const Item& item) { return item.binary; });
        videoBytes_ = 0;
        // A key frame needs nothing before it; it starts the page afresh if it fits alone.
        if (!key || unit.size() > maxVideoBytes_) {
            video_ = Video::waitingForKeyFrame;
            return Taken::behind;
        }
    }
    video_ = Video::flowing;
    videoBytes_ += unit.size();
    items_.push_back({true, std::string(unit.begin(), unit.end()), ++serial_});
    return Taken::queued;
}

std::optional<ViewOutbox::Item> ViewOutbox::next() {
    if (items_.empty()) return std::nullopt;
    Item item = std::move(items_.front());
    items_.pop_front();
    (item.binary ? videoBytes_ : textBytes_) -= item.bytes.size();
    return item;
}

}  // namespace tavrel::client
