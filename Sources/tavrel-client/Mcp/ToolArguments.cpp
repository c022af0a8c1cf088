#include "tavrel-client/Mcp/ToolArguments.hpp"

#include <cmath>
#include <string>

#include "tavrel-client/Mcp/JsonRpc.hpp"

namespace tavrel::client::mcp::ToolArguments {
namespace {

[[noreturn]] void refuse(const std::string& path, const std::string& why) {
    throw JsonRpc::Error(JsonRpc::invalidParams, "Invalid arguments: " + path + " " + why,
                         {{"argument", path}});
}

bool hasType(const nlohmann::json& value, const std::string& type) {
    if (type == "string") return value.is_string();
    if (type == "boolean") return value.is_boolean();
    if (type == "object") return value.is_object();
    if (type == "array") return value.is_array();
    if (type == "number") return value.is_number() && std::isfinite(value.get<double>());
    if (type == "integer") {
        if (value.is_number_integer()) return true;
        // 3.0 is an integer to JSON Schema.
        if (!value.is_number_float()) return false;
        const double number = value.get<double>();
        return std::isfinite(number) && std::floor(number) == number;
    }
    return false;
}

std::string typeText(const nlohmann::json& type) {
    if (type.is_string()) return type.get<std::string>();
    std::string text;
    for (const auto& name : type) text += (text.empty() ? "" : " or ") + name.get<std::string>();
    return text;
}

void checkValue(const nlohmann::json& schema, const nlohmann::json& value, const std::string& path);

void checkObject(const nlohmann::json& schema, const nlohmann::json& value,
                 const std::string& path) {
    const auto prefix = path.empty() ? std::string() : path + ".";
    const auto properties = schema.value("properties", nlohmann::json::object());
    if (schema.value("additionalProperties", true) == false) {
        for (const auto& [key, _] : value.items()) {
            if (!properties.contains(key)) refuse(prefix + key, "is not an argument of this tool");
        }
    }
    for (const auto& name : schema.value("required", nlohmann::json::array())) {
        if (!value.contains(name.get<std::string>())) {
            refuse(prefix + name.get<std::string>(), "is required");
        }
    }
    for (const auto& [key, property] : properties.items()) {
        if (value.contains(key)) checkValue(property, value[key], prefix + key);
    }
}

void checkValue(const nlohmann::json& schema, const nlohmann::json& value,
                const std::string& path) {
    if (const auto type = schema.find("type"); type != schema.end()) {
        bool fits = false;
        if (type->is_string()) {
            fits = hasType(value, type->get<std::string>());
        } else {
            for (const auto& name : *type) fits = fits || hasType(value, name.get<std::string>());
        }
        if (!fits) refuse(path, "must be of type " + typeText(*type) + ", not " + value.dump());
    }
    if (const auto choices = schema.find("enum"); choices != schema.end()) {
        bool listed = false;
        for (const auto& choice : *choices) listed = listed || choice == value;
        if (!listed) refuse(path, "must be one of " + choices->dump() + ", not " + value.dump());
    }
    if (value.is_number()) {
        const double number = value.get<double>();
        if (schema.contains("minimum") && number < schema["minimum"].get<double>()) {
            refuse(path, "must be at least " + schema["minimum"].dump() + ", not " + value.dump());
        }
        if (schema.contains("maximum") && number > schema["maximum"].get<double>()) {
            refuse(path, "must be at most " + schema["maximum"].dump() + ", not " + value.dump());
        }
    }
    if (value.is_string() && schema.contains("minLength") &&
        value.get<std::string>().size() < schema["minLength"].get<std::size_t>()) {
        refuse(path, "must not be empty");
    }
    if (value.is_object()) checkObject(schema, value, path);
}

}  // namespace

void check(const nlohmann::json& schema, const nlohmann::json& arguments) {
    if (!arguments.is_object()) refuse("arguments", "must be an object");
    checkObject(schema, arguments, "");
}

}  // namespace tavrel::client::mcp::ToolArguments
