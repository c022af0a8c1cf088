#include "SimulatedPlatform/Runtime/Foreign/Value.hpp"

#include <cmath>
#include <cstdio>
#include <random>

#include "SimulatedPlatform/Runtime/Foreign/Object.hpp"

namespace tavrel::foreign {

UUID UUID::random() {
    thread_local std::mt19937_64 generator{std::random_device{}()};
    UUID uuid;
    for (size_t i = 0; i < 16; i += 8) {
        uint64_t word = generator();
        for (size_t j = 0; j < 8; ++j) uuid.bytes[i + j] = static_cast<uint8_t>(word >> (8 * j));
    }
    uuid.bytes[6] = (uuid.bytes[6] & 0x0F) | 0x40;  // version 4
    uuid.bytes[8] = (uuid.bytes[8] & 0x3F) | 0x80;  // RFC 4122 variant
    return uuid;
}

std::optional<UUID> UUID::parse(const std::string& text) {
    if (text.size() != 36) return std::nullopt;
    UUID uuid;
    size_t byte = 0;
    for (size_t i = 0; i < text.size();) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (text[i] != '-') return std::nullopt;
            ++i;
            continue;
        }
        auto nibble = [](char c) -> int {
            if (c >= '0' && c <= '9') return c - '0';
            if (c >= 'a' && c <= 'f') return c - 'a' + 10;
            if (c >= 'A' && c <= 'F') return c - 'A' + 10;
            return -1;
        };
        int high = nibble(text[i]), low = nibble(text[i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        uuid.bytes[byte++] = static_cast<uint8_t>(high << 4 | low);
        i += 2;
    }
    return uuid;
}

std::string UUID::text() const {
    char out[37];
    std::snprintf(out, sizeof out,
                  "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", bytes[0],
                  bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8],
                  bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
    return out;
}

std::optional<bool> Value::asBool() const {
    if (auto d = asDouble()) return *d != 0;
    return std::nullopt;
}

std::optional<int64_t> Value::asInt64() const {
    if (auto* b = std::get_if<bool>(&storage_)) return *b ? 1 : 0;
    if (auto* i = std::get_if<int64_t>(&storage_)) return *i;
    if (auto* u = std::get_if<uint64_t>(&storage_)) return static_cast<int64_t>(*u);
    if (auto* d = std::get_if<double>(&storage_)) {
        if (std::isfinite(*d)) return static_cast<int64_t>(*d);
    }
    return std::nullopt;
}

std::optional<uint64_t> Value::asUInt64() const {
    if (auto* u = std::get_if<uint64_t>(&storage_)) return *u;
    if (auto* d = std::get_if<double>(&storage_)) {
        if (std::isfinite(*d) && *d >= 0) return static_cast<uint64_t>(*d);
        if (std::isfinite(*d)) return static_cast<uint64_t>(static_cast<int64_t>(*d));
        return std::nullopt;
    }
    if (auto i = asInt64()) return static_cast<uint64_t>(*i);
    return std::nullopt;
}

std::optional<double> Value::asDouble() const {
    if (auto* b = std::get_if<bool>(&storage_)) return *b ? 1.0 : 0.0;
    if (auto* i = std::get_if<int64_t>(&storage_)) return static_cast<double>(*i);
    if (auto* u = std::get_if<uint64_t>(&storage_)) return static_cast<double>(*u);
    if (auto* d = std::get_if<double>(&storage_)) return *d;
    return std::nullopt;
}

std::optional<UUID> Value::asUUID() const {
    if (auto* u = std::get_if<UUID>(&storage_)) return *u;
    return std::nullopt;
}

ObjectRef Value::asObject() const {
    if (auto* o = std::get_if<ObjectRef>(&storage_)) return *o;
    return nullptr;
}

std::optional<std::string> Value::asString() const {
    if (auto* s = std::get_if<std::string>(&storage_)) return *s;
    return std::nullopt;
}

std::shared_ptr<const std::vector<uint8_t>> Value::asBytes() const {
    auto* b = std::get_if<std::shared_ptr<const std::vector<uint8_t>>>(&storage_);
    return b ? *b : nullptr;
}

std::shared_ptr<const List> Value::asList() const {
    auto* l = std::get_if<std::shared_ptr<const List>>(&storage_);
    return l ? *l : nullptr;
}

std::shared_ptr<const Dictionary> Value::asDictionary() const {
    auto* d = std::get_if<std::shared_ptr<const Dictionary>>(&storage_);
    return d ? *d : nullptr;
}

std::shared_ptr<const Block> Value::asBlock() const {
    auto* b = std::get_if<std::shared_ptr<const Block>>(&storage_);
    return b ? *b : nullptr;
}

std::shared_ptr<Executor> Value::asExecutor() const {
    if (auto* e = std::get_if<std::shared_ptr<Executor>>(&storage_)) return *e;
    return nullptr;
}

std::optional<Point> Value::asPoint() const {
    if (auto* p = std::get_if<Point>(&storage_)) return *p;
    return std::nullopt;
}

std::optional<Size> Value::asSize() const {
    if (auto* s = std::get_if<Size>(&storage_)) return *s;
    return std::nullopt;
}

std::optional<Rect> Value::asRect() const {
    if (auto* r = std::get_if<Rect>(&storage_)) return *r;
    return std::nullopt;
}

Slot Value::asSlot() const {
    if (auto* s = std::get_if<Slot>(&storage_)) return *s;
    return nullptr;
}

void* Value::asPointer() const {
    if (auto* p = std::get_if<void*>(&storage_)) return *p;
    return nullptr;
}

Value Value::call(const Arguments& arguments) const {
    if (auto block = asBlock()) return (*block)(arguments);
    return {};
}

std::string Value::describe() const {
    switch (kind()) {
        case Kind::nil:
            return "nil";
        case Kind::boolean:
            return *asBool() ? "YES" : "NO";
        case Kind::int64:
            return std::to_string(*asInt64());
        case Kind::uint64:
            return std::to_string(*asUInt64());
        case Kind::real: {
            char out[32];
            std::snprintf(out, sizeof out, "%.17g", *asDouble());
            return out;
        }
        case Kind::string:
            return *asString();
        case Kind::bytes:
            return "<" + std::to_string(asBytes()->size()) + " bytes>";
        case Kind::uuid:
            return asUUID()->text();
        case Kind::object:
            return asObject()->description();
        case Kind::list:
            return "<list of " + std::to_string(asList()->size()) + ">";
        case Kind::dictionary:
            return "<dictionary of " + std::to_string(asDictionary()->size()) + ">";
        case Kind::block:
            return "<block>";
        case Kind::executor:
            return "<executor>";
        case Kind::point:
            return "{" + Value(asPoint()->x).describe() + ", " + Value(asPoint()->y).describe() +
                   "}";
        case Kind::size:
            return "{" + Value(asSize()->width).describe() + ", " +
                   Value(asSize()->height).describe() + "}";
        case Kind::rect: {
            auto r = *asRect();
            return "{" + Value(r.origin).describe() + ", " + Value(r.size).describe() + "}";
        }
        case Kind::slot:
            return "<slot>";
        case Kind::pointer:
            return "<pointer>";
    }
    return "?";
}

}  // namespace tavrel::foreign
