// The AccessibilityPlatformTranslation stand-in.
//
//   AXPTranslator           +sharedInstance; keys "bridgeTokenDelegate" (held weakly),
//                           "supportsDelegateTokens", "accessibilityEnabled";
//                           -frontmostApplicationWithDisplayId:bridgeDelegateToken:,
//                           -macPlatformElementFromTranslation:
//   AXPTranslatorRequest    what the translator asks the device: "requestType",
//                           -encodedRequest (JSON text, as the device link takes it)
//   AXPTranslatorResponse   +emptyResponse, +responseWithEncodedResponse: (JSON text);
//                           -encodedResponse, "isEmpty"
//   AXPTranslation          one element of the device: "bridgeDelegateToken"
//   AXPMacPlatformElement   an NSAccessibilityElement: accessibilityChildren, accessibilityFrame,
//                           accessibilityRole, ...Subrole, ...Label, ...Title, ...Identifier,
//                           ...Value, isAccessibilityEnabled, accessibilityParent,
//                           accessibilityAttributeValue: ("AXTraits" and the AX names above),
//                           "translation"
//
// Every question to the device goes through the delegate's bridge callback for the token:
// the frontmost request brings the application's whole element tree in one response, which
// the translations of that read share.
#include <nlohmann/json.hpp>

#include "SimulatedPlatform/Runtime/Foreign/Object.hpp"

namespace tavrel::axpt {

using namespace foreign;
using json = nlohmann::json;

namespace {

template <class T>
T& self(const ObjectRef& object) {
    return static_cast<T&>(*object);
}

struct TranslatorObject : Object {
    using Object::Object;
    std::mutex lock;
    std::weak_ptr<Object> delegate;
    bool supportsDelegateTokens = false;
    bool accessibilityEnabled = false;

    ObjectRef bridgeDelegate() {
        std::lock_guard guard(lock);
        return delegate.lock();
    }
};

struct RequestObject : Object {
    using Object::Object;
    std::string requestType;
};

struct ResponseObject : Object {
    using Object::Object;
    std::string encoded;  // empty: the empty response
};

struct TranslationObject : Object {
    using Object::Object;
    std::shared_ptr<const json> tree;  // the read's snapshot, shared
    const json* element = nullptr;     // inside `tree`
    std::mutex lock;
    std::string token;

