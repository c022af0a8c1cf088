#include "tavrel-client/View/ViewTrace.hpp"

#include <algorithm>

namespace tavrel::client {

double ViewTrace::ms(Clock::time_point at) {
    return std::chrono::duration<double, std::milli>(at.time_since_epoch()).count();
}

void ViewTrace::begin(std::uint64_t tag, Clock::time_point received) {
    state_ = State::tracing;
    tag_ = tag;
    received_ = received;
    answered_.reset();
    videos_.clear();
}

void ViewTrace::answered(std::uint64_t tag, Clock::time_point written, Clock::time_point answered) {
    if (state_ != State::tracing || tag != tag_) return;
    answered_.emplace(written, answered);
    // Only units the helper sent after it had the request can show what it did.
    std::erase_if(videos_, [&](const Video& video) { return video.pumped < written; });
}

void ViewTrace::queued(std::uint64_t serial, Clock::time_point pumped) {
    if (state_ != State::tracing || pumped < received_) return;
    if (answered_ && (pumped < answered_->first || !videos_.empty())) return;
    if (videos_.size() == maxVideos) {
        state_ = State::idle;
        return;
    }
    videos_.push_back({serial, pumped, std::nullopt});
}

void ViewTrace::sent(std::uint64_t serial, std::uint64_t message, Clock::time_point at) {
    if (state_ != State::tracing) return;
    auto video = std::find_if(videos_.begin(), videos_.end(),
                              [&](const Video& each) { return each.serial == serial; });
    if (video != videos_.end()) video->sent.emplace(message, at);
}

std::optional<nlohmann::json> ViewTrace::finished() {
    if (state_ != State::tracing || !answered_ || videos_.empty()) return std::nullopt;
    const Video& first = videos_.front();
    if (!first.sent) return std::nullopt;
    state_ = State::idle;
    return nlohmann::json{{"id", tag_},
                          {"received", ms(received_)},
                          {"written", ms(answered_->first)},
                          {"answered", ms(answered_->second)},
                          {"chunk", ms(first.pumped)},
                          {"sent", ms(first.sent->second)},
                          {"video", first.sent->first}};
}

}  // namespace tavrel::client
