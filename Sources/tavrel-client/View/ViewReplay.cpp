#include "tavrel-client/View/ViewReplay.hpp"

#include <chrono>
#include <fstream>
#include <sstream>

#include "HelperCore/Base/HelperFailure.hpp"
#include "tavrel-client/ClientReplay.hpp"
#include "tavrel-client/ClientRequests.hpp"
#include "tavrel-client/ClientSocket.hpp"
#include "tavrel-client/PrivateFolder.hpp"

namespace tavrel::client {

ViewReplay::ViewReplay(std::string socket, double timeoutS)
    : socket_(std::move(socket)), timeoutS_(timeoutS) {}

ViewReplay::~ViewReplay() {
    if (thread_.joinable()) thread_.join();
}

bool ViewReplay::start(OnDone onDone) {
    std::lock_guard guard(lock_);
    if (state_ == State::saving) return false;
    // The thread of the save before has handed its result over and is ending.
    if (thread_.joinable()) thread_.join();
    state_ = State::saving;
    thread_ = std::jthread([this, onDone = std::move(onDone)] {
        auto result = save();
        {
            std::lock_guard guard(lock_);
            state_ = State::idle;
        }
        onDone(std::move(result));
    });
    return true;
}

ViewReplay::Result ViewReplay::save() const {
    try {
        PrivateFolder folder("tavrel-view-");
        const Frame reply = [this] {
            ClientSocket socket(socket_);
            const auto deadline = ClientSocket::Clock::now() +
                                  std::chrono::duration_cast<ClientSocket::Clock::duration>(
                                      std::chrono::duration<double>(timeoutS_));
            return socket.answer(socket.request(ClientRequests::replay()), deadline);
        }();
        const auto movie = folder.path() / "replay.mp4";
        ClientReplay::save(reply, movie.string(), std::nullopt);
        std::ifstream file(movie, std::ios::binary);
        std::ostringstream bytes;
        bytes << file.rdbuf();
        if (!file) throw HelperFailure("cannot read the rendered replay", 502);
        return {true, std::move(bytes).str(), "", 200};
    } catch (const std::exception& error) {
        const auto failure = HelperFailure::from(error);
        return {false, "", failure.message(), failure.status()};
    }
}

}  // namespace tavrel::client
