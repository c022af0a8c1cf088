// The camera-interface stand-in (laid out as AVFoundation): the screens of plugged simulated
// devices as external capture devices. Registers its classes when loaded.
//
//   CMIOObjectSetPropertyData                 exported C function; setting 'yes ' (allow screen
//                                             capture devices) to 1 makes them appear
//   AVCaptureDevice                           "uniqueID", "localizedName", "isConnected",
//                                             "deviceType"; +authorizationStatusForMediaType:
//                                             (0 not determined, 2 denied, 3 authorised),
//                                             +requestAccessForMediaType:completionHandler:
//   AVCaptureDeviceDiscoverySession           +discoverySessionWithDeviceTypes:mediaType:
//                                             position:, "devices" (screen devices first)
//   AVCaptureDeviceInput                      +deviceInputWithDevice:error:
//   AVCaptureVideoDataOutput                  -setVideoSettings:, -setAlwaysDiscardsLate
//                                             VideoFrames:, -setSampleBufferDelegate:queue:
//                                             (the delegate is a block of one sample buffer)
//   AVCaptureSession                          -beginConfiguration, -commitConfiguration,
//                                             -canAddInput:, -addInput:, -canAddOutput:,
//                                             -addOutput:, -startRunning, -stopRunning,
//                                             "isRunning"
//   CMSampleBuffer                            -imageBuffer
//   CVPixelBuffer                             "width", "height", "bytesPerRow", "pixelFormat",
//                                             "baseAddress", -ioSurface (itself)
//
// A running session sends the device's current frame at once and then one for each frame the
// device draws, copied into a buffer the capture owns (turned a quarter counter-clockwise for
// a landscape capture), on the delegate's queue.
#include <libyuv/rotate_argb.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "SimulatedPlatform/Device/DeviceLink/CaptureSet.hpp"
#include "SimulatedPlatform/Device/DeviceLink/DeviceLink.hpp"
#include "SimulatedPlatform/Runtime/Foreign/Object.hpp"

namespace tavrel::capturedevices {

using namespace foreign;

namespace {

constexpr const char* errorDomain = "AVFoundationErrorDomain";
constexpr const char* externalType = "AVCaptureDeviceTypeExternal";
constexpr const char* mediaMuxed = "muxx";
constexpr const char* mediaVideo = "vide";
constexpr uint32_t pixelFormatBGRA = 0x42475241;  // 'BGRA'
constexpr int64_t notDetermined = 0, denied = 2, authorized = 3;

std::atomic<bool> screenDevicesAllowed{false};

template <class T>
T& self(const ObjectRef& object) {
    return static_cast<T&>(*object);
}

// Owned BGRA pixels, returned to their pool when the last sample buffer lets go.
class BufferPool : public std::enable_shared_from_this<BufferPool> {
  public:
    struct Buffer {
        std::vector<uint8_t> bytes;
        int width = 0, height = 0;
        size_t bytesPerRow = 0;
    };

    std::shared_ptr<Buffer> take(int width, int height) {
        std::unique_ptr<Buffer> buffer;
        {
            std::lock_guard guard(lock_);
            if (width != width_ || height != height_) free_.clear();
            width_ = width, height_ = height;
            if (!free_.empty()) {
                buffer = std::move(free_.back());
                free_.pop_back();
            }
        }
        if (!buffer) {
            buffer = std::make_unique<Buffer>();
            buffer->width = width, buffer->height = height;
            buffer->bytesPerRow = size_t(width) * 4;
            buffer->bytes.resize(buffer->bytesPerRow * size_t(height));
        }
        std::weak_ptr<BufferPool> pool = weak_from_this();
        return std::shared_ptr<Buffer>(buffer.release(), [pool](Buffer* returned) {
            std::unique_ptr<Buffer> owned(returned);
            if (auto alive = pool.lock()) alive->give(std::move(owned));
        });
    }

  private:
    // A few frames are in use at once (queued, latest, being encoded); more are not kept.
    static constexpr size_t kept = 4;

    void give(std::unique_ptr<Buffer> buffer) {
        std::lock_guard guard(lock_);
        if (buffer->width == width_ && buffer->height == height_ && free_.size() < kept)
            free_.push_back(std::move(buffer));
    }

