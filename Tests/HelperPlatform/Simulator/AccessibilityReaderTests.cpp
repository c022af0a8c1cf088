// The accessibility reader over fake framework classes: the walk's budget, depth and value
// rules, the set-up failures, the translator's use of the reader as its bridge delegate.
#include "HelperPlatform/Simulator/AccessibilityReader.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <set>

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperPlatform/Frameworks/Frameworks.hpp"
#include "Support/FailureOf.hpp"

using namespace tavrel;
using foreign::Arguments;
using foreign::ObjectRef;
using foreign::Value;

namespace {

using tavrel::testing::failureOf;

const std::string framework = Frameworks::onPlatform(Frameworks::accessibilityTranslation);

// A translation: keeps the token the reader hands it.
struct FakeTranslation : foreign::Object {
    using Object::Object;
    std::mutex lock;
    std::string token;
};

foreign::ClassRef translationClass() {
    static auto cls = [] {
        auto made = foreign::Class::make("FakeTranslation", foreign::rootClass());
        made->setAllocator(
            [](const foreign::ClassRef& isa) { return std::make_shared<FakeTranslation>(isa); });
        made->addMethod("setBridgeDelegateToken:", [](const ObjectRef& self, const Arguments& a) {
            auto& t = static_cast<FakeTranslation&>(*self);
            std::lock_guard guard(t.lock);
            t.token = foreign::argument(a, 0).asString().value_or("");
            return Value();
        });
        return made;
    }();
    return cls;
}

// A platform element with what the walk reads.
struct FakeElement : foreign::Object {
    using Object::Object;
    std::map<std::string, Value> attributes;
    foreign::List children;
    Value translation;
    Value traits;
};

foreign::ClassRef elementClass(bool answersAttributes) {
    auto made = foreign::Class::make(answersAttributes ? "FakeElement" : "FakeBareElement",
                                     foreign::accessibilityElementClass());
    made->setAllocator(
        [](const foreign::ClassRef& isa) { return std::make_shared<FakeElement>(isa); });
    auto e = [](const ObjectRef& self) -> FakeElement& { return static_cast<FakeElement&>(*self); };
    made->addMethod("translation",
                    [e](const ObjectRef& self, const Arguments&) { return e(self).translation; });
    made->addMethod("accessibilityChildren", [e](const ObjectRef& self, const Arguments&) {
        return Value(e(self).children);
    });
    for (const char* selector :
         {"accessibilityFrame", "accessibilityRole", "accessibilitySubrole", "accessibilityLabel",
          "accessibilityTitle", "accessibilityIdentifier", "accessibilityValue",
          "isAccessibilityEnabled"}) {
        made->addMethod(selector,
                        [e, key = std::string(selector)](const ObjectRef& self, const Arguments&) {
                            auto& attributes = e(self).attributes;
                            auto it = attributes.find(key);
                            return it == attributes.end() ? Value() : it->second;
                        });
    }
    if (answersAttributes) {
        made->addMethod(
            "accessibilityAttributeValue:", [e](const ObjectRef& self, const Arguments& a) {
                return foreign::argument(a, 0).asString() == "AXTraits" ? e(self).traits : Value();
            });
    }
    return made;
}

std::shared_ptr<FakeElement> element(std::string label, bool answersAttributes = true) {
    static auto full = elementClass(true), bare = elementClass(false);
    auto made =
        std::static_pointer_cast<FakeElement>((answersAttributes ? full : bare)->allocate());
    made->attributes["accessibilityLabel"] = std::move(label);
    made->translation = translationClass()->allocate();
    return made;
}

void preorder(const AXNode& node, std::vector<std::string>& labels, size_t& deepest,
              size_t depth = 0) {
    labels.push_back(node.label.value_or("?"));
    deepest = std::max(deepest, depth);
    for (const auto& child : node.children) preorder(child, labels, deepest, depth + 1);
}

TEST(AccessibilityWalk, ReadsAtMostTwoThousandElementsDepthFirst) {
    // A root, 50 children and 99 grandchildren each: 5001 elements.
    auto root = element("0");
    int next = 1;
    std::vector<std::string> order = {"0"};
    for (int i = 0; i < 50; ++i) {
        auto child = element(std::to_string(next++));
        order.push_back(*child->attributes["accessibilityLabel"].asString());
        for (int j = 0; j < 99; ++j) {
            auto grandchild = element(std::to_string(next++));
            order.push_back(*grandchild->attributes["accessibilityLabel"].asString());
            child->children.emplace_back(grandchild);
        }
        root->children.emplace_back(child);
    }
    auto node = AccessibilityReader::walk(root, "TOKEN");
    std::vector<std::string> labels;
    size_t deepest = 0;
    preorder(node, labels, deepest);
    order.resize(AccessibilityReader::budget);
    EXPECT_EQ(labels, order);
}

TEST(AccessibilityWalk, StopsReadingChildrenEightyLevelsDown) {
    auto root = element("0");
    auto parent = root;
    for (int depth = 1; depth <= 85; ++depth) {
        auto child = element(std::to_string(depth));
        parent->children.emplace_back(child);
        parent = child;
    }
    auto node = AccessibilityReader::walk(root, "TOKEN");
    std::vector<std::string> labels;
    size_t deepest = 0;
    preorder(node, labels, deepest);
    EXPECT_EQ(deepest, 80u);
    EXPECT_EQ(labels.back(), "80");  // read, without its children
}

TEST(AccessibilityWalk, ValuesTraitsFramesAndTokens) {
    auto root = element("root");
    root->attributes["accessibilityRole"] = "AXApplication";
    root->attributes["accessibilityFrame"] = foreign::Rect{{10, 20}, {-30, -40}};
    root->attributes["isAccessibilityEnabled"] = false;
    root->traits = uint64_t{0};

    auto number = element("number");
    number->attributes["accessibilityValue"] = int64_t{1};
    number->attributes["accessibilityIdentifier"] = "wifi-switch";
    number->attributes["accessibilitySubrole"] = "AXSwitch";
    number->attributes["accessibilityTitle"] = "Wi-Fi";
    number->traits = uint64_t{1} << 53 | 1;
    auto text = element("text");
    text->attributes["accessibilityValue"] = "Ada";
    auto other = element("other");
    other->attributes["accessibilityValue"] = foreign::UUID::random();
    auto noTraits = element("bare", false);
    auto stringTraits = element("string traits");
    stringTraits->traits = "1";

    root->children = {Value(number), Value(text),     Value("not an element"),
                      Value(other),  Value(noTraits), Value(stringTraits)};
    auto node = AccessibilityReader::walk(root, "0B0C4E1A-7D3F-4C7E-9A51-2B8E0F6D1C34");

    EXPECT_EQ(node.role, "AXApplication");
    EXPECT_EQ(node.frame, (Rect{10, 20, 30, 40}));
    EXPECT_FALSE(node.enabled);
    EXPECT_EQ(node.traits, 0u);           // traits 0, not absent
    ASSERT_EQ(node.children.size(), 5u);  // the string child is skipped

    const auto& n = node.children[0];
    ASSERT_TRUE(n.value && n.value->asNumber());
    EXPECT_EQ(*n.value->asNumber(), 1.0);
    EXPECT_EQ(n.identifier, "wifi-switch");
    EXPECT_EQ(n.subrole, "AXSwitch");
    EXPECT_EQ(n.title, "Wi-Fi");
    EXPECT_EQ(n.traits, (uint64_t{1} << 53 | 1));
    EXPECT_TRUE(n.enabled);
    EXPECT_EQ(n.role, std::nullopt);
    EXPECT_EQ(n.frame, Rect{});
    EXPECT_EQ(node.children[1].value, AccessibilityValue::text("Ada"));
    EXPECT_EQ(node.children[2].value, std::nullopt);
    EXPECT_EQ(node.children[3].traits, std::nullopt);
    EXPECT_EQ(node.children[4].traits, std::nullopt);

    for (const auto& e : {root, number, text, other, noTraits}) {
        auto& t = static_cast<FakeTranslation&>(*e->translation.asObject());
        EXPECT_EQ(t.token, "0B0C4E1A-7D3F-4C7E-9A51-2B8E0F6D1C34");
    }
}

// A translator and response as the framework has them, over a fake device that answers
// accessibility requests (or never does).
struct FakeTranslator : foreign::Object {
    using Object::Object;
    std::mutex lock;
    Value delegate;
    bool supportsTokens = false, enabled = false;
    Value front;                      // the platform element of the frontmost application
    std::vector<std::string> tokens;  // of each frontmost call
    Value reply;                      // what the bridge answered the frontmost call
};

struct FakeFramework {
    foreign::ClassRef translator, response, application, device;
    std::shared_ptr<FakeTranslator> shared;
    ObjectRef empty;
    std::atomic<bool> deviceAnswers{true};
    std::atomic<int> requests{0};

