// The two simulator HID transports over fakes: the digitizer messages, the XPC connection to a
// service of this process, and SimulatorKit's builders and client as fake functions and classes.
#include "HelperPlatform/Simulator/HIDTransports.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <latch>
#include <mutex>
#include <vector>

#include "HelperCore/Base/HelperFailure.hpp"
#include "SimulatedPlatform/Runtime/XPC/XPCService.hpp"
#include "Support/FailureOf.hpp"

using namespace tavrel;
using foreign::Arguments;
using foreign::ObjectRef;
using foreign::Value;

namespace {

using tavrel::testing::failureOf;

std::string keysOf(xpc_object_t dictionary) {
    std::string keys;
    xpc_dictionary_apply(dictionary, [&](const char* key, xpc_object_t) {
        keys += std::string(keys.empty() ? "" : ",") + key;
        return true;
    });
    return keys;
}

TEST(DTUHIDTransport, MessagesByStep) {
    auto touch = DTUHIDTransport::message(HIDStep::touch(DigitizerPhase::start, 0.5, 0.25));
    EXPECT_EQ(touch.type, "IndigoDigitizerEvent");
    EXPECT_EQ(keysOf(touch.payload.get()), "edge,eventType,pointOne,target");
    auto point = xpc_dictionary_get_value(touch.payload.get(), "pointOne");
    ASSERT_EQ(xpc_get_type(point), xpc_type_t::dictionary);
    EXPECT_EQ(keysOf(point), "x,y");
    EXPECT_EQ(xpc_get_type(xpc_dictionary_get_value(point, "x")), xpc_type_t::real);
    EXPECT_EQ(xpc_dictionary_get_double(point, "x"), 0.5);
    EXPECT_EQ(xpc_dictionary_get_double(point, "y"), 0.25);
    for (const char* key : {"eventType", "edge", "target"}) {
        EXPECT_EQ(xpc_get_type(xpc_dictionary_get_value(touch.payload.get(), key)),
                  xpc_type_t::uint64)
            << key;
        EXPECT_EQ(xpc_dictionary_get_uint64(touch.payload.get(), key), 0u) << key;
    }
    auto end = DTUHIDTransport::message(HIDStep::touch(DigitizerPhase::end, 1, 0));
    EXPECT_EQ(xpc_dictionary_get_uint64(end.payload.get(), "eventType"), 2u);
    EXPECT_EQ(xpc_dictionary_get_value(end.payload.get(), "pointTwo"), nullptr);

    struct Case {
        HIDStep step;
        const char* type;
        const char* keys;
        uint64_t page, code, state;
    };
    const Case cases[] = {
        {HIDStep::button(HIDUsage::menu, true), "IndigoButtonEvent", "state,usageCode,usagePage",
         12, 64, 1},
        {HIDStep::button(HIDUsage::menu, false), "IndigoButtonEvent", "state,usageCode,usagePage",
         12, 64, 2},
        {HIDStep::key(4, false), "IndigoKeyboardButtonEvent", "state,usageCode", 0, 4, 2},
        {HIDStep::key(65535, true), "IndigoKeyboardButtonEvent", "state,usageCode", 0, 65535, 1},
    };
    for (const auto& c : cases) {
        auto m = DTUHIDTransport::message(c.step);
        auto* p = m.payload.get();
        EXPECT_EQ(m.type, c.type) << c.step.description();
        EXPECT_EQ(keysOf(p), c.keys) << c.step.description();
        EXPECT_EQ(xpc_dictionary_get_uint64(p, "usagePage"), c.page) << c.step.description();
        EXPECT_EQ(xpc_dictionary_get_uint64(p, "usageCode"), c.code) << c.step.description();
        EXPECT_EQ(xpc_dictionary_get_uint64(p, "state"), c.state) << c.step.description();
    }
}

TEST(DTUHIDTransport, TheWholeMessage) {
    auto message = DTUHIDTransport::dictionary(HIDStep::key(40, true));
    auto* m = message.get();
    EXPECT_EQ(keysOf(m), "featureIdentifier,isBarrier,messageType,payload");
    EXPECT_STREQ(xpc_dictionary_get_string(m, "messageType"), "IndigoKeyboardButtonEvent");
    EXPECT_STREQ(xpc_dictionary_get_string(m, "featureIdentifier"),
                 "com.apple.coredevice.feature.remote.hid.digitizer");
    EXPECT_EQ(xpc_get_type(xpc_dictionary_get_value(m, "isBarrier")), xpc_type_t::boolean);
    EXPECT_FALSE(xpc_dictionary_get_bool(m, "isBarrier"));
    EXPECT_EQ(xpc_dictionary_get_uint64(xpc_dictionary_get_value(m, "payload"), "usageCode"), 40u);
}

// The system's calls, one of them hidden when `missing` names it.
RuntimeNames withoutSymbol(std::string missing) {
    auto names = RuntimeNames::process();
    auto find = names.symbol;
    names.symbol = [find, missing](const char* name) {
        return missing == name ? nullptr : find(name);
    };
    return names;
}

TEST(DTUHIDTransport, ConstructionFailures) {
    auto publishes = [](uint32_t port) {
        return [port](const std::string& name) -> std::optional<uint32_t> {
            EXPECT_EQ(name, DTUHIDTransport::service);
            return port;
        };
    };
    for (const char* call :
         {"xpc_endpoint_create_mach_port_4sim", "xpc_connection_create_from_endpoint",
          "xpc_connection_enable_sim2host_4sim"}) {
        auto failure = failureOf([&] { DTUHIDTransport(publishes(1), withoutSymbol(call)); });
        EXPECT_EQ(failure.status(), 502) << call;
        EXPECT_EQ(failure.message(), "this macOS has no XPC calls for a simulator's services");
    }

    auto unpublished = failureOf([] {
        DTUHIDTransport([](const std::string&) { return std::nullopt; }, RuntimeNames::process());
    });
    EXPECT_EQ(unpublished.status(), 502);
    EXPECT_EQ(unpublished.message(),
              "the simulator publishes no com.apple.coredevice.feature.remote.hid.digitizer");

    // A port that names no service gives no endpoint.
    auto noEndpoint =
        failureOf([&] { DTUHIDTransport(publishes(0xFFFFFF00u), RuntimeNames::process()); });
    EXPECT_EQ(noEndpoint.status(), 502);
    EXPECT_EQ(noEndpoint.message(),
              "no XPC connection to com.apple.coredevice.feature.remote.hid.digitizer");
}

// A digitizer service in this process that keeps what it receives.
struct Service {
    std::mutex lock;
    std::vector<XPCRef> received;
    std::latch release{1};
    bool blocks = false;
    xpc::ServiceListener listener{[this](xpc_object_t message) {
        {
            std::lock_guard guard(lock);
            received.emplace_back(xpc_retain(message));
        }
        if (blocks) release.wait();
    }};

