// SimulatorKit's legacy HID client: takes Indigo messages and plays them on the device.
//
//   _TtC12SimulatorKit24SimDeviceLegacyHIDClient
//     -initWithDevice:error:   a CoreSimulator device that is booted; nil and an error otherwise
//     -sendWithMessage:freeWhenDone:completionQueue:completion:
//         returns once the device has applied the message; the completion (optional, on the
//         queue when one is given) receives nil or an error. Without a completion, a message
//         that could not be delivered raises, so that the failure is not lost.
#include <cstdlib>

#include "SimulatedPlatform/Device/DeviceLink/DeviceLink.hpp"
#include "SimulatedPlatform/Frameworks/SimulatorKit/Indigo.hpp"
#include "SimulatedPlatform/Runtime/Foreign/Object.hpp"

namespace tavrel::simkit {

using namespace foreign;

namespace {

constexpr const char* errorDomain = "SimulatorKit.SimDeviceLegacyHIDClient.Error";

struct ClientObject : Object {
    using Object::Object;
    std::unique_ptr<sim::DeviceLink> link;
    std::mutex lock;
    bool touching = false;  // a pointer went down and has not come up
};

sim::InputEvent inputEvent(ClientObject& client, const IndigoEvent& event) {
    switch (event.kind) {
        case IndigoEvent::Kind::pointer: {
            auto& info = client.link->info();
            double x = event.x * info.widthPt, y = event.y * info.heightPt;
            std::lock_guard guard(client.lock);
            auto phase = !event.down       ? sim::TouchPhase::end
                         : client.touching ? sim::TouchPhase::move
                                           : sim::TouchPhase::start;
            client.touching = event.down;
            return sim::InputEvent::touch(phase, x, y);
        }
        case IndigoEvent::Kind::button:
            return sim::InputEvent::button(event.usagePage, event.usage, event.down);
        case IndigoEvent::Kind::keyboard:
            return sim::InputEvent::key(event.usage, event.down);
    }
    return {};
}

Value initWithDevice(const ObjectRef& self, const Arguments& a) {
    auto& client = static_cast<ClientObject&>(*self);
    const Value& device = argument(a, 0);
    auto path = respondsTo(device, "devicePath") ? send(device, "devicePath") : Value();
    if (path.asString() == std::nullopt) {
        fail(argument(a, 1), errorDomain, 1, "The device is not a simulator device.");
        return {};
    }
    try {
        client.link = std::make_unique<sim::DeviceLink>(*path.asString());
    } catch (const std::exception& e) {
        fail(argument(a, 1), errorDomain, 2,
             std::string("The device cannot take input: ") + e.what());
        return {};
    }
    return self;
}

Value sendMessage(const ObjectRef& self, const Arguments& a) {
    auto& client = static_cast<ClientObject&>(*self);
    void* message = argument(a, 0).asPointer();
    bool freeWhenDone = argument(a, 1).asBool().value_or(false);
    auto queue = argument(a, 2).asExecutor();
    Value completion = argument(a, 3);

    auto event = decodeIndigo(message);
    if (freeWhenDone) std::free(message);
    if (!event) raise("NSInvalidArgumentException", "the message is not an Indigo HID message");
    if (!client.link) raise("NSInternalInconsistencyException", "the client was not initialised");

    Value error;
    try {
        client.link->send(inputEvent(client, *event));
    } catch (const std::exception& e) {
        error = makeError(errorDomain, 3,
                          std::string("The device did not take the message: ") + e.what());
    }
    if (!completion.asBlock()) {
        if (error)
            raise("NSGenericException", *valueForKey(error, "localizedDescription").asString());
        return {};
    }
    if (queue)
        queue->async([completion, error] { completion.call({error}); });
    else
        completion.call({error});
    return {};
}

[[gnu::constructor]] void registerSimulatorKit() {
    auto bundle = bundleContaining(reinterpret_cast<const void*>(&registerSimulatorKit));
    auto cls = Class::make("_TtC12SimulatorKit24SimDeviceLegacyHIDClient", rootClass(), bundle);
    cls->setAllocator([](const ClassRef& isa) { return std::make_shared<ClientObject>(isa); });
    cls->addMethod("initWithDevice:error:", initWithDevice);
    cls->addMethod("sendWithMessage:freeWhenDone:completionQueue:completion:", sendMessage);
    registerClass(cls);
}

}  // namespace

}  // namespace tavrel::simkit
