#include "SimulatedPlatform/Runtime/Foreign/Object.hpp"

#include <dlfcn.h>

#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>

namespace tavrel::foreign {

namespace {

std::string address(const void* p) {
    char out[32];
    std::snprintf(out, sizeof out, "%p", p);
    return out;
}

std::string capitalized(std::string key) {
    if (!key.empty() && key[0] >= 'a' && key[0] <= 'z') key[0] = static_cast<char>(key[0] - 32);
    return key;
}

const Class* classOf(const ObjectRef& object) {
    return dynamic_cast<const Class*>(object.get());
}

struct Registry {
    std::mutex lock;
    std::map<std::string, ClassRef> classes;
};

ClassRef makeRootClass() {
    auto root = Class::make("NSObject", nullptr);
    root->setAllocator([](const ClassRef& cls) { return std::make_shared<Object>(cls); });
    root->addClassMethod("alloc", [](const ObjectRef& self, const Arguments&) -> Value {
        return classOf(self)->allocate();
    });
    root->addClassMethod("new", [](const ObjectRef& self, const Arguments&) -> Value {
        return send(classOf(self)->allocate(), "init");
    });
    root->addMethod("init", [](const ObjectRef& self, const Arguments&) -> Value { return self; });
    root->addMethod("class",
                    [](const ObjectRef& self, const Arguments&) -> Value { return self->isa(); });
    root->addMethod("description", [](const ObjectRef& self, const Arguments&) -> Value {
        return self->description();
    });
    root->addMethod("respondsToSelector:", [](const ObjectRef& self, const Arguments& a) -> Value {
        auto selector = argument(a, 0).asString();
        return selector.has_value() && respondsTo(self, *selector);
    });
    return root;
}

struct ErrorObject : Object {
    using Object::Object;
    std::string domain, description;
    int64_t code = 0;
};

ClassRef makeErrorClass(const ClassRef& root) {
    auto cls = Class::make("NSError", root);
    cls->setAllocator([](const ClassRef& isa) { return std::make_shared<ErrorObject>(isa); });
    auto field = [&](const char* selector, auto read) {
        cls->addMethod(selector, [read](const ObjectRef& self, const Arguments&) -> Value {
            return read(static_cast<ErrorObject&>(*self));
        });
    };
    field("domain", [](ErrorObject& e) { return Value(e.domain); });
    field("code", [](ErrorObject& e) { return Value(e.code); });
    field("localizedDescription", [](ErrorObject& e) { return Value(e.description); });
    field("description", [](ErrorObject& e) {
        return Value("Error Domain=" + e.domain + " Code=" + std::to_string(e.code) + " \"" +
                     e.description + "\"");
    });
    return cls;
}

Registry& registry() {
    static Registry* shared = [] {
        auto* r = new Registry;  // never destroyed: frameworks may look classes up at exit
        auto root = makeRootClass();
        r->classes[root->name()] = root;
        auto element = Class::make("NSAccessibilityElement", root);
        r->classes[element->name()] = element;
        auto error = makeErrorClass(root);
        r->classes[error->name()] = error;
        return r;
    }();
    return *shared;
}

}  // namespace

std::string Object::description() const {
    if (auto* cls = dynamic_cast<const Class*>(this)) return cls->name();
    return "<" + (isa_ ? isa_->name() : std::string("?")) + " " + address(this) + ">";
}

Class::Class(std::string name, ClassRef superclass, std::filesystem::path bundle)
    : Object(nullptr),
      name_(std::move(name)),
      superclass_(std::move(superclass)),
      bundle_(std::move(bundle)) {}

ClassRef Class::make(std::string name, ClassRef superclass, std::filesystem::path bundle) {
    return ClassRef(new Class(std::move(name), std::move(superclass), std::move(bundle)));
}

void Class::addMethod(const std::string& selector, Method method) {
    methods_[selector] = std::move(method);
}

void Class::addClassMethod(const std::string& selector, Method method) {
    classMethods_[selector] = std::move(method);
}

Method Class::instanceMethod(const std::string& selector) const {
    for (const Class* c = this; c != nullptr; c = c->superclass_.get()) {
        if (auto it = c->methods_.find(selector); it != c->methods_.end()) return it->second;
    }
    return {};
}

Method Class::classMethod(const std::string& selector) const {
    for (const Class* c = this; c != nullptr; c = c->superclass_.get()) {
        if (auto it = c->classMethods_.find(selector); it != c->classMethods_.end())
            return it->second;
    }
    return {};
}

bool Class::isSubclassOf(const Class& other) const {
    for (const Class* c = this; c != nullptr; c = c->superclass_.get()) {
        if (c == &other) return true;
    }
    return false;
}

ObjectRef Class::allocate() const {
    auto self =
        std::static_pointer_cast<Class>(std::const_pointer_cast<Object>(shared_from_this()));
    for (const Class* c = this; c != nullptr; c = c->superclass_.get()) {
        if (c->allocator_) return c->allocator_(self);
    }
    return std::make_shared<Object>(self);
}

Value Class::infoDictionary() const {
    if (bundle_.empty()) return {};
    std::ifstream file(bundle_ / "Info.json");
    if (!file) return {};
    auto json = nlohmann::json::parse(file, nullptr, false);
    if (!json.is_object()) return {};
    Dictionary info;
    for (auto& [key, value] : json.items()) {
        if (value.is_string())
            info[key] = value.get<std::string>();
        else if (value.is_boolean())
            info[key] = value.get<bool>();
        else if (value.is_number_unsigned())
            info[key] = value.get<uint64_t>();
        else if (value.is_number_integer())
            info[key] = value.get<int64_t>();
        else if (value.is_number())
            info[key] = value.get<double>();
    }
    return info;
}

void registerClass(const ClassRef& cls) {
    if (!cls) return;
    auto& r = registry();
    std::lock_guard guard(r.lock);
    r.classes.emplace(cls->name(), cls);
}

ClassRef lookUpClass(const std::string& name) {
    auto& r = registry();
    std::lock_guard guard(r.lock);
    auto it = r.classes.find(name);
    return it == r.classes.end() ? nullptr : it->second;
}

ClassRef rootClass() {
    return lookUpClass("NSObject");
}
ClassRef accessibilityElementClass() {
    return lookUpClass("NSAccessibilityElement");
}

std::filesystem::path bundleContaining(const void* address) {
    Dl_info info{};
    if (dladdr(address, &info) == 0 || info.dli_fname == nullptr) return {};
    return std::filesystem::path(info.dli_fname).parent_path();
}

bool isKindOf(const Value& object, const Class& cls) {
    auto o = object.asObject();
    return o && o->isa() && o->isa()->isSubclassOf(cls);
}

bool isKindOf(const Value& object, const std::string& className) {
    auto cls = lookUpClass(className);
    return cls && isKindOf(object, *cls);
}

Method methodFor(const Value& receiver, const std::string& selector) {
    auto object = receiver.asObject();
    if (!object) return {};
    if (auto* cls = classOf(object)) return cls->classMethod(selector);
    return object->isa() ? object->isa()->instanceMethod(selector) : Method{};
}

bool respondsTo(const Value& receiver, const std::string& selector) {
    return static_cast<bool>(methodFor(receiver, selector));
}

Value sendArguments(const Value& receiver, const std::string& selector,
                    const Arguments& arguments) {
    auto object = receiver.asObject();
    if (!object) return {};
    if (auto method = methodFor(receiver, selector)) return method(object, arguments);
    bool isClass = classOf(object) != nullptr;
    auto name = isClass ? classOf(object)->name() : object->isa()->name();
    raise("NSInvalidArgumentException", std::string(isClass ? "+[" : "-[") + name + " " + selector +
                                            "]: unrecognized selector sent to " +
                                            (isClass ? "class " : "instance ") +
                                            address(object.get()));
}

Value valueForKey(const Value& receiver, const std::string& key) {
    if (auto dictionary = receiver.asDictionary()) {
        auto it = dictionary->find(key);
        return it == dictionary->end() ? Value() : it->second;
    }
    auto object = receiver.asObject();
    if (!object) return {};
    for (auto& selector : {"get" + capitalized(key), key, "is" + capitalized(key)}) {
        if (auto method = methodFor(receiver, selector)) return method(object, {});
    }
    raise("NSUnknownKeyException", "[" + object->description() +
                                       " valueForUndefinedKey:]: this class is not key value "
                                       "coding-compliant for the key " +
                                       key + ".");
}

void setValueForKey(const Value& receiver, const std::string& key, const Value& value) {
    auto object = receiver.asObject();
    if (!object) return;
    for (auto& selector : {"set" + capitalized(key) + ":", "_set" + capitalized(key) + ":"}) {
        if (auto method = methodFor(receiver, selector)) {
            method(object, {value});
            return;
        }
    }
    raise("NSUnknownKeyException", "[" + object->description() +
                                       " setValue:forUndefinedKey:]: this class is not key value "
                                       "coding-compliant for the key " +
                                       key + ".");
}

Value makeError(const std::string& domain, int64_t code, const std::string& description) {
    auto error = std::dynamic_pointer_cast<ErrorObject>(lookUpClass("NSError")->allocate());
    error->domain = domain;
    error->code = code;
    error->description = description;
    return error;
}

void fail(const Value& errorSlot, const std::string& domain, int64_t code,
          const std::string& description) {
    if (auto slot = errorSlot.asSlot()) *slot = makeError(domain, code, description);
}

void raise(std::string name, std::string reason) {
    throw Exception{std::move(name), std::move(reason)};
}

const Value& argument(const Arguments& arguments, size_t index) {
    static const Value nil;
    return index < arguments.size() ? arguments[index] : nil;
}

}  // namespace tavrel::foreign
