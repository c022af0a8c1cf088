#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperCore/Base/JSON.hpp"

namespace tavrel {
namespace {

TEST(JSONEncode, WritesDocumentsCompactSortedAndWithBareSlashes) {
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        JSONValue value;
        std::string expected;
    };
    const Case cases[] = {
        {JSONValue::Object{{"b", 1}, {"a", 2}}, R"({"a":2,"b":1})"},
        {JSONValue::Object{{"x", inf}, {"y", -inf}, {"z", std::nan("")}},
         R"({"x":"inf","y":"-inf","z":"nan"})"},
        {JSONValue::Array{JSONValue::Array{-inf}, 1.5, "a/b"}, R"([["-inf"],1.5,"a/b"])"},
        {JSONValue::text(std::nullopt), "null"},
        {JSONValue::text("text"), R"("text")"},
        {JSONValue::Object{{"k", JSONValue::Object{{"z", true}, {"m", JSONValue()}}}},
         R"({"k":{"m":null,"z":true}})"},
        {JSONValue(std::int64_t{-9007199254740993}), "-9007199254740993"},
    };
    for (const auto& c : cases) EXPECT_EQ(JSON::encode(c.value), c.expected);
}

TEST(JSONEncode, ReplacesBytesThatAreNotUTF8) {
    EXPECT_EQ(JSON::encode(JSONValue::Object{{"bad", std::string("\xff\xfe")}, {"ok", 1}}),
              "{\"bad\":\"\xEF\xBF\xBD\xEF\xBF\xBD\",\"ok\":1}");
    // What a client gets for a request that carried such bytes: the message and the status.
    const std::string failure = JSON::encode(HelperFailure("not an op: caf\xC3", 400));
    EXPECT_EQ(failure, "{\"message\":\"not an op: caf\xEF\xBF\xBD\",\"status\":400}");
}

TEST(JSONValue, ComparesObjectsByMembersWhateverTheirOrder) {
    JSONValue first = JSONValue::Object{{"a", 1}, {"b", "x"}};
    JSONValue second = JSONValue::Object{{"b", "x"}, {"a", 1}};
    EXPECT_EQ(first, second);
    EXPECT_NE(first, JSONValue(JSONValue::Object{{"a", 1}}));
    EXPECT_NE(JSONValue(1), JSONValue(1.0));
}

TEST(HelperFailure, EncodesAsMessageAndStatusOnly) {
    EXPECT_EQ(JSON::encode(HelperFailure("quality must be 1 to 100", 400)),
              R"({"message":"quality must be 1 to 100","status":400})");
}

TEST(HelperFailure, FromKeepsItsOwnAndMapsOthersTo502) {
    HelperFailure conflict("not booted", 409);
    EXPECT_EQ(HelperFailure::from(conflict), conflict);
    EXPECT_EQ(HelperFailure::from(std::runtime_error("disk full")),
              HelperFailure("disk full", 502));
    try {
        throw std::out_of_range("index 3");
    } catch (...) {
        EXPECT_EQ(HelperFailure::fromCurrentException(), HelperFailure("index 3", 502));
    }
}

}  // namespace
}  // namespace tavrel
