#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "ForeignGuard/TavrelGuard.hpp"
#include "SimulatedPlatform/Runtime/Foreign/Object.hpp"

using namespace tavrel;
using namespace tavrel::foreign;

namespace {

// A framework-like class with a property, a class method, a throwing method and a subclass.
struct Counter : Object {
    using Object::Object;
    int64_t count = 0;
};

ClassRef counterClass() {
    static ClassRef cls = [] {
        auto c = Class::make("TestCounter", rootClass());
        c->setAllocator([](const ClassRef& isa) { return std::make_shared<Counter>(isa); });
        c->addMethod("count", [](const ObjectRef& self, const Arguments&) -> Value {
            return std::static_pointer_cast<Counter>(self)->count;
        });
        c->addMethod("setCount:", [](const ObjectRef& self, const Arguments& a) -> Value {
            std::static_pointer_cast<Counter>(self)->count = argument(a, 0).asInt64().value_or(0);
            return {};
        });
        c->addMethod("isEven", [](const ObjectRef& self, const Arguments&) -> Value {
            return std::static_pointer_cast<Counter>(self)->count % 2 == 0;
        });
        c->addMethod("addTo:error:", [](const ObjectRef& self, const Arguments& a) -> Value {
            auto amount = argument(a, 0).asInt64();
            if (!amount) {
                if (auto slot = argument(a, 1).asSlot()) *slot = Value("not a number");
                return {};
            }
            return std::static_pointer_cast<Counter>(self)->count += *amount;
        });
        c->addMethod("explode", [](const ObjectRef&, const Arguments&) -> Value {
            raise("NSRangeException", "index 3 beyond bounds");
        });
        c->addClassMethod("counterWithCount:", [](const ObjectRef& self, const Arguments& a) {
            auto counter = send(send(self, "alloc"), "init");
            setValueForKey(counter, "count", argument(a, 0));
            return counter;
        });
        registerClass(c);
        auto sub = Class::make("TestSubCounter", c);
        sub->addMethod("count", [](const ObjectRef& self, const Arguments&) -> Value {
            return std::static_pointer_cast<Counter>(self)->count * 10;
        });
        registerClass(sub);
        return c;
    }();
    return cls;
}

}  // namespace

TEST(ForeignRuntime, FindsClassesMethodsAndKeysByName) {
    counterClass();
    auto cls = lookUpClass("TestCounter");
    ASSERT_TRUE(cls);
    EXPECT_FALSE(lookUpClass("NoSuchClass"));
    EXPECT_TRUE(cls->isSubclassOf(*rootClass()));

    auto counter = send(cls, "counterWithCount:", 4);
    EXPECT_TRUE(isKindOf(counter, "TestCounter"));
    EXPECT_FALSE(isKindOf(counter, "NSAccessibilityElement"));
    EXPECT_EQ(valueForKey(counter, "count").asInt64(), 4);
    EXPECT_EQ(valueForKey(counter, "even").asBool(), true);  // through "isEven"
    EXPECT_TRUE(respondsTo(counter, "addTo:error:"));
    EXPECT_FALSE(respondsTo(counter, "counterWithCount:"));  // a class method only
    EXPECT_TRUE(respondsTo(cls, "counterWithCount:"));
    EXPECT_FALSE(methodFor(counter, "missing"));
    EXPECT_FALSE(methodFor(Value(), "count"));

    auto add = methodFor(counter, "addTo:error:");
    ASSERT_TRUE(add);
    EXPECT_EQ(add(counter.asObject(), {3, nullptr}).asInt64(), 7);
    auto error = std::make_shared<Value>();
    EXPECT_TRUE(send(counter, "addTo:error:", "three", error).isNil());
    EXPECT_EQ(*error->asString(), "not a number");

    // Subclasses inherit the allocator and methods and may override.
    auto sub = send(send(lookUpClass("TestSubCounter"), "alloc"), "init");
    setValueForKey(sub, "count", 2);
    EXPECT_EQ(valueForKey(sub, "count").asInt64(), 20);
    EXPECT_TRUE(isKindOf(sub, *cls));
    EXPECT_EQ(send(sub, "class").asObject(), lookUpClass("TestSubCounter"));
}

TEST(ForeignRuntime, NilReceiversAnswerNil) {
    EXPECT_TRUE(send(Value(), "anything", 1, "two").isNil());
    EXPECT_TRUE(valueForKey(Value(), "devices").isNil());
    EXPECT_FALSE(respondsTo(Value(), "init"));
    EXPECT_FALSE(respondsTo(Value(42), "init"));  // not an object
}

