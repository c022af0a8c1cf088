#include "HelperPlatform/Server/SocketServer.hpp"

#include <algorithm>

#include "HelperCore/Server/Connection.hpp"

namespace tavrel {

SocketServer::SocketServer(const std::string& path, Device& device, Log log, TaskPool& pool)
    : listener_(path), router_(device), log_(std::move(log)), pool_(pool), connections_(pool) {}

SocketServer::~SocketServer() {
    stop();
}

void SocketServer::start() {
    listener_.accept([this](std::shared_ptr<ByteChannel> channel) {
        {
            std::lock_guard lock(mutex_);
            std::erase_if(channels_, [](const auto& weak) { return weak.expired(); });
            channels_.push_back(channel);
        }
        connections_.spawn([this, channel = std::move(channel)](std::stop_token stop) mutable {
            Connection(std::move(channel), router_, log_, pool_).run(stop);
        });
    });
}

void SocketServer::closeListener() {
    listener_.close();
}

void SocketServer::stop() {
    listener_.close();
    std::vector<std::weak_ptr<ByteChannel>> channels;
    {
        std::lock_guard lock(mutex_);
        channels.swap(channels_);
    }
    connections_.cancelAll();
    for (auto& weak : channels) {
        if (auto channel = weak.lock()) channel->close();
    }
    connections_.waitAll();
}

}  // namespace tavrel
