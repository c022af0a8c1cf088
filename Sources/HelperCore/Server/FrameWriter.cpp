#include "HelperCore/Server/FrameWriter.hpp"

#include <cerrno>
#include <system_error>

#include "HelperCore/Base/HelperFailure.hpp"

namespace tavrel {

bool FrameWriter::send(const Frame& frame) {
    std::lock_guard lock(mutex_);
    if (state_ == State::closed) {
        throw HelperFailure("writing the socket: " + std::generic_category().message(EPIPE), 502);
    }
    if (state_ == State::failed) throw HelperFailure(failure_, 502);
    if (frame.kind == FrameKind::chunk && unsent_.load(std::memory_order_relaxed) > chunkLimit_) {
        return false;
    }
    Bytes encoded = Wire::encode(frame);
    std::size_t written = 0;
    if (queue_.empty()) {
        try {
            written = sink_->writeSome(encoded);
        } catch (const HelperFailure& failure) {
            fail(failure.message());
            throw;
        }
        if (written == encoded.size()) return true;
        offset_ = written;
    }
    unsent_.fetch_add(encoded.size() - written, std::memory_order_relaxed);
    queue_.push_back(std::move(encoded));
    return true;
}

void FrameWriter::flush() {
    std::lock_guard lock(mutex_);
    if (state_ != State::open) return;
    try {
        writeQueued();
    } catch (const HelperFailure& failure) {
        fail(failure.message());
    }
}

void FrameWriter::writeQueued() {
    while (!queue_.empty()) {
        const Bytes& front = queue_.front();
        const std::size_t written =
            sink_->writeSome(std::span(front).subspan(offset_, front.size() - offset_));
        if (written == 0) return;
        unsent_.fetch_sub(written, std::memory_order_relaxed);
        offset_ += written;
        if (offset_ == front.size()) {
            queue_.pop_front();
            offset_ = 0;
        }
    }
}

void FrameWriter::fail(std::string message) {
    state_ = State::failed;
    failure_ = std::move(message);
    queue_.clear();
    offset_ = 0;
    unsent_.store(0, std::memory_order_relaxed);
}

void FrameWriter::close() {
    std::lock_guard lock(mutex_);
    state_ = State::closed;
    queue_.clear();
    offset_ = 0;
    unsent_.store(0, std::memory_order_relaxed);
}

FrameWriter::State FrameWriter::state() const {
    std::lock_guard lock(mutex_);
    return state_;
}

}  // namespace tavrel
