#pragma once

#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace tavrel {

/// A JSON tree for documents whose shape is only known at run time. Children are held by
/// value: a tree, never a graph.
class JSONValue {
public:
    using Array = std::vector<JSONValue>;
    using Object = std::map<std::string, JSONValue>;
    struct Null {
        bool operator==(const Null&) const = default;
    };
    using Storage = std::variant<bool, std::int64_t, double, std::string, Array, Object, Null>;

    JSONValue() : storage_(Null{}) {}
    JSONValue(bool value) : storage_(value) {}
    JSONValue(int value) : storage_(std::int64_t{value}) {}
    JSONValue(std::int64_t value) : storage_(value) {}
    JSONValue(double value) : storage_(value) {}
    JSONValue(const char* value) : storage_(std::string(value)) {}
    JSONValue(std::string value) : storage_(std::move(value)) {}
    JSONValue(Array value) : storage_(std::move(value)) {}
    JSONValue(Object value) : storage_(std::move(value)) {}

    /// `string` for a present text, `null` for an absent one.
    static JSONValue text(const std::optional<std::string>& value) {
        return value ? JSONValue(*value) : JSONValue();
    }

    const Storage& storage() const { return storage_; }
    bool isNull() const { return std::holds_alternative<Null>(storage_); }

    bool operator==(const JSONValue& other) const = default;

private:
    Storage storage_;
};

void to_json(nlohmann::json& json, const JSONValue& value);

namespace JSON {

/// Compact UTF-8 JSON with sorted keys, "/" unescaped and non-finite numbers written as the
/// strings "inf", "-inf" and "nan"; bytes that are not UTF-8 become U+FFFD. Never fails: an
/// encoding error gives "{}".
std::string encode(const nlohmann::json& value) noexcept;

template <class T>
std::string encode(const T& value) noexcept {
    try {
        return encode(nlohmann::json(value));
    } catch (...) {
        return "{}";
    }
}

}  // namespace JSON
}  // namespace tavrel
