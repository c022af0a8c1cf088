// The CoreSimulator stand-in: registers its classes when loaded.
//
//   SimServiceContext  +sharedServiceContextForDeveloperDir:error:, -defaultDeviceSetWithError:
//   SimDeviceSet       "devices"
//   SimDevice          "UDID", "name", "stateString", "deviceType", "devicePath", "runtimeName",
//                      -io, -lookup:error:, -sendAccessibilityRequestAsync:completionQueue:
//                      completionHandler:
//   SimDeviceType      "name", -mainScreenSize, -mainScreenScale
// and the I/O classes of Display.hpp.
#include <map>
#include <nlohmann/json.hpp>

#include "SimulatedPlatform/Frameworks/CoreSimulator/DeviceConnection.hpp"
#include "SimulatedPlatform/Frameworks/CoreSimulator/DigitizerService.hpp"
#include "SimulatedPlatform/Frameworks/CoreSimulator/Display.hpp"
#include "SimulatedPlatform/Frameworks/CoreSimulator/WorkQueue.hpp"
#include "SimulatedPlatform/Runtime/Foreign/Object.hpp"

namespace tavrel::coresim {

using namespace foreign;

namespace {

constexpr const char* errorDomain = "com.apple.CoreSimulator.SimError";

template <class T>
T& self(const ObjectRef& object) {
    return static_cast<T&>(*object);
}

struct DeviceTypeObject : Object {
    using Object::Object;
    sim::DeviceType type;
};

struct DeviceObject : Object {
    using Object::Object;
    std::shared_ptr<DeviceConnection> device;
    std::mutex lock;
    ObjectRef io;
    std::unique_ptr<DigitizerService> digitizer;
    std::unique_ptr<WorkQueue> accessibility;  // last: drains before the rest goes
};

struct DeviceSetObject : Object {
    using Object::Object;
    sim::DeviceSet set;
    std::mutex lock;
    std::map<std::string, ObjectRef> devices;  // by UDID, so that a device stays one object
};

struct ContextObject : Object {
    using Object::Object;
    std::string developerDir;
    std::mutex lock;
    ObjectRef defaultSet;
};

ObjectRef makeDeviceType(const std::string& name) {
    auto type = sim::deviceType(name);
    if (!type) return nullptr;
    auto object =
        std::static_pointer_cast<DeviceTypeObject>(lookUpClass("SimDeviceType")->allocate());
    object->type = *type;
    return object;
}

// Sends an accessibility request to the device and hands the response to the completion.
void answerAccessibility(DeviceConnection& device, const Value& request,
                         std::shared_ptr<Executor> queue, Value completion) {
    Value response;
    try {
        auto encoded = send(request, "encodedRequest");
        if (auto text = encoded.asString()) {
            auto reply = device.link()->accessibility(nlohmann::json::parse(*text));
            response = send(lookUpClass("AXPTranslatorResponse"),
                            "responseWithEncodedResponse:", reply.dump());
        }
    } catch (...) {
        // No answer: the completion hears nil, as when the device does not reply.
        response = Value();
    }
    if (queue)
        queue->async([completion, response] { completion.call({response}); });
    else
        completion.call({response});
}

void addDeviceClasses(const ClassRef& root, const std::filesystem::path& bundle) {
    auto type = Class::make("SimDeviceType", root, bundle);
    type->setAllocator([](const ClassRef& isa) { return std::make_shared<DeviceTypeObject>(isa); });
    type->addMethod("name", [](const ObjectRef& o, const Arguments&) -> Value {
        return self<DeviceTypeObject>(o).type.name;
    });
    type->addMethod("mainScreenSize", [](const ObjectRef& o, const Arguments&) -> Value {
        auto& t = self<DeviceTypeObject>(o).type;
        return Size{double(t.widthPx), double(t.heightPx)};
    });
    type->addMethod("mainScreenScale", [](const ObjectRef& o, const Arguments&) -> Value {
        return static_cast<float>(self<DeviceTypeObject>(o).type.scale);
    });
    registerClass(type);

    auto device = Class::make("SimDevice", root, bundle);
    device->setAllocator([](const ClassRef& isa) { return std::make_shared<DeviceObject>(isa); });
    auto record = [&](const char* selector, auto read) {
        device->addMethod(selector, [read](const ObjectRef& o, const Arguments&) -> Value {
            return read(*self<DeviceObject>(o).device);
        });
    };
    record("UDID", [](DeviceConnection& d) -> Value {
        auto uuid = UUID::parse(d.record().udid);
        return uuid ? Value(*uuid) : Value();
    });
    record("name", [](DeviceConnection& d) -> Value { return d.record().name; });
    record("stateString", [](DeviceConnection& d) -> Value { return d.state(); });
    record("devicePath",
           [](DeviceConnection& d) -> Value { return d.record().directory.string(); });
    record("runtimeName", [](DeviceConnection& d) -> Value { return d.record().runtime; });
    record("deviceType",
           [](DeviceConnection& d) -> Value { return makeDeviceType(d.record().type); });
    device->addMethod("io", [](const ObjectRef& o, const Arguments&) -> Value {
        auto& d = self<DeviceObject>(o);
        std::lock_guard guard(d.lock);
        if (!d.io) d.io = makeDeviceIO(d.device);
        return d.io;
    });
    device->addMethod("lookup:error:", [](const ObjectRef& o, const Arguments& a) -> Value {
        auto& d = self<DeviceObject>(o);
        auto name = argument(a, 0).asString();
        bool published = name.has_value() && *name == digitizerServiceName &&
                         d.device->modernRuntime() && d.device->state() == "Booted";
        if (!published) {
            fail(argument(a, 1), errorDomain, 2,
                 "No service " + (name ? *name : std::string("(none)")) + " on this device.");
            return uint64_t{0};
        }
        std::lock_guard guard(d.lock);
        try {
            if (!d.digitizer) d.digitizer = std::make_unique<DigitizerService>(d.device);
        } catch (const std::exception& e) {
            fail(argument(a, 1), errorDomain, 3, e.what());
            return uint64_t{0};
        }
        return uint64_t{d.digitizer->port()};
    });
    device->addMethod(
        "sendAccessibilityRequestAsync:completionQueue:completionHandler:",
        [](const ObjectRef& o, const Arguments& a) -> Value {
            auto completion = argument(a, 2);
            if (!completion.asBlock())
                raise("NSInvalidArgumentException", "an accessibility request needs a completion");
            auto device = std::static_pointer_cast<DeviceObject>(o);
            std::lock_guard guard(device->lock);
            if (!device->accessibility) device->accessibility = std::make_unique<WorkQueue>();
            // The work holds the connection, not the device object, so that the device object is
            // never let go of on its own worker (whose destructor joins that worker).
            device->accessibility->async([connection = device->device, request = argument(a, 0),
                                          queue = argument(a, 1).asExecutor(), completion] {
                answerAccessibility(*connection, request, queue, completion);
            });
            return {};
        });
    registerClass(device);
}

void addServiceClasses(const ClassRef& root, const std::filesystem::path& bundle) {
    auto set = Class::make("SimDeviceSet", root, bundle);
    set->setAllocator([](const ClassRef& isa) { return std::make_shared<DeviceSetObject>(isa); });
    set->addMethod("devices", [](const ObjectRef& o, const Arguments&) -> Value {
        auto& s = self<DeviceSetObject>(o);
        List devices;
        auto records = s.set.devices();
        std::lock_guard guard(s.lock);
        for (auto& record : records) {
            auto& object = s.devices[record.udid];
            if (!object) {
                auto device =
                    std::static_pointer_cast<DeviceObject>(lookUpClass("SimDevice")->allocate());
                device->device = std::make_shared<DeviceConnection>(record);
                object = device;
            }
            devices.emplace_back(object);
        }
        return devices;
    });
    registerClass(set);

    auto context = Class::make("SimServiceContext", root, bundle);
    context->setAllocator([](const ClassRef& isa) { return std::make_shared<ContextObject>(isa); });
    context->addClassMethod(
        "sharedServiceContextForDeveloperDir:error:",
        [](const ObjectRef& cls, const Arguments& a) -> Value {
            // One context per developer directory while anyone holds it.
            static std::mutex lock;
            static std::map<std::string, std::weak_ptr<Object>> contexts;
            auto dir = argument(a, 0).asString();
            std::error_code error;
            if (!dir || !std::filesystem::is_directory(*dir, error)) {
                fail(argument(a, 1), errorDomain, 1,
                     "The developer directory " + (dir ? *dir : std::string("(none)")) +
                         " does not exist.");
                return {};
            }
            std::lock_guard guard(lock);
            if (auto shared = contexts[*dir].lock()) return shared;
            auto made =
                std::static_pointer_cast<ContextObject>(static_cast<Class&>(*cls).allocate());
            made->developerDir = *dir;
            contexts[*dir] = made;
            return made;
        });
    context->addMethod("developerDir", [](const ObjectRef& o, const Arguments&) -> Value {
        return self<ContextObject>(o).developerDir;
    });
    context->addMethod(
        "defaultDeviceSetWithError:", [](const ObjectRef& o, const Arguments&) -> Value {
            auto& c = self<ContextObject>(o);
            std::lock_guard guard(c.lock);
            if (!c.defaultSet) c.defaultSet = lookUpClass("SimDeviceSet")->allocate();
            return c.defaultSet;
        });
    registerClass(context);
}

[[gnu::constructor]] void registerCoreSimulator() {
    auto bundle = bundleContaining(reinterpret_cast<const void*>(&registerCoreSimulator));
    auto root = rootClass();
    registerDisplayClasses(bundle);
    addDeviceClasses(root, bundle);
    addServiceClasses(root, bundle);
}

}  // namespace

}  // namespace tavrel::coresim
