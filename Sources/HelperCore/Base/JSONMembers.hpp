#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>

namespace tavrel {

/// A member of a JSON document that is missing, of another type or out of range. `what()` is
/// the description in this helper's words.
class JSONMemberError : public std::runtime_error {
  public:
    enum class Kind { notAnObject, wrongType, missing, notWhole, notAllowed };

    JSONMemberError(Kind kind, const std::string& text);

    Kind kind() const noexcept { return kind_; }

    /// The description led by the tag the request decoder's failures have always carried
    /// ("[json.exception.type_error.302] ..."): documented request failures show it, and hosts
    /// may match on them. Other documents describe their failures without it.
    std::string tagged() const;

  private:
    Kind kind_;
};

/// Reads the members of one JSON object, named in failures as `whose` ("a request", "a HID
/// event"). An absent member and a null one are the same. A whole number is an integer, or a
/// number with no fraction (4.0), from -2^63 up to but not including 2^63.
///
/// Threads: a reader is a view of the object, which must outlive it.
class JSONMembers {
  public:
    /// How a member of the wrong type is described. `typeFirst`: "type must be number for "x" of
    /// a crop, but is string". `keyFirst`, the older words of documents whose failures hosts
    /// already match on: ""x" must be a number, but is string", and "a crop must be an object,
    /// but is array".
    enum class Wording { typeFirst, keyFirst };

    /// Throws `JSONMemberError` when `object` is not an object.
    JSONMembers(const nlohmann::json& object, std::string whose,
                Wording wording = Wording::typeFirst);

    /// The member, or null when it is absent or null.
    const nlohmann::json* find(const char* key) const;

    /// Each reads the member when present and throws `JSONMemberError` when it is of another
    /// type or, for `integer`, not a whole number in range.
    std::optional<std::string> string(const char* key) const;
    std::optional<double> number(const char* key) const;
    std::optional<std::int64_t> integer(const char* key) const;
    const nlohmann::json* array(const char* key) const;

    /// The same for a member that must be there; throw `JSONMemberError` when it is not.
    const nlohmann::json& required(const char* key) const;
    std::string requiredString(const char* key) const;
    double requiredNumber(const char* key) const;
    std::int64_t requiredInteger(const char* key) const;
    const nlohmann::json& requiredArray(const char* key) const;

    /// A failure for a member whose value this document does not allow: `text` says why.
    static JSONMemberError notAllowed(const std::string& text);

  private:
    [[noreturn]] void wrongType(const nlohmann::json& value, const char* key,
                                const char* wanted) const;

    const nlohmann::json& object_;
    std::string whose_;
    Wording wording_;
};

}  // namespace tavrel
