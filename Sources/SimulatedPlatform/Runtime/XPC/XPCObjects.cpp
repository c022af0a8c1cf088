#include "SimulatedPlatform/Runtime/XPC/XPCObjects.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

using namespace tavrel::xpc;

namespace {

xpc_object_s invalidError(xpc_type_t::error);
xpc_object_s interruptedError(xpc_type_t::error);

Dictionary* dictionary(xpc_object_t object) {
    return object != nullptr && object->type == xpc_type_t::dictionary
               ? static_cast<Dictionary*>(object)
               : nullptr;
}

Scalar* scalar(xpc_object_t object, xpc_type_t type) {
    return object != nullptr && object->type == type ? static_cast<Scalar*>(object) : nullptr;
}

xpc_object_t makeScalar(xpc_type_t type, auto&& fill) {
    auto* object = new Scalar(type);
    fill(*object);
    return object;
}

void put32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void put64(std::vector<uint8_t>& out, uint64_t v) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void encodeValue(std::vector<uint8_t>& out, xpc_object_t value) {
    auto bytes = [&](char tag, const std::string& text) {
        out.push_back(static_cast<uint8_t>(tag));
        put32(out, static_cast<uint32_t>(text.size()));
        out.insert(out.end(), text.begin(), text.end());
    };
    switch (value->type) {
        case xpc_type_t::dictionary: {
            auto* d = static_cast<Dictionary*>(value);
            out.push_back('D');
            put32(out, static_cast<uint32_t>(d->entries.size()));
            for (auto& [key, entry] : d->entries) {
                put32(out, static_cast<uint32_t>(key.size()));
                out.insert(out.end(), key.begin(), key.end());
                encodeValue(out, entry);
            }
            return;
        }
        case xpc_type_t::string:
            return bytes('S', static_cast<Scalar*>(value)->bytes);
        case xpc_type_t::data:
            return bytes('X', static_cast<Scalar*>(value)->bytes);
        case xpc_type_t::boolean:
            out.push_back('B');
            out.push_back(static_cast<Scalar*>(value)->boolean ? 1 : 0);
            return;
        case xpc_type_t::uint64:
            out.push_back('U');
            return put64(out, static_cast<Scalar*>(value)->unsignedValue);
        case xpc_type_t::int64:
            out.push_back('I');
            return put64(out, static_cast<uint64_t>(static_cast<Scalar*>(value)->signedValue));
        case xpc_type_t::real: {
            uint64_t bits;
            std::memcpy(&bits, &static_cast<Scalar*>(value)->real, sizeof bits);
            out.push_back('F');
            return put64(out, bits);
        }
        default:
            // Endpoints, connections and errors do not travel; they go as an empty dictionary.
            out.push_back('D');
            return put32(out, 0);
    }
}

struct Reader {
    const uint8_t* at;
    const uint8_t* end;
    bool take(size_t n, const uint8_t*& start) {
        if (static_cast<size_t>(end - at) < n) return false;
        start = at;
        at += n;
        return true;
    }
    std::optional<uint64_t> number(int size) {
        const uint8_t* p;
        if (!take(static_cast<size_t>(size), p)) return std::nullopt;
        uint64_t v = 0;
        for (int i = 0; i < size; ++i) v |= uint64_t{p[i]} << (8 * i);
        return v;
    }
    std::optional<std::string> text() {
        auto length = number(4);
        const uint8_t* p;
        if (!length || !take(*length, p)) return std::nullopt;
        return std::string(reinterpret_cast<const char*>(p), *length);
    }
};

XPCRef decodeValue(Reader& reader, int depth) {
    if (depth > maximumDepth) return {};
    auto tag = reader.number(1);
    if (!tag) return {};
    switch (static_cast<char>(*tag)) {
        case 'D': {
            auto count = reader.number(4);
            if (!count) return {};
            XPCRef result(xpc_dictionary_create(nullptr, nullptr, 0));
            for (uint64_t i = 0; i < *count; ++i) {
                auto key = reader.text();
                if (!key) return {};
                auto value = decodeValue(reader, depth + 1);
                if (!value) return {};
                xpc_dictionary_set_value(result.get(), key->c_str(), value.get());
            }
            return result;
        }
        case 'S':
        case 'X': {
            auto text = reader.text();
            if (!text) return {};
            auto type = *tag == 'S' ? xpc_type_t::string : xpc_type_t::data;
            return XPCRef(makeScalar(type, [&](Scalar& s) { s.bytes = std::move(*text); }));
        }
        case 'B': {
            auto v = reader.number(1);
            if (!v || *v > 1) return {};
            return XPCRef(xpc_bool_create(*v == 1));
        }
        case 'U': {
            auto v = reader.number(8);
            return v ? XPCRef(xpc_uint64_create(*v)) : XPCRef();
        }
        case 'I': {
            auto v = reader.number(8);
            return v ? XPCRef(xpc_int64_create(static_cast<int64_t>(*v))) : XPCRef();
        }
        case 'F': {
            auto v = reader.number(8);
            if (!v) return {};
            double d;
            std::memcpy(&d, &*v, sizeof d);
            return XPCRef(xpc_double_create(d));
        }
        default:
            return {};
    }
}

}  // namespace