    DTUHIDTransport::ServiceLookup lookup() {
        return [port = listener.port()](const std::string&) { return port; };
    }
};

TEST(DTUHIDTransport, SendsEveryStepAndReturnsOnceTaken) {
    Service service;
    {
        DTUHIDTransport transport(service.lookup(), RuntimeNames::process());
        EXPECT_EQ(transport.name(), "dtuhid");
        transport.send(HIDStep::touch(DigitizerPhase::start, 0.5, 0.25));
        transport.send(HIDStep::button(HIDUsage::power, false));
        // The barrier came back, so the service has handled both already.
        std::lock_guard guard(service.lock);
        ASSERT_EQ(service.received.size(), 2u);
        auto first = service.received[0].get();
        EXPECT_TRUE(xpc_equal(
            first,
            DTUHIDTransport::dictionary(HIDStep::touch(DigitizerPhase::start, 0.5, 0.25)).get()));
        EXPECT_STREQ(xpc_dictionary_get_string(service.received[1].get(), "messageType"),
                     "IndigoButtonEvent");
    }
}

TEST(DTUHIDTransport, ABarrierThatNeverComesBackFailsAfterTwoSeconds) {
    Service service;
    service.blocks = true;
    {
        DTUHIDTransport transport(service.lookup(), RuntimeNames::process());
        auto started = std::chrono::steady_clock::now();
        auto failure = failureOf([&] { transport.send(HIDStep::key(4, true)); });
        auto waited = std::chrono::steady_clock::now() - started;
        EXPECT_EQ(failure.status(), 504);
        EXPECT_EQ(failure.message(), "input to the simulator did not go out within 2 seconds");
        EXPECT_GE(waited, std::chrono::milliseconds(1990));
        EXPECT_LT(waited, std::chrono::seconds(4));
    }
    service.release.count_down();
}

// SimulatorKit's builders, recording their arguments.
struct BuilderCall {
    std::string builder;
    std::vector<double> arguments;
};
std::vector<BuilderCall> builderCalls;
bool buildersRefuse = false;

void* message(BuilderCall call) {
    builderCalls.push_back(std::move(call));
    return buildersRefuse ? nullptr : std::malloc(16);
}

void* fakeMouse(const double* point, const double* second, uint32_t target, uint32_t type,
                uint32_t flags, double width, double height) {
    return message({"mouse",
                    {point[0], point[1], second == nullptr ? 0.0 : 1.0, double(target),
                     double(type), double(flags), width, height}});
}
void* fakeButton(uint32_t target, uint32_t page, uint32_t usage, uint32_t operation) {
    return message({"button", {double(target), double(page), double(usage), double(operation)}});
}
void* fakeKey(uint32_t usage, uint32_t operation) {
    return message({"key", {double(usage), double(operation)}});
}

struct FakeClient : foreign::Object {
    using Object::Object;
    Value device;
};

struct ClientOptions {
    bool rootSubclass = true;
    bool initialiser = true;
    bool sender = true;
    enum { succeed, failWithError, failSilently, raise } init = succeed;
};

// Messages the fake client was sent: freeWhenDone, completion queue and block present.
std::vector<std::string> sent;

foreign::ClassRef clientClass(ClientOptions options) {
    auto cls = foreign::Class::make(IndigoTransport::clientClass,
                                    options.rootSubclass ? foreign::rootClass() : nullptr);
    cls->setAllocator(
        [](const foreign::ClassRef& isa) { return std::make_shared<FakeClient>(isa); });
    if (options.initialiser) {
        cls->addMethod(
            "initWithDevice:error:", [options](const ObjectRef& self, const Arguments& a) -> Value {
                switch (options.init) {
                    case ClientOptions::succeed:
                        static_cast<FakeClient&>(*self).device = foreign::argument(a, 0);
                        return self;
                    case ClientOptions::failWithError:
                        foreign::fail(foreign::argument(a, 1), "test", 1,
                                      "The device is not booted.");
                        return {};
                    case ClientOptions::failSilently:
                        return {};
                    case ClientOptions::raise:
                        foreign::raise("NSInternalInconsistencyException", "");
                }
                return {};
            });
    }
    if (options.sender) {
        cls->addMethod(IndigoTransport::sendSelector, [](const ObjectRef&, const Arguments& a) {
            void* message = foreign::argument(a, 0).asPointer();
            if (message == nullptr) foreign::raise("NSInvalidArgumentException", "no message");
            bool free = foreign::argument(a, 1).asBool().value_or(false);
            if (free) std::free(message);
            sent.push_back(std::string(free ? "free" : "keep") +
                           (foreign::argument(a, 2) ? " queue" : "") +
                           (foreign::argument(a, 3) ? " block" : ""));
            return Value();
        });
    }
    return cls;
}

RuntimeNames fakeSimulatorKit(ClientOptions options, std::string missing = "") {
    auto cls = clientClass(options);
    return RuntimeNames{
        [missing](const char* name) -> void* {
            if (missing == name) return nullptr;
            if (std::strcmp(name, "IndigoHIDMessageForMouseNSEvent") == 0)
                return reinterpret_cast<void*>(&fakeMouse);
            if (std::strcmp(name, "IndigoHIDMessageForHIDArbitrary") == 0)
                return reinterpret_cast<void*>(&fakeButton);
            if (std::strcmp(name, "IndigoHIDMessageForKeyboardArbitrary") == 0)
                return reinterpret_cast<void*>(&fakeKey);
            return nullptr;
        },
        [cls](const std::string& name) {
            return name == IndigoTransport::clientClass ? cls : nullptr;
        },
    };
}

TEST(DTUHIDTransport, TwoFingersGoInOneReport) {
    using Contact = HIDStep::Contact;
    struct Case {
        HIDStep step;
        const char* keys;
        double one[3];  // x, y, phase of "pointOne"/"eventType"
        double two[3];  // the same of "pointTwo"/"eventTypeTwo"
    };
    const Case cases[] = {
        {HIDStep::touch(Contact{DigitizerPhase::position, 0.25, 0.5},
                        Contact{DigitizerPhase::start, 0.75, 0.125}),
         "edge,eventType,eventTypeTwo,pointOne,pointTwo,target",
         {0.25, 0.5, 1},
         {0.75, 0.125, 0}},
        {HIDStep::touch(Contact{DigitizerPhase::end, 0.25, 0.5},
                        Contact{DigitizerPhase::position, 1, 0}),
         "edge,eventType,eventTypeTwo,pointOne,pointTwo,target",
         {0.25, 0.5, 2},
         {1, 0, 1}},
        {HIDStep::touch(std::nullopt, Contact{DigitizerPhase::end, 0.5, 0.5}),
         "edge,eventTypeTwo,pointTwo,target",
         {},
         {0.5, 0.5, 2}},
    };
    for (const auto& c : cases) {
        auto m = DTUHIDTransport::message(c.step);
        auto* p = m.payload.get();
        EXPECT_EQ(m.type, "IndigoDigitizerEvent");
        EXPECT_EQ(keysOf(p), c.keys) << c.step.description();
        auto expectFinger = [&](const char* pointKey, const char* phaseKey, const double* want) {
            auto point = xpc_dictionary_get_value(p, pointKey);
            if (!point) return;
            EXPECT_EQ(keysOf(point), "x,y");
            EXPECT_EQ(xpc_dictionary_get_double(point, "x"), want[0]) << c.step.description();
            EXPECT_EQ(xpc_dictionary_get_double(point, "y"), want[1]) << c.step.description();
            EXPECT_EQ(xpc_get_type(xpc_dictionary_get_value(p, phaseKey)), xpc_type_t::uint64);
            EXPECT_EQ(xpc_dictionary_get_uint64(p, phaseKey), want[2]) << c.step.description();
        };
        expectFinger("pointOne", "eventType", c.one);
        expectFinger("pointTwo", "eventTypeTwo", c.two);
    }
}

TEST(IndigoTransport, ConstructionFailures) {
    Value device = foreign::rootClass()->allocate();
    struct Case {
        RuntimeNames names;
        std::string message;
    };
    auto noClass = fakeSimulatorKit({});
    noClass.classNamed = [](const std::string&) { return nullptr; };
    const Case cases[] = {
        {fakeSimulatorKit({}, "IndigoHIDMessageForMouseNSEvent"),
         "this SimulatorKit has no Indigo message builders"},
        {fakeSimulatorKit({}, "IndigoHIDMessageForKeyboardArbitrary"),
         "this SimulatorKit has no Indigo message builders"},
        {noClass, "this SimulatorKit has no legacy HID client"},
        {fakeSimulatorKit({.rootSubclass = false}), "this SimulatorKit has no legacy HID client"},
        {fakeSimulatorKit({.initialiser = false}), "the legacy HID client cannot be made"},
        {fakeSimulatorKit({.init = ClientOptions::failWithError}),
         "the legacy HID client could not be made: The device is not booted."},
        {fakeSimulatorKit({.init = ClientOptions::failSilently}),
         "the legacy HID client could not be made: no reason"},
        {fakeSimulatorKit({.init = ClientOptions::raise}),
         "making the legacy HID client raised NSInternalInconsistencyException: no reason"},
        {fakeSimulatorKit({.sender = false}), "the legacy HID client cannot send"},
    };
    for (const auto& c : cases) {
        auto failure = failureOf([&] { IndigoTransport(device, c.names); });
        EXPECT_EQ(failure.status(), 502) << c.message;
        EXPECT_EQ(failure.message(), c.message);
    }
}

TEST(IndigoTransport, BuildsEachStepAndHandsItToTheClient) {
    Value device = foreign::rootClass()->allocate();
    IndigoTransport transport(device, fakeSimulatorKit({}));
    EXPECT_EQ(transport.name(), "indigo");
    builderCalls.clear();
    sent.clear();
    transport.send(HIDStep::touch(DigitizerPhase::start, 0.5, 0.25));
    transport.send(HIDStep::touch(DigitizerPhase::position, 0.75, 1));
    transport.send(HIDStep::touch(DigitizerPhase::end, 0, 0.125));
    transport.send(HIDStep::button(HIDUsage::voiceCommand, true));
    transport.send(HIDStep::button(HIDUsage::power, false));
    transport.send(HIDStep::key(4, true));
    transport.send(HIDStep::key(229, false));

    // Mouse: point, no second point, target 50, event type, flags, 1.0 x 1.0.
    const std::vector<BuilderCall> expected = {
        {"mouse", {0.5, 0.25, 0, 50, 1, 0, 1, 1}},
        {"mouse", {0.75, 1, 0, 50, 1, 0, 1, 1}},
        {"mouse", {0, 0.125, 0, 50, 2, 0, 1, 1}},
        {"button", {50, 12, 0xCF, 1}},
        {"button", {50, 12, 0x30, 2}},
        {"key", {4, 1}},
        {"key", {229, 2}},
    };
    ASSERT_EQ(builderCalls.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(builderCalls[i].builder, expected[i].builder) << i;
        EXPECT_EQ(builderCalls[i].arguments, expected[i].arguments) << i;
    }
    // Freed by SimulatorKit, with no completion queue or block.
    EXPECT_EQ(sent, std::vector<std::string>(expected.size(), "free"));
}

TEST(IndigoTransport, SendFailures) {
    Value device = foreign::rootClass()->allocate();
    IndigoTransport transport(device, fakeSimulatorKit({}));
    buildersRefuse = true;
    auto unbuilt = failureOf([&] { transport.send(HIDStep::key(4, true)); });
    buildersRefuse = false;
    EXPECT_EQ(unbuilt.status(), 502);
    EXPECT_EQ(unbuilt.message(), "SimulatorKit would not build an input message");

    // The client raises when it cannot take the message; the guard turns it into a failure.
    auto cls = clientClass({});
    cls->addMethod(IndigoTransport::sendSelector,
                   [](const ObjectRef&, const Arguments& a) -> Value {
                       std::free(foreign::argument(a, 0).asPointer());
                       foreign::raise("NSGenericException", "The device did not take the message.");
                   });
    auto names = fakeSimulatorKit({});
    names.classNamed = [cls](const std::string&) { return cls; };
    IndigoTransport raising(device, names);
    auto raised = failureOf([&] { raising.send(HIDStep::button(HIDUsage::menu, true)); });
    EXPECT_EQ(raised.status(), 502);
    EXPECT_EQ(raised.message(),
              "sending input raised NSGenericException: The device did not take the message.");
}

TEST(IndigoTransport, CarriesOneFingerAndBuildsNothingForASecond) {
    Value device = foreign::rootClass()->allocate();
    IndigoTransport transport(device, fakeSimulatorKit({}));
    EXPECT_EQ(transport.fingers(), 1);
    builderCalls.clear();
    sent.clear();
    using Contact = HIDStep::Contact;
    for (const HIDStep& step :
         {HIDStep::touch(Contact{DigitizerPhase::position, 0.5, 0.5},
                         Contact{DigitizerPhase::start, 0.1, 0.1}),
          HIDStep::touch(std::nullopt, Contact{DigitizerPhase::end, 0.1, 0.1})}) {
        auto refused = failureOf([&] { transport.send(step); });
        EXPECT_EQ(refused.status(), 409);
        EXPECT_EQ(refused.message(), "indigo input carries one finger");
    }
    EXPECT_TRUE(builderCalls.empty());
    EXPECT_TRUE(sent.empty());
}

}  // namespace
