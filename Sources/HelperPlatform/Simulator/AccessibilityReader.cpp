#include "HelperPlatform/Simulator/AccessibilityReader.hpp"

#include <dlfcn.h>

#include <chrono>
#include <cmath>
#include <mutex>
#include <semaphore>

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperCore/Concurrency/SerialQueue.hpp"
#include "HelperPlatform/Frameworks/ForeignCalls.hpp"
#include "HelperPlatform/Frameworks/Frameworks.hpp"

namespace tavrel {

using foreign::Arguments;
using foreign::ObjectRef;
using foreign::Value;

namespace {

constexpr const char* sendRequest =
    "sendAccessibilityRequestAsync:completionQueue:completionHandler:";
constexpr const char* bridgeCallback = "accessibilityTranslationDelegateBridgeCallbackWithToken:";
constexpr const char* convertFrame =
    "accessibilityTranslationConvertPlatformFrameToSystem:withToken:";
constexpr const char* rootParent = "accessibilityTranslationRootParentWithToken:";

using ClassNamed = std::function<foreign::ClassRef(const std::string&)>;

// Every read of every reader runs here, one at a time.
SerialQueue& readQueue() {
    static SerialQueue queue("tavrel.accessibility");
    return queue;
}

// A serial queue handed to the frameworks as "the queue to call back on".
class QueueExecutor : public foreign::Executor {
  public:
    explicit QueueExecutor(std::string label) : queue_(std::move(label)) {}
    void async(std::function<void()> work) override { queue_.async(std::move(work)); }

  private:
    SerialQueue queue_;
};

// Carries a reply from the replies queue to the thread waiting for it.
class Box {
  public:
    void store(ObjectRef response) {
        std::lock_guard guard(lock_);
        response_ = std::move(response);
    }
    ObjectRef response() {
        std::lock_guard guard(lock_);
        return response_;
    }

  private:
    std::mutex lock_;
    ObjectRef response_;
};

bool isObject(const Value& value) {
    auto root = foreign::rootClass();
    return root && foreign::isKindOf(value, *root);
}

// The framework's empty response; nil when the framework has none.
Value emptyResponse(const ClassNamed& classNamed) {
    auto cls = classNamed("AXPTranslatorResponse");
    auto root = foreign::rootClass();
    if (!cls || !root || !cls->isSubclassOf(*root)) return {};
    return Value(ForeignCalls::object(Value(cls), "emptyResponse"));
}

Value ask(const Value& element, const char* selector) {
    return foreign::respondsTo(element, selector) ? foreign::send(element, selector) : Value();
}

std::optional<std::string> text(const Value& element, const char* selector) {
    return ask(element, selector).asString();
}

std::optional<AccessibilityValue> valueOf(const Value& value) {
    if (auto plain = value.asString()) return AccessibilityValue::text(*plain);
    if (foreign::isKindOf(value, "NSAttributedString")) {
        if (auto plain = ask(value, "string").asString()) return AccessibilityValue::text(*plain);
        return std::nullopt;
    }
    if (value.isNumber()) return AccessibilityValue::number(*value.asDouble());
    return std::nullopt;
}

std::optional<std::uint64_t> traitsOf(const Value& element) {
    if (!foreign::respondsTo(element, "accessibilityAttributeValue:")) return std::nullopt;
    auto traits = foreign::send(element, "accessibilityAttributeValue:", "AXTraits");
    if (!traits.isNumber()) return std::nullopt;
    return traits.asUInt64();
}

struct Walk {
    const std::string& token;
    const foreign::Class& elementClass;
    int budget = AccessibilityReader::budget;

    AXNode read(const Value& element, int depth) {
        --budget;
        auto translation = foreign::valueForKey(element, "translation");
        if (isObject(translation))
            foreign::setValueForKey(translation, "bridgeDelegateToken", Value(token));

        std::vector<AXNode> children;
        if (depth < AccessibilityReader::depthLimit) {
            if (auto list = ask(element, "accessibilityChildren").asList()) {
                for (const auto& child : *list) {
                    if (budget < 1) break;
                    if (foreign::isKindOf(child, elementClass))
                        children.push_back(read(child, depth + 1));
                }
            }
        }

        AXNode node;
        auto frame = ask(element, "accessibilityFrame").asRect().value_or(foreign::Rect{});
        node.frame = Rect{frame.origin.x, frame.origin.y, std::fabs(frame.size.width),
                          std::fabs(frame.size.height)};
        node.role = text(element, "accessibilityRole");
        node.subrole = text(element, "accessibilitySubrole");
        node.label = text(element, "accessibilityLabel");
        node.title = text(element, "accessibilityTitle");
        node.identifier = text(element, "accessibilityIdentifier");
        node.value = valueOf(ask(element, "accessibilityValue"));
        // An element that does not say otherwise can be used.
        node.enabled = ask(element, "isAccessibilityEnabled").asBool().value_or(true);
        node.traits = traitsOf(element);
        node.children = std::move(children);
        return node;
    }
};

}  // namespace

struct AccessibilityReader::State {
    Value device;
    foreign::Method sendMethod;
    std::shared_ptr<QueueExecutor> replies;
    Value translator;
    ClassNamed classNamed;