    std::mutex lock_;
    int width_ = 0, height_ = 0;
    std::vector<std::unique_ptr<Buffer>> free_;
};

struct PixelBufferObject : Object {
    using Object::Object;
    std::shared_ptr<BufferPool::Buffer> buffer;
};

struct SampleBufferObject : Object {
    using Object::Object;
    ObjectRef imageBuffer;
};

struct DeviceObject : Object {
    using Object::Object;
    sim::CaptureRecord record;
};

struct DiscoveryObject : Object {
    using Object::Object;
    bool external = false;
};

struct InputObject : Object {
    using Object::Object;
    ObjectRef device;
};

struct OutputObject : Object {
    using Object::Object;
    std::mutex lock;
    Value delegate;
    std::shared_ptr<Executor> queue;
    bool discardsLate = true;
};

// What a running session shares with the link's delivery thread.
struct Delivery {
    sim::CaptureRecord record;
    std::shared_ptr<OutputObject> output;
    std::shared_ptr<BufferPool> pool = std::make_shared<BufferPool>();
    std::atomic<int> inFlight{0};

    void deliver(sim::DeviceLink& link, const std::shared_ptr<Delivery>& self) {
        if (!sim::captureConnected(record)) return;  // the cable is pulled: nothing comes
        Value delegate;
        std::shared_ptr<Executor> queue;
        bool discards = true;
        {
            std::lock_guard guard(output->lock);
            delegate = output->delegate;
            queue = output->queue;
            discards = output->discardsLate;
        }
        if (!delegate.asBlock()) return;
        if (discards && inFlight.load() > 0) return;  // the reader has not taken the last yet

        auto surfaces = link.surfaces();
        const int width = int(surfaces->width()), height = int(surfaces->height());
        auto frame = surfaces->lockFront();
        if (!frame) return;
        auto buffer = record.landscape ? pool->take(height, width) : pool->take(width, height);
        if (record.landscape) {
            libyuv::ARGBRotate(frame.pixels(), int(surfaces->bytesPerRow()), buffer->bytes.data(),
                               int(buffer->bytesPerRow), width, height, libyuv::kRotate270);
        } else {
            for (int y = 0; y < height; ++y)
                std::memcpy(buffer->bytes.data() + size_t(y) * buffer->bytesPerRow,
                            frame.pixels() + size_t(y) * surfaces->bytesPerRow(),
                            size_t(width) * 4);
        }
        frame = sim::ReadLock();

        auto pixels =
            std::static_pointer_cast<PixelBufferObject>(lookUpClass("CVPixelBuffer")->allocate());
        pixels->buffer = std::move(buffer);
        auto sample =
            std::static_pointer_cast<SampleBufferObject>(lookUpClass("CMSampleBuffer")->allocate());
        sample->imageBuffer = pixels;
        ++inFlight;
        auto call = [self, delegate, sample] {
            delegate.call({Value(sample)});
            --self->inFlight;
        };
        if (queue)
            queue->async(std::move(call));
        else
            call();
    }
};

struct SessionObject : Object {
    using Object::Object;
    ~SessionObject() override { stop(); }

    std::mutex lock;
    std::shared_ptr<InputObject> input;
    std::shared_ptr<OutputObject> output;
    std::shared_ptr<sim::DeviceLink> link;
    uint64_t token = 0;

    bool running() {
        std::lock_guard guard(lock);
        return link != nullptr;
    }

    void start() {
        std::shared_ptr<Delivery> delivery;
        {
            std::lock_guard guard(lock);
            if (link || !input || !output) return;
            delivery = std::make_shared<Delivery>();
            delivery->record = self<DeviceObject>(input->device).record;
            delivery->output = output;
        }
        // A device that is gone leaves the session stopped, as a capture whose device was
        // unplugged does.
        if (!sim::captureConnected(delivery->record)) return;
        std::shared_ptr<sim::DeviceLink> made;
        try {
            made = std::make_shared<sim::DeviceLink>(delivery->record.directory);
        } catch (const std::exception&) {
            return;
        }
        // The link calls back only while it lives and the subscription stands, so the callback
        // never owns it (a link must not end on its own delivery thread).
        auto token = made->subscribeFrames([delivery, link = made.get()](const sim::FrameNotice&) {
            delivery->deliver(*link, delivery);
        });
        // The screen as it stands, so that a still screen shows at once.
        delivery->deliver(*made, delivery);
        std::lock_guard guard(lock);
        link = made;
        this->token = token;
    }

