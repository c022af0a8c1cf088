// The stand-in frameworks as the helper meets them: loaded by path from the platform root,
// reached only through classes, selectors, keys and exported functions found by name, driving
// simulated devices booted with tavrel-simctl in a temporary HOME.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <semaphore>
#include <thread>

#include "ForeignGuard/TavrelGuard.hpp"
#include "SimulatedPlatform/Runtime/Foreign/Object.hpp"
#include "SimulatedPlatform/Runtime/XPC/XPC.hpp"
#include "Support/QueueExecutor.hpp"

using namespace tavrel;
using namespace tavrel::foreign;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

const fs::path root = TAVREL_PLATFORM_ROOT;
const fs::path simctl = fs::path(TAVREL_BINARY_DIR) / "tavrel-simctl";
constexpr const char* digitizer = "com.apple.coredevice.feature.remote.hid.digitizer";

std::string run(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return out;
    char buffer[256];
    while (fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
    int status = pclose(pipe);
    EXPECT_EQ(status, 0) << command;
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    return out;
}

// Two booted devices in a temporary HOME for the whole suite: one of the modern runtime, one of
// the legacy runtime. Shut down and removed at the end.
struct Devices {
    fs::path home;
    std::string modern, legacy;
};
Devices* devices = nullptr;

void* open(const fs::path& path) {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL);
    EXPECT_NE(handle, nullptr) << dlerror();
    return handle;
}

class SimulatedPlatform : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        devices = new Devices;
        char pattern[] = "/tmp/tavrel-frameworks-XXXXXX";
        devices->home = mkdtemp(pattern);
        setenv("HOME", devices->home.c_str(), 1);
        devices->modern = run(simctl.string() + " create Modern iPhone-15-Pro");
        devices->legacy = run(simctl.string() + " create Legacy iPhone-SE --runtime legacy");
        run(simctl.string() + " boot " + devices->modern);
        run(simctl.string() + " boot " + devices->legacy);
        open(root / "Library/Developer/PrivateFrameworks/CoreSimulator.framework/CoreSimulator");
        open(root /
             "Applications/Xcode.app/Contents/SharedFrameworks/SimulatorKit.framework/"
             "SimulatorKit");
        open(root /
             "System/Library/PrivateFrameworks/AccessibilityPlatformTranslation.framework/"
             "AccessibilityPlatformTranslation");
    }

    static void TearDownTestSuite() {
        for (auto& udid : {devices->modern, devices->legacy}) {
            if (!udid.empty()) run(simctl.string() + " shutdown " + udid);
        }
        fs::remove_all(devices->home);
        delete devices;
    }

    static std::string developerDir() {
        return fs::read_symlink(root / "var/db/xcode_select_link").string();
    }

    // The device of that UDID, through the service context and the default device set.
    static Value device(const std::string& udid) {
        auto context = send(lookUpClass("SimServiceContext"),
                            "sharedServiceContextForDeveloperDir:error:", developerDir(), nullptr);
        auto set = send(context, "defaultDeviceSetWithError:", nullptr);
        auto list = valueForKey(set, "devices").asList();
        if (list == nullptr) return {};
        for (auto& d : *list) {
            auto uuid = valueForKey(d, "UDID").asUUID();
            if (uuid && uuid->text() == udid) return d;
        }
        return {};
    }

    static Value display(const Value& device) {
        auto io = send(device, "io");
        send(io, "updateIOPorts");
        auto ports = valueForKey(io, "deviceIOPorts").asList();
        if (ports == nullptr) return {};
        for (auto& port : *ports) {
            auto id = send(port, "portIdentifier");
            if (id.asString().has_value() && *id.asString() == "com.apple.framebuffer.display")
                return send(port, "descriptor");
        }
        return {};
    }
};

// The accessibility bridge delegate, as the helper's reader is: requests go to the device.
struct Bridge : Object {
    using Object::Object;
    Value device;
    std::shared_ptr<test::QueueExecutor> replies = std::make_shared<test::QueueExecutor>();
};

