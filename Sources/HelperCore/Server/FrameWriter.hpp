#pragma once

#include <memory>

#include "HelperCore/Server/Device.hpp"
#include "HelperCore/Server/Wire.hpp"

namespace tavrel {

/// The one way frames of a connection reach its client: each frame is encoded whole and handed
/// to a single `ByteChannel::write`, so frames from concurrent answers never cut into each other
/// on the wire. The writer keeps no lock of its own while writing: the channel already keeps
/// every write whole and starts them in the order they were issued.
///
/// Threads: `send` may be called from any task of the connection at once.
class FrameWriter {
  public:
    explicit FrameWriter(std::shared_ptr<ByteChannel> channel) : channel_(std::move(channel)) {}

    /// Returns once the frame is written; passes the channel's failure on.
    void send(const Frame& frame) const;

  private:
    std::shared_ptr<ByteChannel> channel_;
};

}  // namespace tavrel