    // Hands a framework request to the simulator and waits for its reply; the empty response
    // when none comes in time.
    Value forward(const Value& request) {
        auto box = std::make_shared<Box>();
        auto answered = std::make_shared<std::counting_semaphore<>>(0);
        foreign::Block completion = [box, answered](const Arguments& arguments) -> Value {
            box->store(foreign::argument(arguments, 0).asObject());
            answered->release();
            return {};
        };
        sendMethod(device.asObject(), {request, Value(std::shared_ptr<foreign::Executor>(replies)),
                                       Value(std::move(completion))});
        if (!answered->try_acquire_for(std::chrono::seconds(forwardLimitS)))
            return emptyResponse(classNamed);
        auto response = box->response();
        return response ? Value(response) : emptyResponse(classNamed);
    }

    AXNode read() {
        auto token = foreign::UUID::random().text();
        auto element = ForeignCalls::guarded("reading the frontmost application", [&]() -> Value {
            auto frontmost = foreign::methodFor(
                translator, "frontmostApplicationWithDisplayId:bridgeDelegateToken:");
            auto platform = foreign::methodFor(translator, "macPlatformElementFromTranslation:");
            if (!frontmost || !platform) return {};
            auto self = translator.asObject();
            auto application = frontmost(self, {Value(0), Value(token)});
            if (!isObject(application)) return {};
            foreign::setValueForKey(application, "bridgeDelegateToken", Value(token));
            auto platformElement = platform(self, {application});
            if (!foreign::isKindOf(platformElement, "NSAccessibilityElement")) return {};
            return platformElement;
        });
        if (!element)
            throw HelperFailure("the simulator has no frontmost application to read yet", 503);
        return ForeignCalls::guarded("reading the accessibility tree",
                                     [&] { return AccessibilityReader::walk(element, token); });
    }
};

namespace {

struct BridgeObject : foreign::Object {
    using Object::Object;
    std::weak_ptr<AccessibilityReader::State> reader;
    ClassNamed classNamed;
};

// The reader's class as the framework sees it, made once per process.
foreign::ClassRef bridgeClass() {
    static foreign::ClassRef cls = [] {
        auto made = foreign::Class::make("TavrelAccessibilityReader", foreign::rootClass());
        made->setAllocator(
            [](const foreign::ClassRef& isa) { return std::make_shared<BridgeObject>(isa); });
        made->addMethod(bridgeCallback, [](const ObjectRef& self, const Arguments&) -> Value {
            auto& bridge = static_cast<BridgeObject&>(*self);
            foreign::Block block = [reader = bridge.reader,
                                    classNamed = bridge.classNamed](const Arguments& arguments) {
                const auto& request = foreign::argument(arguments, 0);
                auto state = reader.lock();
                if (!state || request.isNil()) return emptyResponse(classNamed);
                return state->forward(request);
            };
            return Value(std::move(block));
        });
        made->addMethod(convertFrame, [](const ObjectRef&, const Arguments& arguments) -> Value {
            return foreign::argument(arguments, 0);
        });
        made->addMethod(rootParent, [](const ObjectRef&, const Arguments&) -> Value { return {}; });
        foreign::registerClass(made);
        return made;
    }();
    return cls;
}

}  // namespace

AccessibilityReader::AccessibilityReader(const std::shared_ptr<SimDeviceHandle>& device)
    : AccessibilityReader(device->object(),
                          Frameworks::onPlatform(Frameworks::accessibilityTranslation),
                          [](const std::string& name) { return foreign::lookUpClass(name); }) {}

AccessibilityReader::AccessibilityReader(Value device, const std::string& frameworkPath,
                                         ClassNamed classNamed)
    : state_(std::make_shared<State>()) {
    state_->device = std::move(device);
    state_->classNamed = std::move(classNamed);
    state_->replies = std::make_shared<QueueExecutor>("tavrel.accessibility.replies");

    // Loaded for good: the framework's classes stay registered for the life of the process.
    void* library = dlopen(frameworkPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    auto cls = library ? state_->classNamed("AXPTranslator") : nullptr;
    auto root = foreign::rootClass();
    ObjectRef translator;
    if (cls && root && cls->isSubclassOf(*root)) {
        translator = ForeignCalls::guarded("setting up the accessibility translator", [&] {
            return ForeignCalls::object(Value(cls), "sharedInstance");
        });
    }
    if (!translator)
        throw HelperFailure("AccessibilityPlatformTranslation is not on this Mac", 502);
    state_->translator = translator;

    state_->sendMethod = foreign::methodFor(state_->device, sendRequest);
    if (!state_->sendMethod)
        throw HelperFailure("this CoreSimulator cannot send accessibility requests", 502);

    auto delegate = std::static_pointer_cast<BridgeObject>(bridgeClass()->allocate());
    delegate->reader = state_;
    delegate->classNamed = state_->classNamed;
    delegate_ = delegate;
    ForeignCalls::guarded("setting up the accessibility translator", [&] {
        foreign::setValueForKey(translator, "bridgeTokenDelegate", Value(delegate_));
        foreign::setValueForKey(translator, "supportsDelegateTokens", Value(true));
        foreign::setValueForKey(translator, "accessibilityEnabled", Value(true));
    });
}

AccessibilityReader::~AccessibilityReader() = default;

AXNode AccessibilityReader::tree() {
    auto state = state_;
    return readQueue().sync([&] { return state->read(); });
}

AXNode AccessibilityReader::walk(const Value& element, const std::string& token) {
    auto elementClass = foreign::accessibilityElementClass();
    if (!elementClass) return AXNode{};
    Walk walk{token, *elementClass};
    return walk.read(element, 0);
}

}  // namespace tavrel