    FakeFramework() {
        auto root = foreign::rootClass();
        translator = foreign::Class::make("AXPTranslator", root);
        translator->setAllocator(
            [](const foreign::ClassRef& isa) { return std::make_shared<FakeTranslator>(isa); });
        shared = std::static_pointer_cast<FakeTranslator>(translator->allocate());
        translator->addClassMethod(
            "sharedInstance",
            [this](const ObjectRef&, const Arguments&) -> Value { return shared; });
        auto t = [](const ObjectRef& self) -> FakeTranslator& {
            return static_cast<FakeTranslator&>(*self);
        };
        translator->addMethod("setBridgeTokenDelegate:",
                              [t](const ObjectRef& self, const Arguments& a) {
                                  t(self).delegate = foreign::argument(a, 0);
                                  return Value();
                              });
        translator->addMethod("setSupportsDelegateTokens:",
                              [t](const ObjectRef& self, const Arguments& a) {
                                  t(self).supportsTokens = *foreign::argument(a, 0).asBool();
                                  return Value();
                              });
        translator->addMethod("setAccessibilityEnabled:",
                              [t](const ObjectRef& self, const Arguments& a) {
                                  t(self).enabled = *foreign::argument(a, 0).asBool();
                                  return Value();
                              });
        application = foreign::Class::make("FakeApplication", root);
        application->addMethod("setBridgeDelegateToken:",
                               [](const ObjectRef&, const Arguments&) { return Value(); });
        translator->addMethod(
            "frontmostApplicationWithDisplayId:bridgeDelegateToken:",
            [this, t](const ObjectRef& self, const Arguments& a) -> Value {
                auto& me = t(self);
                auto token = *foreign::argument(a, 1).asString();
                me.tokens.push_back(token);
                auto bridge = foreign::send(
                    me.delegate, "accessibilityTranslationDelegateBridgeCallbackWithToken:", token);
                me.reply = bridge.call({Value(foreign::rootClass()->allocate())});
                if (!me.front) return {};
                return application->allocate();
            });
        translator->addMethod(
            "macPlatformElementFromTranslation:",
            [t](const ObjectRef& self, const Arguments&) { return t(self).front; });

        response = foreign::Class::make("AXPTranslatorResponse", root);
        empty = response->allocate();
        response->addClassMethod(
            "emptyResponse", [this](const ObjectRef&, const Arguments&) -> Value { return empty; });

        device = foreign::Class::make("FakeSimDevice", root);
        device->addMethod(
            "sendAccessibilityRequestAsync:completionQueue:completionHandler:",
            [this](const ObjectRef&, const Arguments& a) -> Value {
                ++requests;
                if (!deviceAnswers) return {};
                auto queue = foreign::argument(a, 1).asExecutor();
                auto completion = foreign::argument(a, 2);
                auto answer = foreign::rootClass()->allocate();
                queue->async([completion, answer] { completion.call({Value(answer)}); });
                return {};
            });
    }