const xpc_object_t XPC_ERROR_CONNECTION_INVALID = [] {
    invalidError.immortal = true;
    return &invalidError;
}();
const xpc_object_t XPC_ERROR_CONNECTION_INTERRUPTED = [] {
    interruptedError.immortal = true;
    return &interruptedError;
}();
const char* const XPC_ERROR_KEY_DESCRIPTION = "XPCErrorDescription";

Dictionary::~Dictionary() {
    for (auto& [key, value] : entries) xpc_release(value);
}

xpc_object_t xpc_retain(xpc_object_t object) {
    if (object != nullptr && !object->immortal) object->references.fetch_add(1);
    return object;
}

void xpc_release(xpc_object_t object) {
    if (object == nullptr || object->immortal) return;
    if (object->references.fetch_sub(1) == 1) delete object;
}

xpc_type_t xpc_get_type(xpc_object_t object) {
    return object == nullptr ? xpc_type_t::none : object->type;
}

xpc_object_t xpc_dictionary_create(const char* const* keys, const xpc_object_t* values,
                                   size_t count) {
    auto* d = new Dictionary;
    for (size_t i = 0; i < count; ++i) xpc_dictionary_set_value(d, keys[i], values[i]);
    return d;
}

xpc_object_t xpc_string_create(const char* text) {
    return makeScalar(xpc_type_t::string, [&](Scalar& s) { s.bytes = text ? text : ""; });
}
xpc_object_t xpc_bool_create(bool value) {
    return makeScalar(xpc_type_t::boolean, [&](Scalar& s) { s.boolean = value; });
}
xpc_object_t xpc_uint64_create(uint64_t value) {
    return makeScalar(xpc_type_t::uint64, [&](Scalar& s) { s.unsignedValue = value; });
}
xpc_object_t xpc_int64_create(int64_t value) {
    return makeScalar(xpc_type_t::int64, [&](Scalar& s) { s.signedValue = value; });
}
xpc_object_t xpc_double_create(double value) {
    return makeScalar(xpc_type_t::real, [&](Scalar& s) { s.real = value; });
}
xpc_object_t xpc_data_create(const void* bytes, size_t length) {
    return makeScalar(xpc_type_t::data, [&](Scalar& s) {
        if (length > 0) s.bytes.assign(static_cast<const char*>(bytes), length);
    });
}

void xpc_dictionary_set_value(xpc_object_t object, const char* key, xpc_object_t value) {
    auto* d = dictionary(object);
    if (d == nullptr || key == nullptr || value == d) return;
    auto it = d->entries.find(key);
    if (it != d->entries.end()) {
        xpc_release(it->second);
        d->entries.erase(it);
    }
    if (value != nullptr) d->entries.emplace(key, xpc_retain(value));
}

namespace {
void setOwned(xpc_object_t d, const char* key, xpc_object_t owned) {
    xpc_dictionary_set_value(d, key, owned);
    xpc_release(owned);
}
}  // namespace

void xpc_dictionary_set_string(xpc_object_t d, const char* key, const char* value) {
    setOwned(d, key, xpc_string_create(value));
}
void xpc_dictionary_set_bool(xpc_object_t d, const char* key, bool value) {
    setOwned(d, key, xpc_bool_create(value));
}
void xpc_dictionary_set_uint64(xpc_object_t d, const char* key, uint64_t value) {
    setOwned(d, key, xpc_uint64_create(value));
}
void xpc_dictionary_set_int64(xpc_object_t d, const char* key, int64_t value) {
    setOwned(d, key, xpc_int64_create(value));
}
void xpc_dictionary_set_double(xpc_object_t d, const char* key, double value) {
    setOwned(d, key, xpc_double_create(value));
}

xpc_object_t xpc_dictionary_get_value(xpc_object_t object, const char* key) {
    auto* d = dictionary(object);
    if (d == nullptr || key == nullptr) return nullptr;
    auto it = d->entries.find(key);
    return it == d->entries.end() ? nullptr : it->second;
}

const char* xpc_dictionary_get_string(xpc_object_t d, const char* key) {
    return xpc_string_get_string_ptr(xpc_dictionary_get_value(d, key));
}
bool xpc_dictionary_get_bool(xpc_object_t d, const char* key) {
    return xpc_bool_get_value(xpc_dictionary_get_value(d, key));
}
uint64_t xpc_dictionary_get_uint64(xpc_object_t d, const char* key) {
    return xpc_uint64_get_value(xpc_dictionary_get_value(d, key));
}
int64_t xpc_dictionary_get_int64(xpc_object_t d, const char* key) {
    return xpc_int64_get_value(xpc_dictionary_get_value(d, key));
}
double xpc_dictionary_get_double(xpc_object_t d, const char* key) {
    return xpc_double_get_value(xpc_dictionary_get_value(d, key));
}
size_t xpc_dictionary_get_count(xpc_object_t object) {
    auto* d = dictionary(object);
    return d == nullptr ? 0 : d->entries.size();
}

