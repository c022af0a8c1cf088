#include "HelperCore/Server/FrameWriter.hpp"

namespace tavrel {

void FrameWriter::send(const Frame& frame) const {
    const Bytes encoded = Wire::encode(frame);
    channel_->write(encoded);
}

}  // namespace tavrel
