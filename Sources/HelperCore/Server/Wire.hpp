#pragma once

// The helper's binary frames. On the wire (big-endian integers):
//
//   offset 0   4 bytes  L, the number of bytes after this field (9 + J + B)
//   offset 4   1 byte   kind (1 request, 2 reply, 3 failure, 4 chunk)
//   offset 5   4 bytes  request id
//   offset 9   4 bytes  J, the JSON part's length
//   offset 13  J bytes  JSON part
//   then       B bytes  binary part, running to the end of the frame
//
// No magic, checksum, padding or version: the hello carries the protocol version.

#include <array>
#include <cstdint>
#include <exception>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "HelperCore/Base/Bytes.hpp"

namespace tavrel {

enum class FrameKind : std::uint8_t { request = 1, reply = 2, failure = 3, chunk = 4 };

/// Every kind in wire order; a kind's byte is its position plus one.
inline constexpr std::array<FrameKind, 4> allFrameKinds = {FrameKind::request, FrameKind::reply,
                                                           FrameKind::failure, FrameKind::chunk};

struct Frame {
    FrameKind kind;
    std::uint32_t id;  // the id of the request this frame belongs to
    Bytes json;        // UTF-8 JSON text, possibly empty
    Bytes blob;        // binary payload, possibly empty

    bool operator==(const Frame&) const = default;
};

namespace Wire {

/// Reported to clients in the hello as "wire".
inline constexpr int version = 1;
/// The largest length field the decoder accepts (64 MiB).
inline constexpr std::uint32_t maxFrame = 67108864;
/// Kind, id and JSON length: the least a length field can count.
inline constexpr std::uint32_t minFrame = 9;

/// The frame's wire form, exactly 13 + J + B bytes. Throws std::length_error only for parts
/// too large for the 32-bit length fields, which no caller builds.
Bytes encode(const Frame& frame);

}  // namespace Wire

/// Why a byte stream is not frames. The description is the whole message.
class WireError : public std::exception {
  public:
    enum class Case {
        tooLarge,      // value: the length field
        unknownKind,   // value: the kind byte
        jsonOverruns,  // value: the JSON length field
        tooShort,      // value: the length field (below 9)
    };

    WireError(Case which, std::uint32_t value);

    Case which() const noexcept { return which_; }
    std::uint32_t value() const noexcept { return value_; }
    const std::string& description() const noexcept { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

    bool operator==(const WireError& other) const {
        return which_ == other.which_ && value_ == other.value_;
    }

  private:
    Case which_;
    std::uint32_t value_;
    std::string description_;
};

/// Cuts frames out of a byte stream delivered in arbitrary pieces. One per connection, used
/// from its reading loop only.
///
/// Each byte is copied straight into the part of the frame it belongs to (a part of more than
/// 1 MiB is regrown at most twice), so a 64 MiB frame arriving in small reads costs about as
/// much as one arriving whole, and many small frames in one read never shift a buffer. Memory
/// grows with the bytes that came, not with what a length field announces. Length fields are judged
/// as soon as their 4 bytes are there; the kind and the JSON length only once the whole frame has
/// arrived.
class FrameDecoder {
  public:
    FrameDecoder() = default;

    /// Every frame completed by these bytes, oldest first; an incomplete tail is kept for the
    /// next push. Throws WireError and then returns nothing, not even frames completed earlier
    /// in the same call. A decoder that has thrown throws the same error on every later push.
    std::vector<Frame> push(std::span<const std::uint8_t> bytes);

    /// Bytes of an incomplete frame held back, waiting for the rest.
    std::size_t buffered() const noexcept;

  private:
    static constexpr std::size_t headerSize = 13;

    // Returns how many of `bytes` went into the frame being received.
    std::size_t takeHeader(std::span<const std::uint8_t> bytes);
    std::size_t takeBody(std::span<const std::uint8_t> bytes);
    void checkLength() const;
    void beginBody();
    Frame finishFrame();

    std::array<std::uint8_t, headerSize> header_{};
    std::size_t headerFill_ = 0;
    bool inBody_ = false;
    std::uint32_t length_ = 0;      // L of the frame being received
    std::uint32_t jsonLength_ = 0;  // J of the frame being received
    std::size_t bodyFill_ = 0;      // bytes of the L - 9 after the header received so far
    bool wellFormed_ = false;       // kind and J fit: the parts are kept, not skipped
    Bytes json_;
    Bytes blob_;
    std::optional<WireError> failure_;
};

}  // namespace tavrel