ClassRef bridgeClass() {
    static ClassRef cls = [] {
        auto c = Class::make("TestAccessibilityBridge", rootClass());
        c->setAllocator([](const ClassRef& isa) { return std::make_shared<Bridge>(isa); });
        c->addMethod(
            "accessibilityTranslationDelegateBridgeCallbackWithToken:",
            [](const ObjectRef& self, const Arguments&) -> Value {
                std::weak_ptr<Bridge> weak = std::static_pointer_cast<Bridge>(self);
                return Block([weak](const Arguments& a) -> Value {
                    auto bridge = weak.lock();
                    auto empty = send(lookUpClass("AXPTranslatorResponse"), "emptyResponse");
                    if (!bridge) return empty;
                    auto box = std::make_shared<std::promise<Value>>();
                    auto reply = box->get_future();
                    send(bridge->device,
                         "sendAccessibilityRequestAsync:completionQueue:completionHandler:",
                         argument(a, 0), std::shared_ptr<Executor>(bridge->replies),
                         Block([box](const Arguments& r) -> Value {
                             box->set_value(argument(r, 0));
                             return {};
                         }));
                    if (reply.wait_for(5s) != std::future_status::ready) return empty;
                    auto response = reply.get();
                    return response ? response : empty;
                });
            });
        c->addMethod("accessibilityTranslationConvertPlatformFrameToSystem:withToken:",
                     [](const ObjectRef&, const Arguments& a) { return argument(a, 0); });
        c->addMethod("accessibilityTranslationRootParentWithToken:",
                     [](const ObjectRef&, const Arguments&) -> Value { return {}; });
        registerClass(c);
        return c;
    }();
    return cls;
}

struct Element {
    std::string role, identifier, label;
    Value value;
    Rect frame;
    std::optional<uint64_t> traits;
    std::vector<Element> children;

    const Element* find(const std::string& id) const {
        if (identifier == id) return this;
        for (auto& c : children) {
            if (auto* found = c.find(id)) return found;
        }
        return nullptr;
    }
};

std::string text(const Value& v) {
    return v.asString() ? *v.asString() : "";
}

Element read(const Value& element, const std::string& token) {
    Element e;
    auto translation = valueForKey(element, "translation");
    if (isKindOf(translation, *rootClass()))
        setValueForKey(translation, "bridgeDelegateToken", token);
    if (auto children = send(element, "accessibilityChildren").asList()) {
        for (auto& child : *children) {
            if (isKindOf(child, *accessibilityElementClass()))
                e.children.push_back(read(child, token));
        }
    }
    e.role = text(send(element, "accessibilityRole"));
    e.identifier = text(send(element, "accessibilityIdentifier"));
    e.label = text(send(element, "accessibilityLabel"));
    e.value = send(element, "accessibilityValue");
    e.frame = send(element, "accessibilityFrame").asRect().value_or(Rect{});
    if (respondsTo(element, "accessibilityAttributeValue:"))
        e.traits = send(element, "accessibilityAttributeValue:", "AXTraits").asUInt64();
    return e;
}

// Reads the frontmost application of a device through the translator.
std::optional<Element> frontmost(const Value& device) {
    auto bridge = send(bridgeClass(), "new");
    bridge.as<Bridge>()->device = device;
    auto translator = send(lookUpClass("AXPTranslator"), "sharedInstance");
    setValueForKey(translator, "bridgeTokenDelegate", bridge);
    setValueForKey(translator, "supportsDelegateTokens", true);
    setValueForKey(translator, "accessibilityEnabled", true);
    auto token = UUID::random().text();
    auto app = send(translator, "frontmostApplicationWithDisplayId:bridgeDelegateToken:", 0, token);
    if (!isKindOf(app, *rootClass())) return std::nullopt;
    setValueForKey(app, "bridgeDelegateToken", token);
    auto element = send(translator, "macPlatformElementFromTranslation:", app);
    if (!isKindOf(element, *accessibilityElementClass())) return std::nullopt;
    return read(element, token);
}

int taps(const Value& device) {
    auto app = frontmost(device);
    if (!app) return -1;
    auto* count = app->find("tap-count");
    if (count == nullptr || count->label.rfind("Taps: ", 0) != 0) return -1;
    return std::stoi(count->label.substr(6));
}

// The tap button's centre as fractions of the screen.
std::pair<double, double> tapButton(const Value& device) {
    auto app = frontmost(device);
    EXPECT_TRUE(app);
    auto* button = app ? app->find("tap-button") : nullptr;
    EXPECT_NE(button, nullptr);
    if (button == nullptr) return {0.5, 0.5};
    auto type = valueForKey(device, "deviceType");
    auto size = send(type, "mainScreenSize").asSize().value();
    double scale = *send(type, "mainScreenScale").asDouble();
    return {(button->frame.origin.x + button->frame.size.width / 2) / (size.width / scale),
            (button->frame.origin.y + button->frame.size.height / 2) / (size.height / scale)};
}

}  // namespace

