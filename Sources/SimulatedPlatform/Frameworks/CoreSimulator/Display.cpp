#include "SimulatedPlatform/Frameworks/CoreSimulator/Display.hpp"

#include <map>

namespace tavrel::coresim {

using namespace foreign;

namespace {

constexpr uint32_t pixelFormatBGRA = 0x42475241;  // 'BGRA'

struct SurfaceObject : Object {
    using Object::Object;
    std::shared_ptr<const sim::SurfaceSet> set;
    std::mutex lock;
    std::vector<sim::ReadLock> pins;  // newest last
};

struct PortObject : Object {
    using Object::Object;
    std::string identifier;
    ObjectRef descriptor;
};

struct IOObject : Object {
    using Object::Object;
    std::shared_ptr<DeviceConnection> device;
    std::mutex lock;
    List ports;
};

// Frames and surface changes fan out to the registered callbacks.
struct DescriptorObject : Object {
    using Object::Object;
    ~DescriptorObject() override {
        if (link && token != 0) link->unsubscribe(frameToken), link->unsubscribe(token);
    }

    struct Modern {
        std::shared_ptr<Executor> queue;
        Value frame, surfaces;

        // Modern callbacks run on the queue the registrant named, or in place without one.
        void deliver(const Value& block) const {
            if (queue)
                queue->async([block] { block.call(); });
            else
                block.call();
        }
    };
    std::shared_ptr<sim::DeviceLink> link;
    uint64_t frameToken = 0, token = 0;
    std::mutex lock;
    std::map<UUID, Modern> modern;
    std::map<UUID, Value> surfaceCallbacks, damageCallbacks;
    std::shared_ptr<const sim::SurfaceSet> shownSet;
    ObjectRef surface;

    ObjectRef currentSurface() {
        auto set = link->surfaces();
        std::lock_guard guard(lock);
        if (set != shownSet || !surface) {
            auto object =
                std::static_pointer_cast<SurfaceObject>(lookUpClass("IOSurface")->allocate());
            object->set = set;
            shownSet = set;
            surface = object;
        }
        return surface;
    }

    void framed(const sim::FrameNotice& notice) {
        std::vector<Modern> calls;
        std::vector<Value> damage;
        {
            std::lock_guard guard(lock);
            for (auto& [uuid, m] : modern) calls.push_back(m);
            for (auto& [uuid, d] : damageCallbacks) damage.push_back(d);
        }
        for (auto& m : calls) m.deliver(m.frame);
        if (damage.empty()) return;
        auto& info = link->info();
        List rects = {Rect{{0, 0}, {double(info.widthPx), double(info.heightPx)}}};
        (void)notice;
        for (auto& d : damage) d.call({Value(rects)});
    }

    void surfacesChanged() {
        std::vector<Modern> calls;
        std::vector<Value> changed;
        {
            std::lock_guard guard(lock);
            for (auto& [uuid, m] : modern) calls.push_back(m);
            for (auto& [uuid, c] : surfaceCallbacks) changed.push_back(c);
        }
        for (auto& m : calls) m.deliver(m.surfaces);
        if (changed.empty()) return;
        Value surface = currentSurface();
        for (auto& c : changed) c.call({surface});
    }