    std::string currentToken() {
        std::lock_guard guard(lock);
        return token;
    }
};

struct ElementObject : Object {
    using Object::Object;
    std::shared_ptr<TranslationObject> translation;
    Value parent;
};

ObjectRef makeTranslation(std::shared_ptr<const json> tree, const json* element,
                          const std::string& token) {
    auto t = std::static_pointer_cast<TranslationObject>(lookUpClass("AXPTranslation")->allocate());
    t->tree = std::move(tree);
    t->element = element;
    t->token = token;
    return t;
}

ObjectRef makeElement(const ObjectRef& translation, Value parent) {
    auto e =
        std::static_pointer_cast<ElementObject>(lookUpClass("AXPMacPlatformElement")->allocate());
    e->translation = std::static_pointer_cast<TranslationObject>(translation);
    e->parent = std::move(parent);
    return e;
}

Value text(const json& element, const char* key) {
    auto it = element.find(key);
    if (it == element.end() || !it->is_string()) return {};
    return it->get<std::string>();
}

Value jsonValue(const json& value) {
    if (value.is_string()) return value.get<std::string>();
    if (value.is_boolean()) return value.get<bool>();
    if (value.is_number_unsigned()) return value.get<uint64_t>();
    if (value.is_number_integer()) return value.get<int64_t>();
    if (value.is_number()) return value.get<double>();
    return {};
}

Rect frameOf(const json& element) {
    auto frame = element.value("frame", json::object());
    auto number = [&](const char* key) {
        auto it = frame.find(key);
        return it != frame.end() && it->is_number() ? it->get<double>() : 0.0;
    };
    return Rect{{number("x"), number("y")}, {number("width"), number("height")}};
}

// Asks the device through the delegate's bridge callback; nil when there is no answer.
std::optional<json> ask(TranslatorObject& translator, const std::string& requestType,
                        const std::string& token) {
    auto delegate = translator.bridgeDelegate();
    if (!delegate ||
        !respondsTo(delegate, "accessibilityTranslationDelegateBridgeCallbackWithToken:"))
        return std::nullopt;
    auto bridge = send(delegate, "accessibilityTranslationDelegateBridgeCallbackWithToken:", token);
    if (!bridge.asBlock()) return std::nullopt;
    auto request =
        std::static_pointer_cast<RequestObject>(lookUpClass("AXPTranslatorRequest")->allocate());
    request->requestType = requestType;
    auto response = bridge.call({Value(request)}).as<ResponseObject>();
    if (!response || response->encoded.empty()) return std::nullopt;
    auto reply = json::parse(response->encoded, nullptr, false);
    if (reply.is_discarded() || !reply.is_object()) return std::nullopt;
    return reply;
}

Value elementAttribute(ElementObject& e, const std::string& name);

Value elementFrame(ElementObject& e) {
    Rect frame = frameOf(*e.translation->element);
    auto translator = send(lookUpClass("AXPTranslator"), "sharedInstance").as<TranslatorObject>();
    auto delegate = translator ? translator->bridgeDelegate() : nullptr;
    const char* convert = "accessibilityTranslationConvertPlatformFrameToSystem:withToken:";
    if (delegate && respondsTo(delegate, convert)) {
        if (auto converted = send(delegate, convert, frame, e.translation->currentToken()).asRect())
            return *converted;
    }
    return frame;
}

Value elementChildren(const ObjectRef& self) {
    auto& e = static_cast<ElementObject&>(*self);
    List children;
    auto& element = *e.translation->element;
    auto it = element.find("children");
    if (it == element.end() || !it->is_array()) return children;
    auto token = e.translation->currentToken();
    for (auto& child : *it) {
        if (!child.is_object()) continue;
        children.emplace_back(
            makeElement(makeTranslation(e.translation->tree, &child, token), self));
    }
    return children;
}

Value elementAttribute(ElementObject& e, const std::string& name) {
    auto& element = *e.translation->element;
    if (name == "AXTraits") {
        auto it = element.find("traits");
        if (it != element.end() && it->is_number_unsigned()) return it->get<uint64_t>();
        return {};
    }
    if (name == "AXRole") return text(element, "role");
    if (name == "AXSubrole") return text(element, "subrole");
    if (name == "AXDescription") return text(element, "label");
    if (name == "AXTitle") return text(element, "title");
    if (name == "AXIdentifier") return text(element, "identifier");
    if (name == "AXValue") {
        auto it = element.find("value");
        return it == element.end() ? Value() : jsonValue(*it);
    }
    if (name == "AXEnabled") {
        auto it = element.find("enabled");
        return it == element.end() || !it->is_boolean() || it->get<bool>();
    }
    if (name == "AXFrame") return elementFrame(e);
    return {};
}

void addTranslatorClass(const ClassRef& root, const std::filesystem::path& bundle) {
    auto cls = Class::make("AXPTranslator", root, bundle);
    cls->setAllocator([](const ClassRef& isa) { return std::make_shared<TranslatorObject>(isa); });
    cls->addClassMethod("sharedInstance", [](const ObjectRef& c, const Arguments&) -> Value {
        static ObjectRef shared = static_cast<Class&>(*c).allocate();
        return shared;
    });
    cls->addMethod("bridgeTokenDelegate", [](const ObjectRef& o, const Arguments&) -> Value {
        return self<TranslatorObject>(o).bridgeDelegate();
    });
    cls->addMethod("setBridgeTokenDelegate:", [](const ObjectRef& o, const Arguments& a) -> Value {
        auto& t = self<TranslatorObject>(o);
        std::lock_guard guard(t.lock);
        t.delegate = argument(a, 0).asObject();
        return {};
    });
    auto flag = [&](const char* name, const char* setter, bool TranslatorObject::*field) {
        cls->addMethod(name, [field](const ObjectRef& o, const Arguments&) -> Value {
            auto& t = self<TranslatorObject>(o);
            std::lock_guard guard(t.lock);
            return t.*field;
        });
        cls->addMethod(setter, [field](const ObjectRef& o, const Arguments& a) -> Value {
            auto& t = self<TranslatorObject>(o);
            std::lock_guard guard(t.lock);
            t.*field = argument(a, 0).asBool().value_or(false);
            return {};
        });
    };
    flag("supportsDelegateTokens",
         "setSupportsDelegateTokens:", &TranslatorObject::supportsDelegateTokens);
    flag("accessibilityEnabled",
         "setAccessibilityEnabled:", &TranslatorObject::accessibilityEnabled);
    cls->addMethod("frontmostApplicationWithDisplayId:bridgeDelegateToken:",
                   [](const ObjectRef& o, const Arguments& a) -> Value {
                       auto& t = self<TranslatorObject>(o);
                       {
                           std::lock_guard guard(t.lock);
                           if (!t.accessibilityEnabled) return {};
                       }
                       auto token = argument(a, 1).asString();
                       auto reply = ask(t, "frontmost", token ? *token : "");
                       if (!reply) return {};
                       auto app = reply->find("frontmost");
                       if (app == reply->end() || !app->is_object()) return {};
                       auto tree = std::make_shared<const json>(std::move(*app));
                       return makeTranslation(tree, tree.get(), token ? *token : "");
                   });
    cls->addMethod(
        "macPlatformElementFromTranslation:", [](const ObjectRef& o, const Arguments& a) -> Value {
            auto translation = argument(a, 0).as<TranslationObject>();
            if (!translation) return {};
            Value parent;
            auto delegate = self<TranslatorObject>(o).bridgeDelegate();
            const char* root = "accessibilityTranslationRootParentWithToken:";
            if (delegate && respondsTo(delegate, root))
                parent = send(delegate, root, translation->currentToken());
            return makeElement(translation, parent);
        });
    registerClass(cls);
}

void addMessageClasses(const ClassRef& root, const std::filesystem::path& bundle) {
    auto request = Class::make("AXPTranslatorRequest", root, bundle);
    request->setAllocator([](const ClassRef& isa) { return std::make_shared<RequestObject>(isa); });
    request->addMethod("requestType", [](const ObjectRef& o, const Arguments&) -> Value {
        return self<RequestObject>(o).requestType;
    });
    request->addMethod("encodedRequest", [](const ObjectRef& o, const Arguments&) -> Value {
        return json{{"request", self<RequestObject>(o).requestType}}.dump();
    });
    registerClass(request);

    auto response = Class::make("AXPTranslatorResponse", root, bundle);
    response->setAllocator(
        [](const ClassRef& isa) { return std::make_shared<ResponseObject>(isa); });
    response->addClassMethod("emptyResponse", [](const ObjectRef& c, const Arguments&) -> Value {
        return static_cast<Class&>(*c).allocate();
    });
    response->addClassMethod(
        "responseWithEncodedResponse:", [](const ObjectRef& c, const Arguments& a) -> Value {
            auto r = std::static_pointer_cast<ResponseObject>(static_cast<Class&>(*c).allocate());
            if (auto text = argument(a, 0).asString()) r->encoded = *text;
            return r;
        });
    response->addMethod("encodedResponse", [](const ObjectRef& o, const Arguments&) -> Value {
        return self<ResponseObject>(o).encoded;
    });
    response->addMethod("isEmpty", [](const ObjectRef& o, const Arguments&) -> Value {
        return self<ResponseObject>(o).encoded.empty();
    });
    registerClass(response);
}

void addElementClasses(const ClassRef& root, const std::filesystem::path& bundle) {
    auto translation = Class::make("AXPTranslation", root, bundle);
    translation->setAllocator(
        [](const ClassRef& isa) { return std::make_shared<TranslationObject>(isa); });
    translation->addMethod("bridgeDelegateToken",
                           [](const ObjectRef& o, const Arguments&) -> Value {
                               return self<TranslationObject>(o).currentToken();
                           });
    translation->addMethod(
        "setBridgeDelegateToken:", [](const ObjectRef& o, const Arguments& a) -> Value {
            auto& t = self<TranslationObject>(o);
            std::lock_guard guard(t.lock);
            auto token = argument(a, 0).asString();
            t.token = token ? *token : "";
            return {};
        });
    registerClass(translation);

    auto element = Class::make("AXPMacPlatformElement", accessibilityElementClass(), bundle);
    element->setAllocator([](const ClassRef& isa) { return std::make_shared<ElementObject>(isa); });
    element->addMethod("translation", [](const ObjectRef& o, const Arguments&) -> Value {
        return self<ElementObject>(o).translation;
    });
    element->addMethod("accessibilityChildren",
                       [](const ObjectRef& o, const Arguments&) { return elementChildren(o); });
    element->addMethod("accessibilityParent", [](const ObjectRef& o, const Arguments&) -> Value {
        return self<ElementObject>(o).parent;
    });
    element->addMethod("accessibilityFrame", [](const ObjectRef& o, const Arguments&) {
        return elementFrame(self<ElementObject>(o));
    });
    element->addMethod("isAccessibilityEnabled", [](const ObjectRef& o, const Arguments&) {
        return elementAttribute(self<ElementObject>(o), "AXEnabled");
    });
    for (auto [selector, attribute] : {std::pair{"accessibilityRole", "AXRole"},
                                       {"accessibilitySubrole", "AXSubrole"},
                                       {"accessibilityLabel", "AXDescription"},
                                       {"accessibilityTitle", "AXTitle"},
                                       {"accessibilityIdentifier", "AXIdentifier"},
                                       {"accessibilityValue", "AXValue"}}) {
        element->addMethod(selector, [attribute](const ObjectRef& o, const Arguments&) {
            return elementAttribute(self<ElementObject>(o), attribute);
        });
    }
    element->addMethod("accessibilityAttributeValue:", [](const ObjectRef& o, const Arguments& a) {
        auto name = argument(a, 0).asString();
        return name ? elementAttribute(self<ElementObject>(o), *name) : Value();
    });
    registerClass(element);
}

[[gnu::constructor]] void registerAccessibilityPlatformTranslation() {
    auto bundle =
        bundleContaining(reinterpret_cast<const void*>(&registerAccessibilityPlatformTranslation));
    auto root = rootClass();
    addTranslatorClass(root, bundle);
    addMessageClasses(root, bundle);
    addElementClasses(root, bundle);
}

}  // namespace

}  // namespace tavrel::axpt
