#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

// The values that travel between the helper and the frameworks: what an ObjC message send
// would carry (numbers, strings, data, UUIDs, objects, collections, blocks, queues, geometry).
namespace tavrel::foreign {

class Object;
class Value;

using ObjectRef = std::shared_ptr<Object>;
using List = std::vector<Value>;
using Dictionary = std::map<std::string, Value>;
using Arguments = std::vector<Value>;

// A block: takes values, returns one (nil when it has nothing to say).
using Block = std::function<Value(const Arguments&)>;

// The caller's queue, so that a framework can call back "on this queue".
class Executor {
  public:
    virtual ~Executor() = default;
    virtual void async(std::function<void()> work) = 0;
};

struct Point {
    double x = 0, y = 0;
    bool operator==(const Point&) const = default;
};
struct Size {
    double width = 0, height = 0;
    bool operator==(const Size&) const = default;
};
struct Rect {
    Point origin;
    Size size;
    bool operator==(const Rect&) const = default;
};

struct UUID {
    std::array<uint8_t, 16> bytes{};

    static UUID random();
    // Accepts the canonical 8-4-4-4-12 hexadecimal form in either case.
    static std::optional<UUID> parse(const std::string& text);
    // Upper-case canonical text, as NSUUID's UUIDString.
    std::string text() const;
    bool operator==(const UUID&) const = default;
    auto operator<=>(const UUID&) const = default;
};

// An out-parameter, as `NSError **`: the callee stores into it; nil passed instead means "no slot".
using Slot = std::shared_ptr<Value>;

class Value {
  public:
    enum class Kind {
        nil,
        boolean,
        int64,
        uint64,
        real,
        string,
        bytes,
        uuid,
        object,
        list,
        dictionary,
        block,
        executor,
        point,
        size,
        rect,
        slot,
        pointer
    };

    Value() = default;
    Value(std::nullptr_t) {}
    Value(bool v) : storage_(v) {}
    Value(int v) : storage_(int64_t{v}) {}
    Value(int64_t v) : storage_(v) {}
    Value(uint32_t v) : storage_(uint64_t{v}) {}
    Value(uint64_t v) : storage_(v) {}
    Value(float v) : storage_(double{v}) {}
    Value(double v) : storage_(v) {}
    Value(const char* v) : storage_(std::string(v)) {}
    Value(std::string v) : storage_(std::move(v)) {}
    Value(std::vector<uint8_t> v)
        : storage_(std::make_shared<const std::vector<uint8_t>>(std::move(v))) {}
    Value(UUID v) : storage_(v) {}
    template <class T, class = std::enable_if_t<std::is_base_of_v<Object, T>>>
    Value(std::shared_ptr<T> v) : storage_(orNil(ObjectRef(std::move(v)))) {}
    Value(List v) : storage_(std::make_shared<const List>(std::move(v))) {}
    Value(Dictionary v) : storage_(std::make_shared<const Dictionary>(std::move(v))) {}
    Value(Block v)
        : storage_(v ? Storage(std::make_shared<const Block>(std::move(v))) : Storage()) {}
    Value(std::shared_ptr<Executor> v) : storage_(orNil(std::move(v))) {}
    Value(Point v) : storage_(v) {}
    Value(Size v) : storage_(v) {}
    Value(Rect v) : storage_(v) {}
    Value(Slot v) : storage_(orNil(std::move(v))) {}
    // A raw C pointer (a buffer from a plain function, as an Indigo message); never owned.
    static Value pointer(void* p) {
        Value v;
        v.storage_ = orNil(p);
        return v;
    }

    Kind kind() const { return static_cast<Kind>(storage_.index()); }
    bool isNil() const { return kind() == Kind::nil; }
    explicit operator bool() const { return !isNil(); }

    // Typed reads: empty/null when the value holds something else. Numbers convert among
    // themselves (bool, integers, double) as NSNumber does.
    std::optional<bool> asBool() const;
    std::optional<int64_t> asInt64() const;
    std::optional<uint64_t> asUInt64() const;
    std::optional<double> asDouble() const;
    // Collections, bytes and blocks come back shared, so that they outlive a temporary Value.
    std::optional<std::string> asString() const;
    std::shared_ptr<const std::vector<uint8_t>> asBytes() const;
    std::optional<UUID> asUUID() const;
    ObjectRef asObject() const;
    template <class T>
    std::shared_ptr<T> as() const {
        return std::dynamic_pointer_cast<T>(asObject());
    }
    std::shared_ptr<const List> asList() const;
    std::shared_ptr<const Dictionary> asDictionary() const;
    std::shared_ptr<const Block> asBlock() const;
    std::shared_ptr<Executor> asExecutor() const;
    std::optional<Point> asPoint() const;
    std::optional<Size> asSize() const;
    std::optional<Rect> asRect() const;
    Slot asSlot() const;
    void* asPointer() const;

    bool isNumber() const {
        auto k = kind();
        return k == Kind::boolean || k == Kind::int64 || k == Kind::uint64 || k == Kind::real;
    }

    // Calls a block value; nil when the value is not a block.
    Value call(const Arguments& arguments = {}) const;

    // A short description for messages and tests.
    std::string describe() const;

  private:
    using Storage = std::variant<std::monostate, bool, int64_t, uint64_t, double, std::string,
                                 std::shared_ptr<const std::vector<uint8_t>>, UUID, ObjectRef,
                                 std::shared_ptr<const List>, std::shared_ptr<const Dictionary>,
                                 std::shared_ptr<const Block>, std::shared_ptr<Executor>, Point,
                                 Size, Rect, Slot, void*>;
    template <class X>
    static Storage orNil(X v) {
        return v ? Storage(std::move(v)) : Storage();
    }
    Storage storage_;
};

}  // namespace tavrel::foreign