    // Subscribes to the device once, the first time anyone registers.
    void subscribe() {
        std::weak_ptr<DescriptorObject> weak =
            std::static_pointer_cast<DescriptorObject>(shared_from_this());
        {
            std::lock_guard guard(lock);
            if (token != 0) return;
            token = ~uint64_t{0};  // reserved while subscribing
        }
        auto frames = link->subscribeFrames([weak](const sim::FrameNotice& notice) {
            if (auto self = weak.lock()) self->framed(notice);
        });
        auto changes = link->subscribeSurfacesChanged([weak] {
            if (auto self = weak.lock()) self->surfacesChanged();
        });
        std::lock_guard guard(lock);
        frameToken = frames;
        token = changes;
    }
};

template <class T>
T& self(const ObjectRef& object) {
    return static_cast<T&>(*object);
}

UUID uuidArgument(const Arguments& a) {
    auto uuid = argument(a, 0).asUUID();
    if (!uuid) raise("NSInvalidArgumentException", "a callback registration needs a UUID");
    return *uuid;
}

Value requireBlock(const Value& block) {
    if (!block.asBlock()) raise("NSInvalidArgumentException", "a callback must be a block");
    return block;
}

void addSurfaceClass(const ClassRef& root, const std::filesystem::path& bundle) {
    auto cls = Class::make("IOSurface", root, bundle);
    cls->setAllocator([](const ClassRef& isa) { return std::make_shared<SurfaceObject>(isa); });
    auto number = [&](const char* selector, auto read) {
        cls->addMethod(selector, [read](const ObjectRef& o, const Arguments&) -> Value {
            return read(*self<SurfaceObject>(o).set);
        });
    };
    number("width", [](const sim::SurfaceSet& s) { return int64_t(s.width()); });
    number("height", [](const sim::SurfaceSet& s) { return int64_t(s.height()); });
    number("bytesPerRow", [](const sim::SurfaceSet& s) { return int64_t(s.bytesPerRow()); });
    number("allocationSize",
           [](const sim::SurfaceSet& s) { return int64_t(s.bytesPerRow()) * s.height(); });
    number("pixelFormat", [](const sim::SurfaceSet&) { return int64_t(pixelFormatBGRA); });
    number("seed", [](const sim::SurfaceSet& s) { return uint64_t(s.lastSeed()); });
    cls->addMethod("baseAddress", [](const ObjectRef& o, const Arguments&) -> Value {
        auto& surface = self<SurfaceObject>(o);
        std::lock_guard guard(surface.lock);
        if (!surface.pins.empty())
            return Value::pointer(const_cast<uint8_t*>(surface.pins.back().pixels()));
        return Value::pointer(const_cast<uint8_t*>(surface.set->front().pixels()));
    });
    cls->addMethod("lockWithOptions:seed:", [](const ObjectRef& o, const Arguments& a) -> Value {
        auto& surface = self<SurfaceObject>(o);
        auto pin = surface.set->lockFront();
        if (!pin) return int64_t{0xE00002D5};  // kIOReturnCannotLock
        if (auto slot = argument(a, 1).asSlot()) *slot = uint64_t{pin.seed()};
        std::lock_guard guard(surface.lock);
        surface.pins.push_back(std::move(pin));
        return int64_t{0};
    });
    cls->addMethod("unlockWithOptions:seed:", [](const ObjectRef& o, const Arguments& a) -> Value {
        auto& surface = self<SurfaceObject>(o);
        std::lock_guard guard(surface.lock);
        if (surface.pins.empty()) return int64_t{0xE00002CD};  // kIOReturnNotOpen
        if (auto slot = argument(a, 1).asSlot()) *slot = uint64_t{surface.pins.back().seed()};
        surface.pins.pop_back();
        return int64_t{0};
    });
    registerClass(cls);
}

void addDescriptorClasses(const ClassRef& root, const std::filesystem::path& bundle) {
    auto allocate = [](const ClassRef& isa) { return std::make_shared<DescriptorObject>(isa); };
    auto legacy = Class::make("SimDisplayLegacyDescriptor", root, bundle);
    legacy->setAllocator(allocate);
    legacy->addMethod("ioSurface", [](const ObjectRef& o, const Arguments&) -> Value {
        return self<DescriptorObject>(o).currentSurface();
    });
    legacy->addMethod("registerCallbackWithUUID:ioSurfacesChangeCallback:",
                      [](const ObjectRef& o, const Arguments& a) -> Value {
                          auto& d = self<DescriptorObject>(o);
                          auto uuid = uuidArgument(a);
                          auto block = requireBlock(argument(a, 1));
                          d.subscribe();
                          std::lock_guard guard(d.lock);
                          d.surfaceCallbacks[uuid] = block;
                          return {};
                      });
    legacy->addMethod("registerCallbackWithUUID:damageRectanglesCallback:",
                      [](const ObjectRef& o, const Arguments& a) -> Value {
                          auto& d = self<DescriptorObject>(o);
                          auto uuid = uuidArgument(a);
                          auto block = requireBlock(argument(a, 1));
                          d.subscribe();
                          std::lock_guard guard(d.lock);
                          d.damageCallbacks[uuid] = block;
                          return {};
                      });
    legacy->addMethod("unregisterIOSurfacesChangeCallbackWithUUID:",
                      [](const ObjectRef& o, const Arguments& a) -> Value {
                          auto& d = self<DescriptorObject>(o);
                          std::lock_guard guard(d.lock);
                          d.surfaceCallbacks.erase(uuidArgument(a));
                          return {};
                      });
    legacy->addMethod("unregisterDamageRectanglesCallbackWithUUID:",
                      [](const ObjectRef& o, const Arguments& a) -> Value {
                          auto& d = self<DescriptorObject>(o);
                          std::lock_guard guard(d.lock);
                          d.damageCallbacks.erase(uuidArgument(a));
                          return {};
                      });
    registerClass(legacy);

    // The modern descriptor is not a kind of the legacy one: it offers only the newer set.
    auto modern = Class::make("SimDisplayDescriptor", root, bundle);
    modern->setAllocator(allocate);
    for (auto selector : {"framebufferSurface", "ioSurface"}) {
        modern->addMethod(selector, [](const ObjectRef& o, const Arguments&) -> Value {
            return self<DescriptorObject>(o).currentSurface();
        });
    }
    modern->addMethod(
        "registerScreenCallbacksWithUUID:callbackQueue:frameCallback:surfacesChangedCallback:"
        "propertiesChangedCallback:",
        [](const ObjectRef& o, const Arguments& a) -> Value {
            auto& d = self<DescriptorObject>(o);
            auto uuid = uuidArgument(a);
            DescriptorObject::Modern m{argument(a, 1).asExecutor(), requireBlock(argument(a, 2)),
                                       requireBlock(argument(a, 3))};
            requireBlock(argument(a, 4));  // properties never change here
            d.subscribe();
            std::lock_guard guard(d.lock);
            d.modern[uuid] = std::move(m);
            return {};
        });
    modern->addMethod(
        "unregisterScreenCallbacksWithUUID:", [](const ObjectRef& o, const Arguments& a) -> Value {
            auto& d = self<DescriptorObject>(o);
            std::lock_guard guard(d.lock);
            d.modern.erase(uuidArgument(a));
            return {};
        });
    registerClass(modern);
}

void addPortClasses(const ClassRef& root, const std::filesystem::path& bundle) {
    auto port = Class::make("SimDeviceIOPort", root, bundle);
    port->setAllocator([](const ClassRef& isa) { return std::make_shared<PortObject>(isa); });
    port->addMethod("portIdentifier", [](const ObjectRef& o, const Arguments&) -> Value {
        return self<PortObject>(o).identifier;
    });
    port->addMethod("descriptor", [](const ObjectRef& o, const Arguments&) -> Value {
        return self<PortObject>(o).descriptor;
    });
    registerClass(port);

    auto io = Class::make("SimDeviceIO", root, bundle);
    io->setAllocator([](const ClassRef& isa) { return std::make_shared<IOObject>(isa); });
    io->addMethod("updateIOPorts", [](const ObjectRef& o, const Arguments&) -> Value {
        auto& object = self<IOObject>(o);
        List ports;
        try {
            auto link = object.device->link();
            auto display =
                std::static_pointer_cast<PortObject>(lookUpClass("SimDeviceIOPort")->allocate());
            display->identifier = "com.apple.framebuffer.display";
            auto descriptorClass =
                lookUpClass(object.device->modernRuntime() ? "SimDisplayDescriptor"
                                                           : "SimDisplayLegacyDescriptor");
            auto descriptor =
                std::static_pointer_cast<DescriptorObject>(descriptorClass->allocate());
            descriptor->link = link;
            display->descriptor = descriptor;
            // A port that is not a display, as a real device has several.
            auto audio =
                std::static_pointer_cast<PortObject>(lookUpClass("SimDeviceIOPort")->allocate());
            audio->identifier = "com.apple.audio.output";
            ports = {Value(audio), Value(display)};
        } catch (const sim::DeviceLinkError&) {
            // A device that is not running has no ports.
        }
        std::lock_guard guard(object.lock);
        object.ports = std::move(ports);
        return {};
    });
    io->addMethod("deviceIOPorts", [](const ObjectRef& o, const Arguments&) -> Value {
        auto& object = self<IOObject>(o);
        {
            std::lock_guard guard(object.lock);
            if (!object.ports.empty()) return object.ports;
        }
        send(o, "updateIOPorts");
        std::lock_guard guard(object.lock);
        return object.ports;
    });
    registerClass(io);
}

}  // namespace

void registerDisplayClasses(const std::filesystem::path& bundle) {
    auto root = rootClass();
    addSurfaceClass(root, bundle);
    addDescriptorClasses(root, bundle);
    addPortClasses(root, bundle);
}

ObjectRef makeDeviceIO(std::shared_ptr<DeviceConnection> device) {
    auto io = std::static_pointer_cast<IOObject>(lookUpClass("SimDeviceIO")->allocate());
    io->device = std::move(device);
    return io;
}

}  // namespace tavrel::coresim
