// The inside of XPC objects and their wire form (private to the XPC library and its tests).
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "SimulatedPlatform/Runtime/XPC/XPC.hpp"

struct xpc_object_s {
    explicit xpc_object_s(xpc_type_t type) : type(type) {}
    virtual ~xpc_object_s() = default;
    const xpc_type_t type;
    std::atomic<int64_t> references{1};
    bool immortal = false;  // the error constants
};

namespace tavrel::xpc {

struct Dictionary : xpc_object_s {
    Dictionary() : xpc_object_s(xpc_type_t::dictionary) {}
    ~Dictionary() override;
    std::map<std::string, xpc_object_t> entries;  // each holds one reference
};

struct Scalar : xpc_object_s {
    explicit Scalar(xpc_type_t type) : xpc_object_s(type) {}
    bool boolean = false;
    uint64_t unsignedValue = 0;
    int64_t signedValue = 0;
    double real = 0;
    std::string bytes;  // string or data
};

struct Endpoint : xpc_object_s {
    explicit Endpoint(std::string socketName)
        : xpc_object_s(xpc_type_t::endpoint), socketName(std::move(socketName)) {}
    const std::string socketName;
};

// The wire form. A frame is: u32 length of what follows, u8 kind, then the body:
//   message: one value;  barrier / barrier done: u64 barrier number.
// A value is a u8 tag and its body: 'D' u32 count then (u32 key length, key, value) per entry;
// 'S' / 'X' u32 length and the bytes; 'B' one byte 0/1; 'U' / 'I' 8 bytes; 'F' an IEEE double.
// Little-endian throughout.
enum class FrameKind : uint8_t { message = 1, barrier = 2, barrierDone = 3 };
constexpr size_t maximumFrame = 1 << 20;
constexpr int maximumDepth = 32;

std::vector<uint8_t> encodeFrame(FrameKind kind, xpc_object_t message, uint64_t barrier = 0);

struct Frame {
    FrameKind kind;
    xpc_object_t message = nullptr;  // owned by the caller (message frames)
    uint64_t barrier = 0;
};
// Decodes the body of one frame (what follows the length); nothing when malformed.
std::optional<Frame> decodeFrame(const uint8_t* bytes, size_t length);

// Reads/writes whole frames on a stream socket; false at end or on error.
bool writeFrame(int fd, const std::vector<uint8_t>& frame);
bool readFrame(int fd, std::vector<uint8_t>& body);

}  // namespace tavrel::xpc