bool xpc_dictionary_apply(xpc_object_t object,
                          const std::function<bool(const char*, xpc_object_t)>& visit) {
    auto* d = dictionary(object);
    if (d == nullptr) return true;
    for (auto& [key, value] : d->entries) {
        if (!visit(key.c_str(), value)) return false;
    }
    return true;
}

const char* xpc_string_get_string_ptr(xpc_object_t object) {
    auto* s = scalar(object, xpc_type_t::string);
    return s == nullptr ? nullptr : s->bytes.c_str();
}
bool xpc_bool_get_value(xpc_object_t object) {
    auto* s = scalar(object, xpc_type_t::boolean);
    return s != nullptr && s->boolean;
}
uint64_t xpc_uint64_get_value(xpc_object_t object) {
    auto* s = scalar(object, xpc_type_t::uint64);
    return s == nullptr ? 0 : s->unsignedValue;
}
int64_t xpc_int64_get_value(xpc_object_t object) {
    auto* s = scalar(object, xpc_type_t::int64);
    return s == nullptr ? 0 : s->signedValue;
}
double xpc_double_get_value(xpc_object_t object) {
    auto* s = scalar(object, xpc_type_t::real);
    return s == nullptr ? 0 : s->real;
}
const void* xpc_data_get_bytes_ptr(xpc_object_t object) {
    auto* s = scalar(object, xpc_type_t::data);
    return s == nullptr ? nullptr : s->bytes.data();
}
size_t xpc_data_get_length(xpc_object_t object) {
    auto* s = scalar(object, xpc_type_t::data);
    return s == nullptr ? 0 : s->bytes.size();
}

bool xpc_equal(xpc_object_t a, xpc_object_t b) {
    if (a == b) return true;
    if (a == nullptr || b == nullptr || a->type != b->type) return false;
    if (a->type == xpc_type_t::dictionary) {
        auto &x = static_cast<Dictionary*>(a)->entries, &y = static_cast<Dictionary*>(b)->entries;
        if (x.size() != y.size()) return false;
        for (auto i = x.begin(), j = y.begin(); i != x.end(); ++i, ++j) {
            if (i->first != j->first || !xpc_equal(i->second, j->second)) return false;
        }
        return true;
    }
    if (a->type == xpc_type_t::endpoint)
        return static_cast<Endpoint*>(a)->socketName == static_cast<Endpoint*>(b)->socketName;
    if (dynamic_cast<Scalar*>(a) == nullptr) return false;
    auto *x = static_cast<Scalar*>(a), *y = static_cast<Scalar*>(b);
    return x->boolean == y->boolean && x->unsignedValue == y->unsignedValue &&
           x->signedValue == y->signedValue && x->real == y->real && x->bytes == y->bytes;
}

namespace tavrel::xpc {

std::vector<uint8_t> encodeFrame(FrameKind kind, xpc_object_t message, uint64_t barrier) {
    std::vector<uint8_t> out(4, 0);
    out.push_back(static_cast<uint8_t>(kind));
    if (kind == FrameKind::message)
        encodeValue(out, message);
    else
        put64(out, barrier);
    auto length = static_cast<uint32_t>(out.size() - 4);
    for (int i = 0; i < 4; ++i)
        out[static_cast<size_t>(i)] = static_cast<uint8_t>(length >> (8 * i));
    return out;
}

std::optional<Frame> decodeFrame(const uint8_t* bytes, size_t length) {
    Reader reader{bytes, bytes + length};
    auto kind = reader.number(1);
    if (!kind) return std::nullopt;
    Frame frame{static_cast<FrameKind>(*kind)};
    switch (frame.kind) {
        case FrameKind::message: {
            auto value = decodeValue(reader, 0);
            if (!value || reader.at != reader.end) return std::nullopt;
            frame.message = xpc_retain(value.get());
            return frame;
        }
        case FrameKind::barrier:
        case FrameKind::barrierDone: {
            auto number = reader.number(8);
            if (!number || reader.at != reader.end) return std::nullopt;
            frame.barrier = *number;
            return frame;
        }
    }
    return std::nullopt;
}

bool writeFrame(int fd, const std::vector<uint8_t>& frame) {
    size_t done = 0;
    while (done < frame.size()) {
        auto n = ::send(fd, frame.data() + done, frame.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

namespace {
bool readExactly(int fd, uint8_t* into, size_t length) {
    size_t done = 0;
    while (done < length) {
        auto n = ::read(fd, into + done, length - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}
}  // namespace

bool readFrame(int fd, std::vector<uint8_t>& body) {
    uint8_t header[4];
    if (!readExactly(fd, header, 4)) return false;
    uint32_t length = uint32_t{header[0]} | uint32_t{header[1]} << 8 | uint32_t{header[2]} << 16 |
                      uint32_t{header[3]} << 24;
    if (length == 0 || length > maximumFrame) return false;
    body.resize(length);
    return readExactly(fd, body.data(), length);
}

}  // namespace tavrel::xpc
