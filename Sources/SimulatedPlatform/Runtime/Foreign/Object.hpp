#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "SimulatedPlatform/Runtime/Foreign/Exception.hpp"
#include "SimulatedPlatform/Runtime/Foreign/Value.hpp"

// The object model the stand-in frameworks share with the helper, in place of the ObjC runtime:
// classes found by name, methods found by selector text, key-value access through methods.
//
// Threads: the class registry is locked; a class's method tables are meant to be filled before
// it is registered and are read-only afterwards. Objects guard their own state.
namespace tavrel::foreign {

class Class;
using ClassRef = std::shared_ptr<Class>;

// A method implementation (an IMP): the receiver (an instance, or the class itself for class
// methods) and the arguments in selector order.
using Method = std::function<Value(const ObjectRef& self, const Arguments& arguments)>;

class Object : public std::enable_shared_from_this<Object> {
  public:
    explicit Object(ClassRef isa) : isa_(std::move(isa)) {}
    virtual ~Object() = default;
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    const ClassRef& isa() const { return isa_; }
    // "<ClassName 0x...>", as an object's default description.
    std::string description() const;

  private:
    ClassRef isa_;
};

class Class : public Object {
  public:
    using Allocator = std::function<ObjectRef(const ClassRef& cls)>;

    // `bundle` is the framework directory; empty for classes of no bundle.
    static ClassRef make(std::string name, ClassRef superclass, std::filesystem::path bundle = {});

    const std::string& name() const { return name_; }
    const ClassRef& superclass() const { return superclass_; }
    const std::filesystem::path& bundle() const { return bundle_; }

    void addMethod(const std::string& selector, Method method);
    void addClassMethod(const std::string& selector, Method method);
    // How "alloc" makes an instance; inherited by subclasses that set none.
    void setAllocator(Allocator allocator) { allocator_ = std::move(allocator); }

    // Looked up through the superclass chain; empty when missing.
    Method instanceMethod(const std::string& selector) const;
    Method classMethod(const std::string& selector) const;
    bool isSubclassOf(const Class& other) const;
    ObjectRef allocate() const;

    // The bundle's Info.json as a dictionary; nil when there is no bundle or it is unreadable.
    Value infoDictionary() const;

  private:
    Class(std::string name, ClassRef superclass, std::filesystem::path bundle);
    std::string name_;
    ClassRef superclass_;
    std::filesystem::path bundle_;
    std::map<std::string, Method> methods_;
    std::map<std::string, Method> classMethods_;
    Allocator allocator_;
};

// The registry, shared by everything loaded in the process. The first class of a name wins.
void registerClass(const ClassRef& cls);
ClassRef lookUpClass(const std::string& name);

// The root class of every framework object ("NSObject": alloc, init, class, description)
// and the platform accessibility element class ("NSAccessibilityElement"), both always there.
ClassRef rootClass();
ClassRef accessibilityElementClass();

// The framework directory of the shared library holding `address` (one of its symbols).
std::filesystem::path bundleContaining(const void* address);

bool isKindOf(const Value& object, const Class& cls);
bool isKindOf(const Value& object, const std::string& className);

bool respondsTo(const Value& receiver, const std::string& selector);
// Empty when the receiver is nil or lacks the method.
Method methodFor(const Value& receiver, const std::string& selector);

// Sends a message. Nil receivers answer nil, as in ObjC; a missing method raises
// NSInvalidArgumentException ("unrecognized selector").
Value sendArguments(const Value& receiver, const std::string& selector, const Arguments& arguments);
template <class... Args>
Value send(const Value& receiver, const std::string& selector, Args&&... args) {
    return sendArguments(receiver, selector, Arguments{Value(std::forward<Args>(args))...});
}

// Key-value access through the method of that name ("key", "isKey"; "setKey:"). An unknown
// key raises NSUnknownKeyException.
Value valueForKey(const Value& receiver, const std::string& key);
void setValueForKey(const Value& receiver, const std::string& key, const Value& value);

// An error as frameworks report them through an error slot ("NSError": keys "domain", "code",
// "localizedDescription").
Value makeError(const std::string& domain, int64_t code, const std::string& description);
// Stores an error into an error-slot argument, when the caller passed one.
void fail(const Value& errorSlot, const std::string& domain, int64_t code,
          const std::string& description);

// Helpers for frameworks implementing methods.
[[noreturn]] void raise(std::string name, std::string reason);
const Value& argument(const Arguments& arguments, size_t index);

}  // namespace tavrel::foreign