TEST_F(SimulatedPlatform, FindsBootedDevicesAndTheirScreens) {
    auto version = lookUpClass("SimDevice")->infoDictionary();
    EXPECT_EQ(text(valueForKey(version, "CFBundleVersion")), "1165.1");

    auto modern = device(devices->modern);
    ASSERT_TRUE(modern);
    EXPECT_EQ(text(valueForKey(modern, "stateString")), "Booted");
    auto type = valueForKey(modern, "deviceType");
    EXPECT_EQ(send(type, "mainScreenSize").asSize(), (Size{1179, 2556}));
    EXPECT_EQ(send(type, "mainScreenScale").asDouble(), 3.0);
    EXPECT_EQ(send(valueForKey(device(devices->legacy), "deviceType"), "mainScreenSize").asSize(),
              (Size{750, 1334}));

    EXPECT_FALSE(device(UUID::random().text()));
    std::string lower = devices->modern;
    for (auto& c : lower) c = static_cast<char>(tolower(c));
    EXPECT_FALSE(device(lower));
    // A missing developer directory has no service; the error slot says why.
    auto error = std::make_shared<Value>();
    EXPECT_FALSE(send(lookUpClass("SimServiceContext"),
                      "sharedServiceContextForDeveloperDir:error:", (root / "nowhere").string(),
                      error));
    EXPECT_TRUE(isKindOf(*error, "NSError"));
    // Faults inside the frameworks come back as foreign exceptions, never crashes.
    auto caught = tavrelGuard([&] { valueForKey(modern, "noSuchKey"); });
    ASSERT_TRUE(caught);
    EXPECT_EQ(caught->name, "NSUnknownKeyException");
}

TEST_F(SimulatedPlatform, DisplaysDeliverFramesAndReadableSurfaces) {
    auto modern = device(devices->modern);
    auto descriptor = display(modern);
    ASSERT_TRUE(descriptor);
    const char* registerModern =
        "registerScreenCallbacksWithUUID:callbackQueue:frameCallback:surfacesChangedCallback:"
        "propertiesChangedCallback:";
    ASSERT_TRUE(respondsTo(descriptor, registerModern));
    auto queue = std::make_shared<test::QueueExecutor>();
    std::counting_semaphore<1000> frames(0);
    auto uuid = UUID::random();
    auto onFrame = Block([&](const Arguments&) -> Value {
        EXPECT_TRUE(queue->onQueue());
        frames.release();
        return {};
    });
    send(descriptor, registerModern, uuid, std::shared_ptr<Executor>(queue), onFrame, onFrame,
         Block([](const Arguments&) -> Value { return {}; }));

    auto surface = send(descriptor, "framebufferSurface");
    ASSERT_TRUE(surface);
    EXPECT_EQ(valueForKey(surface, "width").asInt64(), 1179);
    EXPECT_EQ(valueForKey(surface, "height").asInt64(), 2556);
    EXPECT_GE(*valueForKey(surface, "bytesPerRow").asInt64(), 1179 * 4);
    auto before = *valueForKey(surface, "seed").asUInt64();
    EXPECT_NE(before, 0u);

    // Pixels pinned under a lock belong to the seed the lock reported.
    auto seed = std::make_shared<Value>();
    EXPECT_EQ(send(surface, "lockWithOptions:seed:", 1, seed).asInt64(), 0);
    EXPECT_EQ(seed->asUInt64(), before);
    auto* pixels = static_cast<const uint8_t*>(valueForKey(surface, "baseAddress").asPointer());
    ASSERT_NE(pixels, nullptr);
    EXPECT_EQ(pixels[3], 0xFF);  // opaque
    EXPECT_EQ(send(surface, "unlockWithOptions:seed:", 1, seed).asInt64(), 0);

    // Still screen, no frames; a tap redraws it.
    EXPECT_EQ(*valueForKey(surface, "seed").asUInt64(), before);
    run(simctl.string() + " animate " + devices->modern + " on");
    EXPECT_TRUE(frames.try_acquire_for(2s));
    EXPECT_TRUE(frames.try_acquire_for(2s));
    run(simctl.string() + " animate " + devices->modern + " off");
    EXPECT_NE(*valueForKey(surface, "seed").asUInt64(), before);
    send(descriptor, "unregisterScreenCallbacksWithUUID:", uuid);
    queue->drain();

    // The legacy runtime's displays offer only the older callback set.
    auto old = display(device(devices->legacy));
    ASSERT_TRUE(old);
    EXPECT_FALSE(respondsTo(old, registerModern));
    EXPECT_FALSE(respondsTo(old, "framebufferSurface"));
    EXPECT_TRUE(respondsTo(old, "registerCallbackWithUUID:ioSurfacesChangeCallback:"));
    EXPECT_TRUE(respondsTo(old, "registerCallbackWithUUID:damageRectanglesCallback:"));
    EXPECT_EQ(valueForKey(send(old, "ioSurface"), "width").asInt64(), 750);

    // Its damage callbacks hear of every frame, with the screen's rectangle; after
    // unregistering, nothing more arrives.
    std::counting_semaphore<1000> damaged(0);
    std::atomic<bool> fullScreen = true;
    auto legacyUUID = UUID::random();
    auto onDamage = Block([&](const Arguments& a) -> Value {
        auto rects = argument(a, 0).asList();
        if (!rects || rects->empty() || (*rects)[0].asRect() != Rect{{0, 0}, {750, 1334}})
            fullScreen = false;
        damaged.release();
        return {};
    });
    auto ignored = Block([](const Arguments&) -> Value { return {}; });
    send(old, "registerCallbackWithUUID:ioSurfacesChangeCallback:", legacyUUID, ignored);
    send(old, "registerCallbackWithUUID:damageRectanglesCallback:", legacyUUID, onDamage);
    run(simctl.string() + " animate " + devices->legacy + " on");
    EXPECT_TRUE(damaged.try_acquire_for(2s));
    EXPECT_TRUE(damaged.try_acquire_for(2s));
    send(old, "unregisterIOSurfacesChangeCallbackWithUUID:", legacyUUID);
    send(old, "unregisterDamageRectanglesCallbackWithUUID:", legacyUUID);
    std::this_thread::sleep_for(50ms);  // a delivery already under way may still land
    while (damaged.try_acquire()) {
    }
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(damaged.try_acquire());
    run(simctl.string() + " animate " + devices->legacy + " off");
    EXPECT_TRUE(fullScreen);
    // A registration without a block is refused, as a framework fault.
    auto caught = tavrelGuard([&] {
        send(old, "registerCallbackWithUUID:damageRectanglesCallback:", legacyUUID, nullptr);
    });
    ASSERT_TRUE(caught);
    EXPECT_EQ(caught->name, "NSInvalidArgumentException");
}