    std::function<foreign::ClassRef(const std::string&)> classes(bool withTranslator = true) {
        return [this, withTranslator](const std::string& name) -> foreign::ClassRef {
            if (name == "AXPTranslator") return withTranslator ? translator : nullptr;
            if (name == "AXPTranslatorResponse") return response;
            return nullptr;
        };
    }
};

TEST(AccessibilityReader, SetUpFailures) {
    FakeFramework fake;
    Value device = fake.device->allocate();
    auto missing = failureOf([&] {
        AccessibilityReader(device, "/nonexistent/AccessibilityPlatformTranslation",
                            fake.classes());
    });
    EXPECT_EQ(missing.status(), 502);
    EXPECT_EQ(missing.message(), "AccessibilityPlatformTranslation is not on this Mac");
    auto noTranslator =
        failureOf([&] { AccessibilityReader(device, framework, fake.classes(false)); });
    EXPECT_EQ(noTranslator.message(), "AccessibilityPlatformTranslation is not on this Mac");
    auto oldSimulator = failureOf(
        [&] { AccessibilityReader(foreign::rootClass()->allocate(), framework, fake.classes()); });
    EXPECT_EQ(oldSimulator.status(), 502);
    EXPECT_EQ(oldSimulator.message(), "this CoreSimulator cannot send accessibility requests");
}

TEST(AccessibilityReader, ReadsTheFrontmostApplicationThroughItsBridge) {
    FakeFramework fake;
    Value device = fake.device->allocate();
    AccessibilityReader reader(device, framework, fake.classes());
    auto& translator = *fake.shared;
    EXPECT_EQ(translator.delegate.asObject(), reader.delegate());
    EXPECT_TRUE(translator.supportsTokens);
    EXPECT_TRUE(translator.enabled);

    // Nothing in front yet: the read fails, but the request went to the device.
    auto early = failureOf([&] { reader.tree(); });
    EXPECT_EQ(early.status(), 503);
    EXPECT_EQ(early.message(), "the simulator has no frontmost application to read yet");
    EXPECT_EQ(fake.requests, 1);
    EXPECT_NE(translator.reply.asObject(), nullptr);
    EXPECT_NE(translator.reply.asObject(), fake.empty);

    auto front = element("Demo");
    front->children.emplace_back(element("Tap me"));
    translator.front = front;
    auto tree = reader.tree();
    EXPECT_EQ(tree.label, "Demo");
    ASSERT_EQ(tree.children.size(), 1u);
    EXPECT_EQ(tree.children[0].label, "Tap me");
    auto tree2 = reader.tree();
    EXPECT_EQ(tree, tree2);

    // A fresh upper-case token per read.
    ASSERT_EQ(translator.tokens.size(), 3u);
    EXPECT_EQ(std::set<std::string>(translator.tokens.begin(), translator.tokens.end()).size(), 3u);
    for (const auto& token : translator.tokens) {
        ASSERT_TRUE(foreign::UUID::parse(token));
        EXPECT_EQ(foreign::UUID::parse(token)->text(), token);
    }

    // The delegate's other two methods.
    auto delegate = reader.delegate();
    foreign::Rect rect{{1, 2}, {3, 4}};
    EXPECT_EQ(
        foreign::send(delegate,
                      "accessibilityTranslationConvertPlatformFrameToSystem:withToken:", rect, "T")
            .asRect(),
        rect);
    EXPECT_TRUE(
        foreign::send(delegate, "accessibilityTranslationRootParentWithToken:", "T").isNil());
}

TEST(AccessibilityReader, TheBridgeAnswersEmptyWhenTheSimulatorDoesNotOrTheReaderIsGone) {
    FakeFramework fake;
    Value device = fake.device->allocate();
    auto reader = std::make_unique<AccessibilityReader>(device, framework, fake.classes());
    auto bridge = foreign::send(reader->delegate(),
                                "accessibilityTranslationDelegateBridgeCallbackWithToken:", "T");
    ASSERT_TRUE(bridge.asBlock());
    // No request: the empty response, without asking the device.
    EXPECT_EQ(bridge.call({Value()}).asObject(), fake.empty);
    EXPECT_EQ(fake.requests, 0);

    fake.deviceAnswers = false;
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(bridge.call({Value(foreign::rootClass()->allocate())}).asObject(), fake.empty);
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(4990));
    EXPECT_EQ(fake.requests, 1);

    fake.deviceAnswers = true;
    reader.reset();
    EXPECT_EQ(bridge.call({Value(foreign::rootClass()->allocate())}).asObject(), fake.empty);
    EXPECT_EQ(fake.requests, 1);
}

}  // namespace
