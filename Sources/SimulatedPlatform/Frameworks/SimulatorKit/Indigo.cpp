#include "SimulatedPlatform/Frameworks/SimulatorKit/Indigo.hpp"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace tavrel::simkit {

namespace {

constexpr size_t headerSize = 16;

struct Writer {
    std::vector<uint8_t> bytes;
    void u32(uint32_t v) {
        for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
    void f64(double d) {
        uint64_t v;
        std::memcpy(&v, &d, sizeof v);
        for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
    void header(IndigoEvent::Kind kind, uint32_t target, size_t size) {
        u32(static_cast<uint32_t>(size));
        u32(indigoMagic);
        bytes.push_back(static_cast<uint8_t>(kind));
        bytes.insert(bytes.end(), {0, 0, 0});
        u32(target);
    }
    void* release() const {
        void* out = std::malloc(bytes.size());
        if (out != nullptr) std::memcpy(out, bytes.data(), bytes.size());
        return out;
    }
};

uint32_t u32At(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

double f64At(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v |= uint64_t{p[i]} << (8 * i);
    double d;
    std::memcpy(&d, &v, sizeof d);
    return d;
}

std::optional<bool> operation(uint32_t value) {
    if (value == 1) return true;
    if (value == 2) return false;
    return std::nullopt;
}

}  // namespace

std::optional<IndigoEvent> decodeIndigo(const void* message) {
    if (message == nullptr) return std::nullopt;
    auto* p = static_cast<const uint8_t*>(message);
    uint32_t size = u32At(p);
    if (size < headerSize || size > indigoMaximumSize || u32At(p + 4) != indigoMagic)
        return std::nullopt;
    IndigoEvent event;
    event.kind = static_cast<IndigoEvent::Kind>(p[8]);
    event.target = u32At(p + 12);
    const uint8_t* body = p + headerSize;
    switch (event.kind) {
        case IndigoEvent::Kind::pointer: {
            if (size != 40) return std::nullopt;
            event.eventType = u32At(body);
            auto down = operation(event.eventType);
            event.x = f64At(body + 8);
            event.y = f64At(body + 16);
            if (!down || !std::isfinite(event.x) || !std::isfinite(event.y)) return std::nullopt;
            event.down = *down;
            return event;
        }
        case IndigoEvent::Kind::button: {
            if (size != 28) return std::nullopt;
            event.usagePage = u32At(body);
            event.usage = u32At(body + 4);
            auto down = operation(u32At(body + 8));
            if (!down) return std::nullopt;
            event.down = *down;
            return event;
        }
        case IndigoEvent::Kind::keyboard: {
            if (size != 24) return std::nullopt;
            event.usage = u32At(body);
            auto down = operation(u32At(body + 4));
            if (!down) return std::nullopt;
            event.down = *down;
            return event;
        }
    }
    return std::nullopt;
}

}  // namespace tavrel::simkit

using namespace tavrel::simkit;

extern "C" void* IndigoHIDMessageForMouseNSEvent(const double* point, const double* secondPoint,
                                                 uint32_t target, uint32_t eventType,
                                                 uint32_t flags, double width, double height) {
    if (point == nullptr || secondPoint != nullptr || (eventType != 1 && eventType != 2) ||
        !(width > 0) || !(height > 0))
        return nullptr;
    double x = point[0] / width, y = point[1] / height;
    if (!std::isfinite(x) || !std::isfinite(y)) return nullptr;
    Writer w;
    w.header(IndigoEvent::Kind::pointer, target, 40);
    w.u32(eventType);
    w.u32(flags);
    w.f64(x);
    w.f64(y);
    return w.release();
}

extern "C" void* IndigoHIDMessageForHIDArbitrary(uint32_t target, uint32_t usagePage,
                                                 uint32_t usage, uint32_t op) {
    if (!operation(op)) return nullptr;
    Writer w;
    w.header(IndigoEvent::Kind::button, target, 28);
    w.u32(usagePage);
    w.u32(usage);
    w.u32(op);
    return w.release();
}

extern "C" void* IndigoHIDMessageForKeyboardArbitrary(uint32_t usage, uint32_t op) {
    if (!operation(op)) return nullptr;
    Writer w;
    w.header(IndigoEvent::Kind::keyboard, 0, 24);
    w.u32(usage);
    w.u32(op);
    return w.release();
}
