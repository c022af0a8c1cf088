#include "HelperCore/Base/JSONMembers.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>

namespace tavrel {
namespace {

using json = nlohmann::json;
using Kind = JSONMemberError::Kind;

// What one reader made of the member "m" of a document: its value as JSON, or its failure.
struct Outcome {
    std::optional<json> value;
    std::optional<Kind> kind;
    std::string text;
};

Outcome outcome(const std::string& document, const std::function<json(const JSONMembers&)>& read,
                JSONMembers::Wording wording) {
    const json parsed = json::parse(document);
    try {
        return {read(JSONMembers(parsed, "a thing", wording)), std::nullopt, ""};
    } catch (const JSONMemberError& error) {
        return {std::nullopt, error.kind(), error.tagged()};
    }
}

json optional(const auto& value) {
    return value ? json(*value) : json("absent");
}

TEST(JSONMembers, ReadsEachTypeAndRefusesInOneWording) {
    const auto string = [](const JSONMembers& m) { return optional(m.string("m")); };
    const auto number = [](const JSONMembers& m) { return optional(m.number("m")); };
    const auto integer = [](const JSONMembers& m) { return optional(m.integer("m")); };
    const auto array = [](const JSONMembers& m) { return optional(m.array("m")); };
    const auto required = [](const JSONMembers& m) { return json(m.requiredInteger("m")); };
    struct Case {
        std::string document;
        std::function<json(const JSONMembers&)> read;
        std::optional<json> value;
        std::string failure;  // tagged, as requests have always described it
        JSONMembers::Wording wording = JSONMembers::Wording::typeFirst;
    };
    constexpr auto keyFirst = JSONMembers::Wording::keyFirst;
    const std::vector<Case> cases = {
        {R"({"m":"a"})", string, json("a"), ""},
        {R"({})", string, json("absent"), ""},
        {R"({"m":null})", string, json("absent"), ""},
        {R"({"m":5})", string, std::nullopt,
         "[json.exception.type_error.302] type must be string for \"m\" of a thing, but is number"},
        {R"({"m":4.5})", number, json(4.5), ""},
        {R"({"m":-3})", number, json(-3.0), ""},
        {R"({"m":true})", number, std::nullopt,
         "[json.exception.type_error.302] type must be number for \"m\" of a thing, but is "
         "boolean"},
        {R"({"m":4})", integer, json(4), ""},
        {R"({"m":4.0})", integer, json(4), ""},
        {R"({"m":-0.0})", integer, json(0), ""},
        // The largest whole number and the smallest, as integers and as numbers with a fraction.
        {R"({"m":9223372036854775807})", integer, json(INT64_MAX), ""},
        {R"({"m":-9223372036854775808})", integer, json(INT64_MIN), ""},
        {R"({"m":-9.223372036854775808e18})", integer, json(INT64_MIN), ""},
        {R"({"m":9.21e18})", integer, json(std::int64_t{9'210'000'000'000'000'000}), ""},
        {R"({"m":9223372036854775808})", integer, std::nullopt,
         "[json.exception.out_of_range.406] number 9223372036854775808 for \"m\" is not a 64-bit "
         "integer"},
        {R"({"m":9.223372036854775808e18})", integer, std::nullopt,
         "[json.exception.out_of_range.406] number 9.223372036854776e+18 for \"m\" is not a "
         "64-bit integer"},
        {R"({"m":4.5})", integer, std::nullopt,
         "[json.exception.out_of_range.406] number 4.5 for \"m\" is not a 64-bit integer"},
        {R"({"m":1e300})", integer, std::nullopt,
         "[json.exception.out_of_range.406] number 1e+300 for \"m\" is not a 64-bit integer"},
        {R"({"m":"4"})", integer, std::nullopt,
         "[json.exception.type_error.302] type must be integer for \"m\" of a thing, but is "
         "string"},
        {R"({"m":[1]})", array, json::parse("[1]"), ""},
        {R"({"m":{}})", array, std::nullopt,
         "[json.exception.type_error.302] type must be array for \"m\" of a thing, but is object"},
        {R"({"m":7})", required, json(7), ""},
        {R"({"n":7})", required, std::nullopt,
         "[json.exception.out_of_range.403] key 'm' not found"},
        {R"({"m":null})", required, std::nullopt,
         "[json.exception.out_of_range.403] key 'm' not found"},
        {R"([1,2])", string, std::nullopt,
         "[json.exception.type_error.302] type must be object for a thing, but is array"},
        // The older words some documents keep, for hosts that match on them.
        {R"({"m":"4"})", integer, std::nullopt,
         "[json.exception.type_error.302] \"m\" must be an integer, but is string", keyFirst},
        {R"({"m":true})", number, std::nullopt,
         "[json.exception.type_error.302] \"m\" must be a number, but is boolean", keyFirst},
        {R"({"m":{}})", array, std::nullopt,
         "[json.exception.type_error.302] \"m\" must be an array, but is object", keyFirst},
        {R"({"m":1})", string, std::nullopt,
         "[json.exception.type_error.302] \"m\" must be a string, but is number", keyFirst},
        {R"({"m":4.5})", integer, std::nullopt,
         "[json.exception.out_of_range.406] number 4.5 for \"m\" is not a 64-bit integer",
         keyFirst},
        {R"({"n":7})", required, std::nullopt,
         "[json.exception.out_of_range.403] key 'm' not found", keyFirst},
        {R"([1,2])", string, std::nullopt,
         "[json.exception.type_error.302] a thing must be an object, but is array", keyFirst},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.document);
        const auto got = outcome(c.document, c.read, c.wording);
        EXPECT_EQ(got.value, c.value);
        EXPECT_EQ(got.text, c.failure);
    }
}

TEST(JSONMembers, DescribesWithoutTheTagWhereNoHostMatchesOnIt) {
    const json document = json::parse(R"({"m":"x"})");
    try {
        JSONMembers(document, "a render job").requiredNumber("m");
        ADD_FAILURE() << "read a string as a number";
    } catch (const JSONMemberError& error) {
        EXPECT_EQ(error.kind(), Kind::wrongType);
        EXPECT_STREQ(error.what(), "type must be number for \"m\" of a render job, but is string");
    }
    const auto refused = JSONMembers::notAllowed("\"m\" is up or down");
    EXPECT_STREQ(refused.what(), "\"m\" is up or down");
    EXPECT_EQ(refused.tagged(), "[json.exception.other_error.501] \"m\" is up or down");
}

}  // namespace
}  // namespace tavrel
