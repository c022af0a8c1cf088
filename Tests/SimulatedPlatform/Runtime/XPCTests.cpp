#include <dlfcn.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <vector>

#include "SimulatedPlatform/Runtime/XPC/XPC.hpp"
#include "SimulatedPlatform/Runtime/XPC/XPCObjects.hpp"
#include "SimulatedPlatform/Runtime/XPC/XPCService.hpp"

using namespace tavrel::xpc;
using namespace std::chrono_literals;

namespace {

XPCRef digitizerMessage() {
    XPCRef message(xpc_dictionary_create(nullptr, nullptr, 0));
    xpc_dictionary_set_string(message.get(), "messageType", "IndigoButtonEvent");
    xpc_dictionary_set_bool(message.get(), "isBarrier", false);
    XPCRef payload(xpc_dictionary_create(nullptr, nullptr, 0));
    xpc_dictionary_set_uint64(payload.get(), "usagePage", 12);
    xpc_dictionary_set_double(payload.get(), "x", 0.5);
    xpc_dictionary_set_value(message.get(), "payload", payload.get());
    return message;
}

// Collects what a service receives.
struct Received {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<XPCRef> messages;
    void add(xpc_object_t m) {
        std::lock_guard guard(lock);
        messages.emplace_back(xpc_retain(m));
        changed.notify_all();
    }
};

// A resumed connection to `port` whose barrier completions are counted.
XPCRef connectTo(uint32_t port, bool enable = true) {
    XPCRef endpoint(xpc_endpoint_create_mach_port_4sim(port));
    XPCRef connection(xpc_connection_create_from_endpoint(endpoint.get()));
    if (enable) xpc_connection_enable_sim2host_4sim(connection.get());
    return connection;
}

bool barrierWithin(xpc_connection_t connection, std::chrono::milliseconds limit) {
    auto done = std::make_shared<std::promise<void>>();
    auto future = done->get_future();
    xpc_connection_send_barrier(connection, [done] { done->set_value(); });
    return future.wait_for(limit) == std::future_status::ready;
}

}  // namespace

TEST(XPCWire, MessageFramesHaveAFixedLayoutAndRoundTrip) {
    XPCRef message(xpc_dictionary_create(nullptr, nullptr, 0));
    xpc_dictionary_set_uint64(message.get(), "k", 0x0102);
    xpc_dictionary_set_bool(message.get(), "b", true);
    auto frame = encodeFrame(FrameKind::message, message.get());
    std::vector<uint8_t> expected = {27,  0, 0, 0,     // length of what follows
                                     1,                // message frame
                                     'D', 2, 0, 0, 0,  // dictionary of two entries, keys in order
                                     1,   0, 0, 0, 'b', 'B', 1,     // "b": true
                                     1,   0, 0, 0, 'k', 'U', 2, 1,  // "k": uint64 0x0102
                                     0,   0, 0, 0, 0,   0};
    EXPECT_EQ(frame, expected);

    auto full = digitizerMessage();
    auto encoded = encodeFrame(FrameKind::message, full.get());
    auto decoded = decodeFrame(encoded.data() + 4, encoded.size() - 4);
    ASSERT_TRUE(decoded);
    XPCRef back(decoded->message);
    EXPECT_TRUE(xpc_equal(back.get(), full.get()));
    EXPECT_EQ(xpc_dictionary_get_double(xpc_dictionary_get_value(back.get(), "payload"), "x"), 0.5);

    // Truncated, trailing and over-deep input is refused, never read past.
    for (size_t cut = 0; cut < encoded.size() - 4; ++cut)
        EXPECT_FALSE(decodeFrame(encoded.data() + 4, cut)) << cut;
    auto trailing = std::vector<uint8_t>(encoded.begin() + 4, encoded.end());
    trailing.push_back(0);
    EXPECT_FALSE(decodeFrame(trailing.data(), trailing.size()));
    std::vector<uint8_t> deep = {1};
    for (int i = 0; i < 100; ++i) deep.insert(deep.end(), {'D', 1, 0, 0, 0, 1, 0, 0, 0, 'a'});
    EXPECT_FALSE(decodeFrame(deep.data(), deep.size()));
}

