#include "HelperCore/Server/Connection.hpp"

#include <exception>
#include <string>
#include <vector>

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperCore/Base/JSON.hpp"
#include "HelperCore/Concurrency/TaskGroup.hpp"
#include "HelperCore/Server/FrameWriter.hpp"
#include "HelperCore/Server/Router.hpp"
#include "HelperCore/Server/Wire.hpp"

namespace tavrel {

Connection::Connection(std::shared_ptr<ByteChannel> channel, Router& router, Log log,
                       TaskPool& pool)
    : channel_(std::move(channel)), router_(router), log_(std::move(log)), pool_(pool) {}

void Connection::run(std::stop_token stop) {
    // The writer outlives the children: the group below is declared after it, so its
    // destructor (cancel and wait) runs first should anything unexpected escape.
    const FrameWriter writer(channel_);
    const Router::Send send = [&writer](const Frame& frame) { writer.send(frame); };
    FrameDecoder decoder;
    {
        TaskGroup answers(pool_, stop);
        for (;;) {
            std::optional<Bytes> bytes;
            try {
                bytes = channel_->read();
            } catch (...) {
                break;  // the client is unreachable: nothing to tell it, nothing to log
            }
            if (!bytes) break;

            std::vector<Frame> frames;
            try {
                frames = decoder.push(*bytes);
            } catch (const std::exception& error) {
                log_.warning([&] {
                    return std::string("closing a connection that sent what is not frames: ") +
                           error.what();
                });
                break;
            }

            for (auto& frame : frames) {
                if (frame.kind != FrameKind::request) continue;
                std::optional<Request> request;
                try {
                    request = Request::decode(frame.json);
                } catch (...) {
                    const auto failure = HelperFailure::fromCurrentException();
                    const std::string json = JSON::encode(failure);
                    try {
                        writer.send(Frame{
                            FrameKind::failure, frame.id, Bytes(json.begin(), json.end()), {}});
                    } catch (...) {
                    }
                    continue;
                }
                if (request->inOrder()) {
                    router_.answer(frame.id, *request, send, stop);
                } else {
                    answers.spawn([this, &send, id = frame.id,
                                   request = std::move(*request)](std::stop_token answerStop) {
                        router_.answer(id, request, send, answerStop);
                    });
                }
            }
        }
        answers.cancelAll();
        try {
            answers.waitAll();
        } catch (...) {
        }
    }
    channel_->close();
}

}  // namespace tavrel