    void stop() {
        std::shared_ptr<sim::DeviceLink> taken;
        uint64_t takenToken = 0;
        {
            std::lock_guard guard(lock);
            taken = std::move(link);
            takenToken = std::exchange(token, 0);
        }
        if (taken) taken->unsubscribe(takenToken);
    }
};

ObjectRef deviceObject(const sim::CaptureRecord& record) {
    // One object per capture device while anyone holds it, as the original keeps them.
    static std::mutex lock;
    static std::map<std::string, std::weak_ptr<Object>> devices;
    std::lock_guard guard(lock);
    if (auto existing = devices[record.id].lock()) return existing;
    auto made = std::static_pointer_cast<DeviceObject>(lookUpClass("AVCaptureDevice")->allocate());
    made->record = record;
    devices[record.id] = made;
    return made;
}

int64_t authorizationStatus() {
    const auto permission = sim::cameraPermission();
    if (permission == "denied") return denied;
    if (permission == "undetermined") return notDetermined;
    return authorized;
}

// Requests waiting for a fixture to answer, joined when the framework is unloaded.
class PendingRequests {
  public:
    ~PendingRequests() {
        std::lock_guard guard(lock_);
        threads_.clear();
    }
    void add(Value completion) {
        std::lock_guard guard(lock_);
        threads_.emplace_back([completion](std::stop_token stop) {
            while (!stop.stop_requested() && authorizationStatus() == notDetermined)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            completion.call({Value(authorizationStatus() == authorized)});
        });
    }