TEST_F(SimulatedPlatform, ATapThroughTheDigitizerServiceCountsOnScreen) {
    auto modern = device(devices->modern);
    auto error = std::make_shared<Value>();
    auto port = send(modern, "lookup:error:", digitizer, error).asUInt64().value_or(0);
    ASSERT_NE(port, 0u);
    EXPECT_EQ(send(device(devices->legacy), "lookup:error:", digitizer, error).asUInt64(), 0u);
    EXPECT_TRUE(isKindOf(*error, "NSError"));

    using Create = xpc_endpoint_t (*)(uint32_t);
    using Connect = xpc_connection_t (*)(xpc_endpoint_t);
    using Enable = void (*)(xpc_connection_t);
    auto create =
        reinterpret_cast<Create>(dlsym(RTLD_DEFAULT, "xpc_endpoint_create_mach_port_4sim"));
    auto connect =
        reinterpret_cast<Connect>(dlsym(RTLD_DEFAULT, "xpc_connection_create_from_endpoint"));
    auto enable =
        reinterpret_cast<Enable>(dlsym(RTLD_DEFAULT, "xpc_connection_enable_sim2host_4sim"));
    ASSERT_TRUE(create && connect && enable);
    XPCRef endpoint(create(static_cast<uint32_t>(port)));
    XPCRef connection(connect(endpoint.get()));
    ASSERT_TRUE(connection);
    enable(connection.get());
    xpc_connection_set_event_handler(connection.get(), [](xpc_object_t) {});
    xpc_connection_resume(connection.get());

    auto [x, y] = tapButton(modern);
    int before = taps(modern);
    ASSERT_GE(before, 0);
    for (uint64_t phase : {0, 2}) {
        XPCRef message(xpc_dictionary_create(nullptr, nullptr, 0));
        xpc_dictionary_set_string(message.get(), "messageType", "IndigoDigitizerEvent");
        xpc_dictionary_set_bool(message.get(), "isBarrier", false);
        xpc_dictionary_set_string(message.get(), "featureIdentifier", digitizer);
        XPCRef payload(xpc_dictionary_create(nullptr, nullptr, 0));
        XPCRef point(xpc_dictionary_create(nullptr, nullptr, 0));
        xpc_dictionary_set_double(point.get(), "x", x);
        xpc_dictionary_set_double(point.get(), "y", y);
        xpc_dictionary_set_value(payload.get(), "pointOne", point.get());
        xpc_dictionary_set_uint64(payload.get(), "eventType", phase);
        xpc_dictionary_set_uint64(payload.get(), "edge", 0);
        xpc_dictionary_set_uint64(payload.get(), "target", 0);
        xpc_dictionary_set_value(message.get(), "payload", payload.get());
        xpc_connection_send_message(connection.get(), message.get());
        std::binary_semaphore done(0);
        xpc_connection_send_barrier(connection.get(), [&] { done.release(); });
        ASSERT_TRUE(done.try_acquire_for(2s));
    }
    EXPECT_EQ(taps(modern), before + 1);
    xpc_connection_cancel(connection.get());
}

