// The part of the XPC API the helper uses, over Unix-domain sockets.
//
// Objects are reference counted as in the system API: every create/copy call returns a
// reference the caller owns and gives back with xpc_release (or holds in an XPCRef).
// Handlers are std::function in place of blocks.
//
// Connections: a connection made from an endpoint connects when resumed; messages sent before
// that wait. Messages and barriers go out in order. A barrier's handler runs on the
// connection's reading thread once the peer has handled every message sent before it; a
// connection that fails or is cancelled never runs the barriers still pending. The event
// handler runs on the same thread with the peer's messages and with XPC_ERROR_CONNECTION_INVALID
// (the peer is unreachable or went away, or the connection was cancelled).
//
// Simulator services: a "Mach port" here is a per-process number naming a service socket
// (see XPCPorts.hpp). xpc_endpoint_create_mach_port_4sim, xpc_connection_create_from_endpoint
// and xpc_connection_enable_sim2host_4sim are exported unmangled, as the system's are, and are
// meant to be found with dlsym; a connection to a simulator's service must be enabled for
// simulator-to-host use before it is resumed, or it is invalidated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

struct xpc_object_s;
using xpc_object_t = xpc_object_s*;
using xpc_connection_t = xpc_object_t;
using xpc_endpoint_t = xpc_object_t;
using xpc_handler_t = std::function<void(xpc_object_t event)>;

enum class xpc_type_t {
    none,
    dictionary,
    string,
    boolean,
    uint64,
    int64,
    real,
    data,
    endpoint,
    connection,
    error
};

xpc_object_t xpc_retain(xpc_object_t object);
void xpc_release(xpc_object_t object);
xpc_type_t xpc_get_type(xpc_object_t object);

xpc_object_t xpc_dictionary_create(const char* const* keys, const xpc_object_t* values,
                                   size_t count);
xpc_object_t xpc_string_create(const char* text);
xpc_object_t xpc_bool_create(bool value);
xpc_object_t xpc_uint64_create(uint64_t value);
xpc_object_t xpc_int64_create(int64_t value);
xpc_object_t xpc_double_create(double value);
xpc_object_t xpc_data_create(const void* bytes, size_t length);

// Setters retain `value` (or store a copy of the scalar); a null value removes the key.
void xpc_dictionary_set_value(xpc_object_t dictionary, const char* key, xpc_object_t value);
void xpc_dictionary_set_string(xpc_object_t dictionary, const char* key, const char* value);
void xpc_dictionary_set_bool(xpc_object_t dictionary, const char* key, bool value);
void xpc_dictionary_set_uint64(xpc_object_t dictionary, const char* key, uint64_t value);
void xpc_dictionary_set_int64(xpc_object_t dictionary, const char* key, int64_t value);
void xpc_dictionary_set_double(xpc_object_t dictionary, const char* key, double value);

// Getters do not transfer ownership; a missing key or another type gives null / 0 / false.
xpc_object_t xpc_dictionary_get_value(xpc_object_t dictionary, const char* key);
const char* xpc_dictionary_get_string(xpc_object_t dictionary, const char* key);
bool xpc_dictionary_get_bool(xpc_object_t dictionary, const char* key);
uint64_t xpc_dictionary_get_uint64(xpc_object_t dictionary, const char* key);
int64_t xpc_dictionary_get_int64(xpc_object_t dictionary, const char* key);
double xpc_dictionary_get_double(xpc_object_t dictionary, const char* key);
size_t xpc_dictionary_get_count(xpc_object_t dictionary);
// Visits the entries in key order; stop early by returning false.
bool xpc_dictionary_apply(xpc_object_t dictionary,
                          const std::function<bool(const char* key, xpc_object_t value)>& visit);

const char* xpc_string_get_string_ptr(xpc_object_t string);
bool xpc_bool_get_value(xpc_object_t boolean);
uint64_t xpc_uint64_get_value(xpc_object_t number);
int64_t xpc_int64_get_value(xpc_object_t number);
double xpc_double_get_value(xpc_object_t number);
const void* xpc_data_get_bytes_ptr(xpc_object_t data);
size_t xpc_data_get_length(xpc_object_t data);
bool xpc_equal(xpc_object_t a, xpc_object_t b);

// The connection errors (never released: process-wide constants).
extern const xpc_object_t XPC_ERROR_CONNECTION_INVALID;
extern const xpc_object_t XPC_ERROR_CONNECTION_INTERRUPTED;
extern const char* const XPC_ERROR_KEY_DESCRIPTION;

void xpc_connection_set_event_handler(xpc_connection_t connection, xpc_handler_t handler);
void xpc_connection_resume(xpc_connection_t connection);
void xpc_connection_cancel(xpc_connection_t connection);
void xpc_connection_send_message(xpc_connection_t connection, xpc_object_t message);
void xpc_connection_send_barrier(xpc_connection_t connection, std::function<void()> barrier);

extern "C" {
// A send right to the simulator service named by `port`; null when the port names nothing.
xpc_endpoint_t xpc_endpoint_create_mach_port_4sim(uint32_t port);
// A new, suspended connection to the endpoint's service; null for a null or non-endpoint.
xpc_connection_t xpc_connection_create_from_endpoint(xpc_endpoint_t endpoint);
void xpc_connection_enable_sim2host_4sim(xpc_connection_t connection);
}

// Owns one reference.
class XPCRef {
  public:
    XPCRef() = default;
    explicit XPCRef(xpc_object_t owned) : object_(owned) {}
    XPCRef(const XPCRef& other) : object_(other.object_ ? xpc_retain(other.object_) : nullptr) {}
    XPCRef(XPCRef&& other) noexcept : object_(other.object_) { other.object_ = nullptr; }
    XPCRef& operator=(XPCRef other) noexcept {
        std::swap(object_, other.object_);
        return *this;
    }
    ~XPCRef() {
        if (object_) xpc_release(object_);
    }
    xpc_object_t get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }

  private:
    xpc_object_t object_ = nullptr;
};
