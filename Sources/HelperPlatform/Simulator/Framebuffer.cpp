#include "HelperPlatform/Simulator/Framebuffer.hpp"

#include <atomic>
#include <utility>

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperCore/Screenshot/Screen.hpp"
#include "HelperPlatform/Frameworks/ForeignCalls.hpp"
#include "SimulatedPlatform/Runtime/Foreign/Object.hpp"

namespace tavrel {

using foreign::Value;

namespace {

constexpr const char* displayPort = "com.apple.framebuffer.display";
constexpr const char* registerScreen =
    "registerScreenCallbacksWithUUID:callbackQueue:frameCallback:surfacesChangedCallback:"
    "propertiesChangedCallback:";
constexpr const char* unregisterScreen = "unregisterScreenCallbacksWithUUID:";
constexpr const char* registerSurfaces = "registerCallbackWithUUID:ioSurfacesChangeCallback:";
constexpr const char* registerDamage = "registerCallbackWithUUID:damageRectanglesCallback:";
constexpr const char* unregisterSurfaces = "unregisterIOSurfacesChangeCallbackWithUUID:";
constexpr const char* unregisterDamage = "unregisterDamageRectanglesCallbackWithUUID:";
constexpr std::uint32_t pixelFormatBGRA = 0x42475241;  // 'BGRA'

// The framebuffer's queue as the framework sees it. Work offered after the framebuffer is gone
// is dropped.
class SignalExecutor : public foreign::Executor {
  public:
    explicit SignalExecutor(std::function<void(std::function<void()>)> post)
        : post_(std::move(post)) {}
    void async(std::function<void()> work) override { post_(std::move(work)); }

