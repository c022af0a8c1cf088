// Indigo HID messages: what SimulatorKit's builders make and its legacy HID client sends.
//
// Layout (little-endian, no padding). Header, 16 bytes:
//   u32 size      bytes of the whole message
//   u32 magic     0x4F474E49 ("INGO")
//   u8  kind      1 pointer, 2 HID button, 3 keyboard
//   u8  reserved[3]
//   u32 target    0x32 (the main display) for pointer and button; 0 for keyboard
// Then by kind:
//   pointer  (40 bytes): u32 event type (1 left mouse down, 2 left mouse up), u32 flags,
//                        f64 x, f64 y (0…1 fractions of the screen, from the top left)
//   button   (28 bytes): u32 usage page, u32 usage, u32 operation (1 down, 2 up)
//   keyboard (24 bytes): u32 usage (keyboard page), u32 operation (1 down, 2 up)
// Messages are malloc'ed; whoever is told to free them calls free().
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

extern "C" {
// `point`: x, y as two doubles in a space of `width` x `height` (1.0 x 1.0: screen fractions).
// `secondPoint`: a second finger, not supported (must be null). `eventType`: 1 down, 2 up.
// Null for anything it cannot express.
void* IndigoHIDMessageForMouseNSEvent(const double* point, const double* secondPoint,
                                      uint32_t target, uint32_t eventType, uint32_t flags,
                                      double width, double height);
// A button of any usage page: `operation` 1 down, 2 up.
void* IndigoHIDMessageForHIDArbitrary(uint32_t target, uint32_t usagePage, uint32_t usage,
                                      uint32_t operation);
// A keyboard key (page 7 usage): `operation` 1 down, 2 up.
void* IndigoHIDMessageForKeyboardArbitrary(uint32_t usage, uint32_t operation);
}

namespace tavrel::simkit {

struct IndigoEvent {
    enum class Kind : uint8_t { pointer = 1, button = 2, keyboard = 3 };
    Kind kind = Kind::pointer;
    uint32_t target = 0;
    uint32_t eventType = 0;  // pointer
    double x = 0, y = 0;     // pointer, screen fractions
    uint32_t usagePage = 0;  // button
    uint32_t usage = 0;      // button, keyboard
    bool down = false;       // pointer (event type 1), button, keyboard
};

inline constexpr uint32_t indigoMagic = 0x4F474E49;
inline constexpr size_t indigoMaximumSize = 64;

// Reads a message; nothing when it is not a well-formed Indigo message.
std::optional<IndigoEvent> decodeIndigo(const void* message);

}  // namespace tavrel::simkit
