#include "HelperCore/Base/JSONMembers.hpp"

#include <cmath>
#include <limits>
#include <string_view>

namespace tavrel {

using json = nlohmann::json;

JSONMemberError::JSONMemberError(Kind kind, const std::string& text)
    : std::runtime_error(text), kind_(kind) {}

std::string JSONMemberError::tagged() const {
    const char* tag = "";
    switch (kind_) {
        case Kind::notAnObject:
        case Kind::wrongType:
            tag = "[json.exception.type_error.302] ";
            break;
        case Kind::missing:
            tag = "[json.exception.out_of_range.403] ";
            break;
        case Kind::notWhole:
            tag = "[json.exception.out_of_range.406] ";
            break;
        case Kind::notAllowed:
            tag = "[json.exception.other_error.501] ";
            break;
    }
    return tag + std::string(what());
}

namespace {

// "an integer", "a number": the type as the key-first wording names it.
std::string withArticle(const char* type) {
    const bool vowel = std::string_view("aeiou").find(type[0]) != std::string_view::npos;
    return (vowel ? "an " : "a ") + std::string(type);
}

}  // namespace

JSONMembers::JSONMembers(const json& object, std::string whose, Wording wording)
    : object_(object), whose_(std::move(whose)), wording_(wording) {
    if (object_.is_object()) return;
    const std::string actual = object_.type_name();
    throw JSONMemberError(JSONMemberError::Kind::notAnObject,
                          wording_ == Wording::keyFirst
                              ? whose_ + " must be an object, but is " + actual
                              : "type must be object for " + whose_ + ", but is " + actual);
}

void JSONMembers::wrongType(const json& value, const char* key, const char* wanted) const {
    const std::string actual = value.type_name();
    throw JSONMemberError(
        JSONMemberError::Kind::wrongType,
        wording_ == Wording::keyFirst
            ? "\"" + std::string(key) + "\" must be " + withArticle(wanted) + ", but is " + actual
            : std::string("type must be ") + wanted + " for \"" + key + "\" of " + whose_ +
                  ", but is " + actual);
}

const json* JSONMembers::find(const char* key) const {
    const auto found = object_.find(key);
    if (found == object_.end() || found->is_null()) return nullptr;
    return &*found;
}

const json& JSONMembers::required(const char* key) const {
    const json* value = find(key);
    if (!value) {
        throw JSONMemberError(JSONMemberError::Kind::missing,
                              std::string("key '") + key + "' not found");
    }
    return *value;
}

std::optional<std::string> JSONMembers::string(const char* key) const {
    const json* value = find(key);
    if (!value) return std::nullopt;
    if (!value->is_string()) wrongType(*value, key, "string");
    return value->get<std::string>();
}

std::optional<double> JSONMembers::number(const char* key) const {
    const json* value = find(key);
    if (!value) return std::nullopt;
    if (!value->is_number()) wrongType(*value, key, "number");
    return value->get<double>();
}

std::optional<std::int64_t> JSONMembers::integer(const char* key) const {
    const json* value = find(key);
    if (!value) return std::nullopt;
    if (value->is_number_unsigned()) {
        const auto whole = value->get<std::uint64_t>();
        if (whole <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
            return static_cast<std::int64_t>(whole);
    } else if (value->is_number_integer()) {
        return value->get<std::int64_t>();
    } else if (value->is_number_float()) {
        // -2^63 is the first whole number in range, 2^63 the first past it; NaN fails both.
        const double real = value->get<double>();
        if (std::trunc(real) == real && real >= -0x1p63 && real < 0x1p63)
            return static_cast<std::int64_t>(real);
    } else {
        wrongType(*value, key, "integer");
    }
    throw JSONMemberError(JSONMemberError::Kind::notWhole, "number " + value->dump() + " for \"" +
                                                               key + "\" is not a 64-bit integer");
}

const json* JSONMembers::array(const char* key) const {
    const json* value = find(key);
    if (value && !value->is_array()) wrongType(*value, key, "array");
    return value;
}

std::string JSONMembers::requiredString(const char* key) const {
    required(key);
    return *string(key);
}

double JSONMembers::requiredNumber(const char* key) const {
    required(key);
    return *number(key);
}

std::int64_t JSONMembers::requiredInteger(const char* key) const {
    required(key);
    return *integer(key);
}

const json& JSONMembers::requiredArray(const char* key) const {
    required(key);
    return *array(key);
}

JSONMemberError JSONMembers::notAllowed(const std::string& text) {
    return JSONMemberError(JSONMemberError::Kind::notAllowed, text);
}

}  // namespace tavrel