  private:
    std::function<void(std::function<void()>)> post_;
};

// Keeps the framework's surface object (and with it the mapping of the pixels) alive, and holds
// the seed the pixels were read at.
struct SurfaceOwner {
    foreign::ObjectRef object;
    std::atomic<std::uint32_t> seed{0};
};

std::optional<std::int64_t> integerKey(const Value& object, const char* key) {
    if (!foreign::respondsTo(object, key)) return std::nullopt;
    return foreign::valueForKey(object, key).asInt64();
}

foreign::ObjectRef currentSurfaceObject(const Value& descriptor) {
    if (auto surface = ForeignCalls::object(descriptor, "framebufferSurface")) return surface;
    return ForeignCalls::object(descriptor, "ioSurface");
}

std::shared_ptr<const Surface> wrap(const foreign::ObjectRef& object) {
    Value value(object);
    auto width = integerKey(value, "width");
    auto height = integerKey(value, "height");
    auto bytesPerRow = integerKey(value, "bytesPerRow");
    auto seed = integerKey(value, "seed");
    if (!width || !height || !bytesPerRow || !seed) return nullptr;
    if (*width < 1 || *height < 1 || *width > 1 << 16 || *height > 1 << 16) return nullptr;
    if (*bytesPerRow < *width * 4) return nullptr;
    if (auto format = integerKey(value, "pixelFormat"); format && *format != pixelFormatBGRA)
        return nullptr;
    if (auto size = integerKey(value, "allocationSize"); size && *size < *bytesPerRow * *height)
        return nullptr;
    auto* pixels = static_cast<std::uint8_t*>(foreign::send(value, "baseAddress").asPointer());
    if (pixels == nullptr) return nullptr;
    auto owner = std::make_shared<SurfaceOwner>();
    owner->object = object;
    owner->seed = static_cast<std::uint32_t>(*seed);
    return std::make_shared<Surface>(pixels, static_cast<int>(*width), static_cast<int>(*height),
                                     static_cast<std::size_t>(*bytesPerRow), &owner->seed, owner);
}

}  // namespace

std::vector<Value> displayDescriptors(const Value& device) {
    return ForeignCalls::guarded("reading the device's ports", [&] {
        std::vector<Value> descriptors;
        auto io = ForeignCalls::object(device, "io");
        if (!io) return descriptors;
        if (foreign::respondsTo(io, "updateIOPorts")) foreign::send(io, "updateIOPorts");
        auto ports = foreign::valueForKey(io, "deviceIOPorts");
        auto list = ports.asList();
        if (!list) return descriptors;
        for (const auto& port : *list) {
            if (!foreign::respondsTo(port, "portIdentifier")) continue;
            auto identifier = foreign::send(port, "portIdentifier");
            if (identifier.isNil()) continue;
            auto text = identifier.asString();
            auto written = text ? std::string(*text) : identifier.describe();
            if (written != displayPort) continue;
            if (auto descriptor = ForeignCalls::object(port, "descriptor"))
                descriptors.emplace_back(descriptor);
        }
        return descriptors;
    });
}

std::shared_ptr<const Surface> displaySurface(const Value& descriptor) {
    try {
        return ForeignCalls::guarded("reading a display's surface", [&] {
            auto object = currentSurfaceObject(descriptor);
            return object ? wrap(object) : nullptr;
        });
    } catch (const HelperFailure&) {
        return nullptr;  // an unreadable display simply has no surface
    }
}

std::shared_ptr<Framebuffer> Framebuffer::make(std::shared_ptr<SimDeviceHandle> device,
                                               ScreenGeometry screen) {
    std::shared_ptr<Framebuffer> framebuffer(new Framebuffer(std::move(device), screen));
    framebuffer->registerDisplays();
    return framebuffer;
}

Framebuffer::Framebuffer(std::shared_ptr<SimDeviceHandle> device, ScreenGeometry screen)
    : device_(std::move(device)), screen_(screen), signal_("tavrel.framebuffer") {}

Framebuffer::~Framebuffer() {
    close();
}

void Framebuffer::registerDisplays() {
    auto descriptors = displayDescriptors(device_->object());
    if (descriptors.empty())
        throw HelperFailure("the simulator " + device_->udid() + " shows no display", 409);

    std::weak_ptr<Framebuffer> weak = weak_from_this();
    foreign::Block frame = [weak](const foreign::Arguments&) -> Value {
        if (auto self = weak.lock()) self->presented();
        return {};
    };
    foreign::Block nothing = [](const foreign::Arguments&) -> Value { return {}; };
    std::shared_ptr<foreign::Executor> queue =
        std::make_shared<SignalExecutor>([weak](std::function<void()> work) {
            if (auto self = weak.lock()) self->signal_.async(std::move(work));
        });

    // A failed registration ends the creation; the destructor lets go of those already made.
    for (const auto& descriptor : descriptors) {
        auto uuid = foreign::UUID::random();
        if (foreign::respondsTo(descriptor, registerScreen)) {
            ForeignCalls::guarded("registering for a display's frames", [&] {
                foreign::send(descriptor, registerScreen, uuid, queue, frame, frame, nothing);
            });
            std::lock_guard guard(lock_);
            registrations_.push_back({descriptor, uuid, true});
        } else if (foreign::respondsTo(descriptor, registerSurfaces)) {
            ForeignCalls::guarded("registering for a display's surfaces", [&] {
                foreign::send(descriptor, registerSurfaces, uuid, frame);
                foreign::send(descriptor, registerDamage, uuid, frame);
            });
            std::lock_guard guard(lock_);
            registrations_.push_back({descriptor, uuid, false});
        }
    }
    std::lock_guard guard(lock_);
    if (registrations_.empty())
        throw HelperFailure("this CoreSimulator's displays offer no frame callbacks Tavrel knows",
                            409);
}

void Framebuffer::presented() {
    signal_.notify();
}

std::optional<Picture> Framebuffer::picture() {
    std::vector<Value> descriptors;
    {
        std::lock_guard guard(lock_);
        for (const auto& registration : registrations_)
            descriptors.push_back(registration.descriptor);
    }
    std::vector<std::shared_ptr<const Surface>> surfaces;
    std::vector<std::pair<std::int64_t, std::int64_t>> sizes;
    for (const auto& descriptor : descriptors) {
        auto surface = displaySurface(descriptor);
        sizes.emplace_back(surface ? surface->width() : 0, surface ? surface->height() : 0);
        surfaces.push_back(std::move(surface));
    }
    auto chosen = SurfaceChoice::pick(sizes, screen_);
    if (!chosen || !surfaces[*chosen]) return std::nullopt;
    auto surface = surfaces[*chosen];
    return Picture{surface, static_cast<std::int64_t>(surface->seed()), nullptr};
}

Picture Framebuffer::pictureWaiting(double seconds) {
    return FrameSignal::waiting<Picture>(
        seconds, [this] { return picture(); },
        HelperFailure("the simulator has not drawn its screen yet", 503));
}

void Framebuffer::close() {
    std::vector<Registration> taken;
    {
        std::lock_guard guard(lock_);
        taken.swap(registrations_);
    }
    signal_.forgetAll();
    for (const auto& registration : taken) {
        try {
            ForeignCalls::guarded("letting go of a display", [&] {
                if (registration.modern) {
                    foreign::send(registration.descriptor, unregisterScreen, registration.uuid);
                } else {
                    foreign::send(registration.descriptor, unregisterSurfaces, registration.uuid);
                    foreign::send(registration.descriptor, unregisterDamage, registration.uuid);
                }
            });
        } catch (const HelperFailure&) {
            // The display is let go of as far as it allows; the next one still is.
        }
    }
}

std::size_t Framebuffer::registrationCount() const {
    std::lock_guard guard(lock_);
    return registrations_.size();
}

}  // namespace tavrel