TEST(ForeignRuntime, FaultsRaiseForeignExceptionsWithTheUsualTexts) {
    auto counter = send(counterClass(), "new");
    struct Case {
        std::function<void()> body;
        std::string name, reasonStart, reasonEnd;
    };
    std::vector<Case> cases = {
        {[&] { send(counter, "frobnicate:", 1); }, "NSInvalidArgumentException",
         "-[TestCounter frobnicate:]: unrecognized selector sent to instance 0x", ""},
        {[&] { send(counterClass(), "frobnicate"); }, "NSInvalidArgumentException",
         "+[TestCounter frobnicate]: unrecognized selector sent to class 0x", ""},
        {[&] { valueForKey(counter, "devices"); }, "NSUnknownKeyException", "[<TestCounter 0x",
         " valueForUndefinedKey:]: this class is not key value coding-compliant for the key "
         "devices."},
        {[&] { setValueForKey(counter, "even", true); }, "NSUnknownKeyException",
         "[<TestCounter 0x",
         " setValue:forUndefinedKey:]: this class is not key value coding-compliant for the key "
         "even."},
        {[&] { send(counter, "explode"); }, "NSRangeException", "index 3 beyond bounds", ""},
    };
    for (auto& c : cases) {
        auto caught = tavrelGuard(c.body);
        ASSERT_TRUE(caught) << c.name;
        EXPECT_EQ(caught->name, c.name);
        EXPECT_EQ(caught->reason.rfind(c.reasonStart, 0), 0u) << caught->reason;
        EXPECT_TRUE(caught->reason.ends_with(c.reasonEnd)) << caught->reason;
    }
}

TEST(TavrelGuard, ReturnsNothingWhenTheBodyFinishesAndLetsOtherErrorsThrough) {
    int ran = 0;
    EXPECT_FALSE(tavrelGuard([&] { ++ran; }));
    EXPECT_EQ(ran, 1);
    EXPECT_THROW(tavrelGuard([] { throw std::runtime_error("not a framework fault"); }),
                 std::runtime_error);

    char* name = nullptr;
    char* reason = nullptr;
    auto raising = [](void*) { raise("NSGenericException", ""); };
    EXPECT_TRUE(TavrelGuard(raising, nullptr, &name, &reason));
    EXPECT_STREQ(name, "NSGenericException");
    EXPECT_STREQ(reason, "");
    free(name);
    free(reason);
    EXPECT_FALSE(TavrelGuard([](void*) {}, nullptr, nullptr, nullptr));
}

TEST(ForeignRuntime, ReadsABundlesInformationDictionary) {
    auto dir = std::filesystem::temp_directory_path() / ("foreign-bundle-" + UUID::random().text());
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "Info.json") << R"({"CFBundleVersion": "1165.1", "Count": 3})";
    auto cls = Class::make("TestBundled", rootClass(), dir);
    auto info = cls->infoDictionary();
    EXPECT_EQ(*valueForKey(info, "CFBundleVersion").asString(), "1165.1");
    EXPECT_EQ(valueForKey(info, "Count").asInt64(), 3);
    std::filesystem::remove_all(dir);
    EXPECT_TRUE(cls->infoDictionary().isNil());
    EXPECT_TRUE(Class::make("TestUnbundled", rootClass())->infoDictionary().isNil());
}

TEST(ForeignValue, ConvertsNumbersAndRoundTripsUUIDs) {
    EXPECT_EQ(Value(true).asDouble(), 1.0);
    EXPECT_EQ(Value(uint64_t{7}).asInt64(), 7);
    EXPECT_EQ(Value(2.9).asInt64(), 2);
    EXPECT_FALSE(Value("1").asDouble());
    EXPECT_FALSE(Value().asBool());
    EXPECT_EQ(Value(float{0.5f}).kind(), Value::Kind::real);

    auto uuid = UUID::random();
    auto text = uuid.text();
    EXPECT_EQ(text.size(), 36u);
    EXPECT_EQ(text, [&] {
        auto upper = text;
        for (auto& c : upper) c = static_cast<char>(toupper(c));
        return upper;
    }());
    EXPECT_EQ(UUID::parse(text), uuid);
    std::string lower = text;
    for (auto& c : lower) c = static_cast<char>(tolower(c));
    EXPECT_EQ(UUID::parse(lower), uuid);
    for (auto bad : {"", "not-a-uuid", "0123456789AB-CDEF-0123-456789ABCDEF0",
                     "G1234567-89AB-CDEF-0123-456789ABCDEF"}) {
        EXPECT_FALSE(UUID::parse(bad)) << bad;
    }

    Value block =
        Block([](const Arguments& a) -> Value { return argument(a, 0).asInt64().value_or(0) + 1; });
    EXPECT_EQ(block.call({41}).asInt64(), 42);
    EXPECT_TRUE(Value(5).call().isNil());
}