TEST_F(SimulatedPlatform, ATapThroughTheLegacyHIDClientCountsOnScreen) {
    using Mouse =
        void* (*)(const double*, const double*, uint32_t, uint32_t, uint32_t, double, double);
    auto mouse = reinterpret_cast<Mouse>(dlsym(RTLD_DEFAULT, "IndigoHIDMessageForMouseNSEvent"));
    ASSERT_TRUE(mouse);
    EXPECT_TRUE(dlsym(RTLD_DEFAULT, "IndigoHIDMessageForHIDArbitrary"));
    EXPECT_TRUE(dlsym(RTLD_DEFAULT, "IndigoHIDMessageForKeyboardArbitrary"));
    auto cls = lookUpClass("_TtC12SimulatorKit24SimDeviceLegacyHIDClient");
    ASSERT_TRUE(cls);
    auto init = cls->instanceMethod("initWithDevice:error:");
    ASSERT_TRUE(init);

    for (auto& udid : {devices->legacy, devices->modern}) {
        auto target = device(udid);
        auto error = std::make_shared<Value>();
        auto client = init(cls->allocate(), {target, error});
        ASSERT_TRUE(client) << valueForKey(*error, "localizedDescription").describe();
        auto sendMessage =
            methodFor(client, "sendWithMessage:freeWhenDone:completionQueue:completion:");
        ASSERT_TRUE(sendMessage);

        auto [x, y] = tapButton(target);
        int before = taps(target);
        ASSERT_GE(before, 0);
        for (uint32_t type : {1u, 1u, 2u}) {  // down, moved, up
            double point[2] = {x, y};
            void* message = mouse(point, nullptr, 0x32, type, 0, 1.0, 1.0);
            ASSERT_NE(message, nullptr);
            auto caught = tavrelGuard([&] {
                sendMessage(client.asObject(), {Value::pointer(message), true, nullptr, nullptr});
            });
            EXPECT_FALSE(caught) << caught->reason;
        }
        EXPECT_EQ(taps(target), before + 1) << udid;
    }

    // A device that is not running gives no client, and says why.
    auto error = std::make_shared<Value>();
    auto off = run(simctl.string() + " create Off iPhone-SE");
    EXPECT_FALSE(init(cls->allocate(), {device(off), error}));
    EXPECT_FALSE(text(valueForKey(*error, "localizedDescription")).empty());
    run(simctl.string() + " delete " + off);
}

TEST_F(SimulatedPlatform, TheAccessibilityTreeCarriesTheDemoApp) {
    auto app = frontmost(device(devices->modern));
    ASSERT_TRUE(app);
    EXPECT_EQ(app->role, "AXApplication");
    auto* button = app->find("tap-button");
    ASSERT_NE(button, nullptr);
    EXPECT_EQ(button->role, "AXButton");
    EXPECT_EQ(button->label, "Tap me");
    ASSERT_TRUE(button->traits);
    EXPECT_TRUE(*button->traits & 1);  // the button trait
    EXPECT_GT(button->frame.size.width, 0);
    auto* wifi = app->find("wifi-switch");
    ASSERT_NE(wifi, nullptr);
    EXPECT_TRUE(wifi->value.isNumber());
    EXPECT_TRUE(app->find("row-1"));
    // With no delegate to carry requests there is no frontmost application.
    auto translator = send(lookUpClass("AXPTranslator"), "sharedInstance");
    setValueForKey(translator, "bridgeTokenDelegate", Value());
    EXPECT_FALSE(
        send(translator, "frontmostApplicationWithDisplayId:bridgeDelegateToken:", 0, "t"));
}