  private:
    std::mutex lock_;
    std::vector<std::jthread> threads_;
};

PendingRequests& pendingRequests() {
    static PendingRequests requests;
    return requests;
}

void addBufferClasses(const ClassRef& root, const std::filesystem::path& bundle) {
    auto pixels = Class::make("CVPixelBuffer", root, bundle);
    pixels->setAllocator(
        [](const ClassRef& isa) { return std::make_shared<PixelBufferObject>(isa); });
    auto number = [&](const char* selector, auto read) {
        pixels->addMethod(selector, [read](const ObjectRef& o, const Arguments&) -> Value {
            return read(*self<PixelBufferObject>(o).buffer);
        });
    };
    number("width", [](const BufferPool::Buffer& b) { return int64_t(b.width); });
    number("height", [](const BufferPool::Buffer& b) { return int64_t(b.height); });
    number("bytesPerRow", [](const BufferPool::Buffer& b) { return int64_t(b.bytesPerRow); });
    number("pixelFormat", [](const BufferPool::Buffer&) { return int64_t(pixelFormatBGRA); });
    pixels->addMethod("baseAddress", [](const ObjectRef& o, const Arguments&) -> Value {
        return Value::pointer(self<PixelBufferObject>(o).buffer->bytes.data());
    });
    pixels->addMethod("ioSurface", [](const ObjectRef& o, const Arguments&) -> Value { return o; });
    registerClass(pixels);

    auto sample = Class::make("CMSampleBuffer", root, bundle);
    sample->setAllocator(
        [](const ClassRef& isa) { return std::make_shared<SampleBufferObject>(isa); });
    sample->addMethod("imageBuffer", [](const ObjectRef& o, const Arguments&) -> Value {
        return self<SampleBufferObject>(o).imageBuffer;
    });
    registerClass(sample);
}

void addDeviceClasses(const ClassRef& root, const std::filesystem::path& bundle) {
    auto device = Class::make("AVCaptureDevice", root, bundle);
    device->setAllocator([](const ClassRef& isa) { return std::make_shared<DeviceObject>(isa); });
    device->addMethod("uniqueID", [](const ObjectRef& o, const Arguments&) -> Value {
        return self<DeviceObject>(o).record.id;
    });
    device->addMethod("localizedName", [](const ObjectRef& o, const Arguments&) -> Value {
        return self<DeviceObject>(o).record.name;
    });
    device->addMethod("deviceType",
                      [](const ObjectRef&, const Arguments&) -> Value { return externalType; });
    device->addMethod("isConnected", [](const ObjectRef& o, const Arguments&) -> Value {
        return sim::captureConnected(self<DeviceObject>(o).record);
    });
    device->addClassMethod(
        "authorizationStatusForMediaType:", [](const ObjectRef&, const Arguments&) -> Value {
            return authorizationStatus();
        });
    device->addClassMethod("requestAccessForMediaType:completionHandler:",
                           [](const ObjectRef&, const Arguments& a) -> Value {
                               auto completion = argument(a, 1);
                               if (!completion.asBlock())
                                   raise("NSInvalidArgumentException",
                                         "an access request needs a completion");
                               if (authorizationStatus() != notDetermined) {
                                   completion.call({Value(authorizationStatus() == authorized)});
                               } else {
                                   pendingRequests().add(completion);
                               }
                               return {};
                           });
    registerClass(device);

    auto discovery = Class::make("AVCaptureDeviceDiscoverySession", root, bundle);
    discovery->setAllocator(
        [](const ClassRef& isa) { return std::make_shared<DiscoveryObject>(isa); });
    discovery->addClassMethod(
        "discoverySessionWithDeviceTypes:mediaType:position:",
        [](const ObjectRef& cls, const Arguments& a) -> Value {
            auto made =
                std::static_pointer_cast<DiscoveryObject>(static_cast<Class&>(*cls).allocate());
            auto media = argument(a, 1).asString();
            if (auto types = argument(a, 0).asList()) {
                for (const auto& type : *types)
                    if (type.asString() == std::optional<std::string>(externalType))
                        made->external = !media || *media == mediaMuxed || *media == mediaVideo;
            }
            return made;
        });
    discovery->addMethod("devices", [](const ObjectRef& o, const Arguments&) -> Value {
        List devices;
        // Screens of cabled devices are the only external devices here, so they come first.
        if (!self<DiscoveryObject>(o).external || !screenDevicesAllowed.load()) return devices;
        for (const auto& record : sim::captureDevices(sim::DeviceSet()))
            devices.emplace_back(deviceObject(record));
        return devices;
    });
    registerClass(discovery);
}

void addSessionClasses(const ClassRef& root, const std::filesystem::path& bundle) {
    auto input = Class::make("AVCaptureDeviceInput", root, bundle);
    input->setAllocator([](const ClassRef& isa) { return std::make_shared<InputObject>(isa); });
    input->addClassMethod(
        "deviceInputWithDevice:error:", [](const ObjectRef& cls, const Arguments& a) -> Value {
            auto device = argument(a, 0).as<DeviceObject>();
            if (!device) raise("NSInvalidArgumentException", "an input needs a capture device");
            if (!sim::captureConnected(device->record)) {
                fail(argument(a, 1), errorDomain, -11814, "Cannot Record");
                return {};
            }
            auto made = std::static_pointer_cast<InputObject>(static_cast<Class&>(*cls).allocate());
            made->device = device;
            return made;
        });
    registerClass(input);

    auto output = Class::make("AVCaptureVideoDataOutput", root, bundle);
    output->setAllocator([](const ClassRef& isa) { return std::make_shared<OutputObject>(isa); });
    output->addMethod("setVideoSettings:", [](const ObjectRef&, const Arguments& a) -> Value {
        auto settings = argument(a, 0).asDictionary();
        if (settings) {
            auto format = settings->find("PixelFormatType");
            if (format != settings->end() && format->second.asUInt64() != pixelFormatBGRA)
                raise("NSInvalidArgumentException", "only 32-bit BGRA is offered");
        }
        return {};
    });
    output->addMethod(
        "setAlwaysDiscardsLateVideoFrames:", [](const ObjectRef& o, const Arguments& a) -> Value {
            auto& out = self<OutputObject>(o);
            std::lock_guard guard(out.lock);
            out.discardsLate = argument(a, 0).asBool().value_or(true);
            return {};
        });
    output->addMethod(
        "setSampleBufferDelegate:queue:", [](const ObjectRef& o, const Arguments& a) -> Value {
            auto& out = self<OutputObject>(o);
            std::lock_guard guard(out.lock);
            out.delegate = argument(a, 0);
            out.queue = argument(a, 1).asExecutor();
            return {};
        });
    registerClass(output);

    auto session = Class::make("AVCaptureSession", root, bundle);
    session->setAllocator([](const ClassRef& isa) { return std::make_shared<SessionObject>(isa); });
    auto nothing = [](const ObjectRef&, const Arguments&) -> Value { return {}; };
    session->addMethod("beginConfiguration", nothing);
    session->addMethod("commitConfiguration", nothing);
    session->addMethod("canAddInput:", [](const ObjectRef& o, const Arguments& a) -> Value {
        auto& s = self<SessionObject>(o);
        std::lock_guard guard(s.lock);
        return !s.input && argument(a, 0).as<InputObject>() != nullptr;
    });
    session->addMethod("addInput:", [](const ObjectRef& o, const Arguments& a) -> Value {
        auto& s = self<SessionObject>(o);
        auto added = argument(a, 0).as<InputObject>();
        std::lock_guard guard(s.lock);
        if (s.input || !added) raise("NSInvalidArgumentException", "the input cannot be added");
        s.input = added;
        return {};
    });
    session->addMethod("canAddOutput:", [](const ObjectRef& o, const Arguments& a) -> Value {
        auto& s = self<SessionObject>(o);
        std::lock_guard guard(s.lock);
        return !s.output && argument(a, 0).as<OutputObject>() != nullptr;
    });
    session->addMethod("addOutput:", [](const ObjectRef& o, const Arguments& a) -> Value {
        auto& s = self<SessionObject>(o);
        auto added = argument(a, 0).as<OutputObject>();
        std::lock_guard guard(s.lock);
        if (s.output || !added) raise("NSInvalidArgumentException", "the output cannot be added");
        s.output = added;
        return {};
    });
    session->addMethod("startRunning", [](const ObjectRef& o, const Arguments&) -> Value {
        self<SessionObject>(o).start();
        return {};
    });
    session->addMethod("stopRunning", [](const ObjectRef& o, const Arguments&) -> Value {
        self<SessionObject>(o).stop();
        return {};
    });
    session->addMethod("isRunning", [](const ObjectRef& o, const Arguments&) -> Value {
        return self<SessionObject>(o).running();
    });
    registerClass(session);
}

[[gnu::constructor]] void registerCaptureDevices() {
    auto bundle = bundleContaining(reinterpret_cast<const void*>(&registerCaptureDevices));
    auto root = rootClass();
    addBufferClasses(root, bundle);
    addDeviceClasses(root, bundle);
    addSessionClasses(root, bundle);
}

}  // namespace

}  // namespace tavrel::capturedevices

// CoreMediaIO's property setter, as far as the helper needs it: allowing screen capture
// devices on the system object.
extern "C" {

struct CMIOObjectPropertyAddress {
    uint32_t mSelector;
    uint32_t mScope;
    uint32_t mElement;
};

[[gnu::visibility("default")]] int32_t CMIOObjectSetPropertyData(
    uint32_t objectID, const CMIOObjectPropertyAddress* address, uint32_t, const void*,
    uint32_t dataSize, const void* data) {
    constexpr uint32_t systemObject = 1;
    constexpr uint32_t allowScreenCaptureDevices = 0x79657320;  // 'yes '
    constexpr int32_t unknownProperty = 0x77686F3F;             // 'who?'
    constexpr int32_t badSize = 0x2173697A;                     // '!siz'
    if (objectID != systemObject || address == nullptr ||
        address->mSelector != allowScreenCaptureDevices)
        return unknownProperty;
    if (dataSize != sizeof(uint32_t) || data == nullptr) return badSize;
    uint32_t value;
    std::memcpy(&value, data, sizeof value);
    tavrel::capturedevices::screenDevicesAllowed.store(value != 0);
    return 0;
}
}