TEST(XPCDictionary, TypedGettersAnswerZeroForMissingOrOtherTypes) {
    auto message = digitizerMessage();
    EXPECT_STREQ(xpc_dictionary_get_string(message.get(), "messageType"), "IndigoButtonEvent");
    EXPECT_EQ(xpc_dictionary_get_string(message.get(), "isBarrier"), nullptr);
    EXPECT_EQ(xpc_dictionary_get_uint64(message.get(), "messageType"), 0u);
    EXPECT_EQ(xpc_dictionary_get_count(message.get()), 3u);
    xpc_dictionary_set_value(message.get(), "payload", nullptr);
    EXPECT_EQ(xpc_dictionary_get_count(message.get()), 2u);
    EXPECT_EQ(xpc_get_type(xpc_dictionary_get_value(message.get(), "payload")), xpc_type_t::none);
}

TEST(XPCConnection, DeliversMessagesInOrderAndRunsBarriersAfterThem) {
    Received received;
    ServiceListener service([&](xpc_object_t m) { received.add(m); });

    auto connection = connectTo(service.port());
    ASSERT_TRUE(connection);
    xpc_connection_set_event_handler(connection.get(), [](xpc_object_t) {});
    // Sent while suspended: goes out on resume, before anything later.
    XPCRef first(xpc_dictionary_create(nullptr, nullptr, 0));
    xpc_dictionary_set_uint64(first.get(), "n", 0);
    xpc_connection_send_message(connection.get(), first.get());
    xpc_connection_resume(connection.get());
    for (uint64_t n = 1; n < 50; ++n) {
        XPCRef m(xpc_dictionary_create(nullptr, nullptr, 0));
        xpc_dictionary_set_uint64(m.get(), "n", n);
        xpc_connection_send_message(connection.get(), m.get());
    }
    ASSERT_TRUE(barrierWithin(connection.get(), 2000ms));
    {
        std::lock_guard guard(received.lock);
        ASSERT_EQ(received.messages.size(), 50u);  // all handled before the barrier ran
        for (uint64_t n = 0; n < 50; ++n)
            EXPECT_EQ(xpc_dictionary_get_uint64(received.messages[n].get(), "n"), n);
    }
    xpc_connection_cancel(connection.get());
}

TEST(XPCConnection, ABarrierWaitsForAHandlerThatIsStillBusy) {
    std::mutex gate;
    std::unique_lock closed(gate);
    ServiceListener service([&](xpc_object_t) { std::lock_guard pass(gate); });
    auto connection = connectTo(service.port());
    xpc_connection_resume(connection.get());
    xpc_connection_send_message(connection.get(), digitizerMessage().get());
    EXPECT_FALSE(barrierWithin(connection.get(), 200ms));
    closed.unlock();
    EXPECT_TRUE(barrierWithin(connection.get(), 2000ms));
    xpc_connection_cancel(connection.get());
}

TEST(XPCConnection, RefusesWhatIsNotASimulatorServiceItMayReach) {
    EXPECT_EQ(xpc_endpoint_create_mach_port_4sim(0), nullptr);
    EXPECT_EQ(xpc_endpoint_create_mach_port_4sim(0x7fff0001), nullptr);
    EXPECT_EQ(xpc_connection_create_from_endpoint(nullptr), nullptr);
    EXPECT_EQ(xpc_connection_create_from_endpoint(digitizerMessage().get()), nullptr);

    // Not enabled for simulator-to-host use, or nobody listening: invalidated, barriers dropped.
    Received received;
    ServiceListener service([&](xpc_object_t m) { received.add(m); });
    uint32_t gonePort;
    {
        ServiceListener gone([](xpc_object_t) {});
        gonePort = gone.port();
    }
    for (auto [port, enable] : {std::pair{service.port(), false}, std::pair{gonePort, true}}) {
        auto connection = connectTo(port, enable);
        auto invalid = std::make_shared<std::promise<void>>();
        auto future = invalid->get_future();
        xpc_connection_set_event_handler(connection.get(), [invalid](xpc_object_t e) {
            if (e == XPC_ERROR_CONNECTION_INVALID) invalid->set_value();
        });
        xpc_connection_resume(connection.get());
        xpc_connection_send_message(connection.get(), digitizerMessage().get());
        EXPECT_EQ(future.wait_for(2s), std::future_status::ready);
        EXPECT_FALSE(barrierWithin(connection.get(), 100ms));
    }
    std::lock_guard guard(received.lock);
    EXPECT_TRUE(received.messages.empty());
}

TEST(XPCConnection, TheSimulatorCallsAreFoundByName) {
    for (auto name : {"xpc_endpoint_create_mach_port_4sim", "xpc_connection_create_from_endpoint",
                      "xpc_connection_enable_sim2host_4sim"})
        EXPECT_NE(dlsym(RTLD_DEFAULT, name), nullptr) << name;
}
