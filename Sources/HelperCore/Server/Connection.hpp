#pragma once

#include <memory>
#include <stop_token>

#include "HelperCore/Base/Log.hpp"
#include "HelperCore/Concurrency/TaskPool.hpp"
#include "HelperCore/Server/Device.hpp"

namespace tavrel {

class Router;

/// Serves one accepted client for as long as it stays connected: reads bytes, cuts frames,
/// decodes requests and has the router answer them. `hid` and `hello` are answered in the
/// reading task itself, so inputs are injected strictly in the client's order and a hello holds
/// back the requests after it; every other request runs as a child task alongside the reading,
/// its frames interleaving with other answers (clients match them by id).
///
/// Threads: `run` occupies the calling task until the client is gone, then cancels and waits
/// for the child tasks and closes the channel. The router and the pool must outlive it.
class Connection {
  public:
    Connection(std::shared_ptr<ByteChannel> channel, Router& router, Log log,
               TaskPool& pool = TaskPool::shared());

    /// Returns when the client has closed, reading failed, or the client sent what is not
    /// frames (logged as a warning); never throws. A stop of `stop` cancels the answers in
    /// progress the same way the client's leaving does, once the reading ends.
    void run(std::stop_token stop = {});

  private:
    std::shared_ptr<ByteChannel> channel_;
    Router& router_;
    Log log_;
    TaskPool& pool_;
};

}  // namespace tavrel
