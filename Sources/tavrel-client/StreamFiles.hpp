#pragma once

#include <memory>
#include <string>

#include "HelperCore/Base/Bytes.hpp"

namespace tavrel::client {

/// Where `tavrel-client stream` puts the access units it receives, in a form players read
/// cleanly. On the socket each chunk ends with its access-unit delimiter; a raw H.264 file wants
/// the delimiter to open the unit instead, and an MP4 wants no delimiter and length-prefixed
/// samples, which the muxer makes from the Annex B it is given.
class StreamFile {
  public:
    virtual ~StreamFile() = default;

    /// One access unit as the helper sent it, `arrivalS` seconds after the first one arrived.
    virtual void write(const Bytes& accessUnit, double arrivalS) = 0;
    /// Completes the file; a file that cannot be completed throws `HelperFailure`.
    virtual void finish() = 0;

    /// An MP4 when `path` ends in ".mp4" (remuxed, not re-encoded; `fps` is its nominal rate),
    /// else raw Annex B (`-` is standard output).
    static std::unique_ptr<StreamFile> open(const std::string& path, int fps);
};

}  // namespace tavrel::client
