#include "HelperCore/Video/SharedStreams.hpp"

#include <algorithm>

namespace tavrel {

AsyncStream<Bytes> SharedStreams::subscribe(const Key& key, const SharedStream::Open& open) {
    for (;;) {
        std::shared_ptr<SharedStream> stream;
        bool opening = false;
        {
            std::lock_guard lock(mutex_);
            prune();
            const auto found = std::ranges::find_if(
                streams_, [&](const auto& entry) { return entry.first == key; });
            if (found != streams_.end()) stream = found->second.lock();
            if (!stream || stream->state() == SharedStream::State::stopping ||
                stream->state() == SharedStream::State::ended) {
                stream = std::make_shared<SharedStream>(limits_);
                opening = true;
                if (found != streams_.end()) {
                    found->second = stream;
                } else {
                    streams_.emplace_back(key, stream);
                }
            }
        }
        if (opening) return stream->start(open);
        // Nothing when its last subscriber left meanwhile: a new one is opened.
        if (auto subscriber = stream->subscribe()) return std::move(*subscriber);
    }
}

std::size_t SharedStreams::running() const {
    std::lock_guard lock(mutex_);
    return std::ranges::count_if(streams_, [](const auto& entry) {
        const auto stream = entry.second.lock();
        return stream && (stream->state() == SharedStream::State::starting ||
                          stream->state() == SharedStream::State::running);
    });
}

void SharedStreams::prune() {
    std::erase_if(streams_, [](const auto& entry) { return entry.second.expired(); });
}

}  // namespace tavrel
