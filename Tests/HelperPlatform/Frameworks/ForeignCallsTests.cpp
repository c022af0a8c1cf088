#include "HelperPlatform/Frameworks/ForeignCalls.hpp"

#include <gtest/gtest.h>

#include "HelperCore/Base/HelperFailure.hpp"
#include "SimulatedPlatform/Runtime/Foreign/Object.hpp"
#include "Support/FailureOf.hpp"

namespace tavrel {
namespace {

using tavrel::testing::failureOf;

// A framework class of the test's own whose methods misbehave on purpose.
foreign::Value misbehavingObject() {
    static foreign::ClassRef cls = [] {
        auto made = foreign::Class::make("TavrelTestMisbehaving", foreign::rootClass());
        made->addMethod("explode",
                        [](const foreign::ObjectRef&, const foreign::Arguments&) -> foreign::Value {
                            foreign::raise("NSInternalInconsistencyException", "the box broke");
                        });
        made->addMethod("mumble",
                        [](const foreign::ObjectRef&, const foreign::Arguments&) -> foreign::Value {
                            foreign::raise("NSGenericException", "");
                        });
        made->addMethod("child",
                        [](const foreign::ObjectRef& self,
                           const foreign::Arguments&) -> foreign::Value { return self; });
        made->addMethod("text",
                        [](const foreign::ObjectRef&, const foreign::Arguments&) -> foreign::Value {
                            return "not an object";
                        });
        foreign::registerClass(made);
        return made;
    }();
    return cls->allocate();
}

TEST(ForeignCalls, TurnsWhatAFrameworkRaisesIntoAFailureNamingTheOperation) {
    auto object = misbehavingObject();
    struct Case {
        std::string what;
        std::string selector;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"the device list", "explode",
         "the device list raised NSInternalInconsistencyException: the box broke"},
        {"sending input", "mumble", "sending input raised NSGenericException: no reason"},
        {"the device type", "noSuchMethod",
         "the device type raised NSInvalidArgumentException: -[TavrelTestMisbehaving "
         "noSuchMethod]: unrecognized selector sent to instance "},
    };
    for (const auto& c : cases) {
        auto failure = failureOf(
            [&] { ForeignCalls::guarded(c.what, [&] { foreign::send(object, c.selector); }); });
        EXPECT_EQ(failure.status(), 502);
        EXPECT_EQ(failure.message().substr(0, c.message.size()), c.message);
    }
    // Values and the helper's own failures pass through unchanged.
    EXPECT_EQ(ForeignCalls::guarded("x", [] { return 42; }), 42);
    EXPECT_EQ(
        failureOf([] { ForeignCalls::guarded("x", [] { throw HelperFailure("mine", 409); }); }),
        HelperFailure("mine", 409));
}

TEST(ForeignCalls, ObjectAnswersOnlyFrameworkObjects) {
    auto object = misbehavingObject();
    EXPECT_EQ(ForeignCalls::object(object, "child"), object.asObject());
    EXPECT_EQ(ForeignCalls::object(object, "text"), nullptr);
    EXPECT_EQ(ForeignCalls::object(object, "noSuchMethod"), nullptr);
    EXPECT_EQ(ForeignCalls::object(foreign::Value(), "child"), nullptr);
}

}  // namespace
}  // namespace tavrel
