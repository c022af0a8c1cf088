#include "HelperCore/Base/HelperFailure.hpp"

#include <nlohmann/json.hpp>

namespace tavrel {

HelperFailure HelperFailure::from(const std::exception& error) {
    if (auto failure = dynamic_cast<const HelperFailure*>(&error)) return *failure;
    return HelperFailure(error.what(), 502);
}

HelperFailure HelperFailure::fromCurrentException() {
    try {
        throw;
    } catch (const std::exception& error) {
        return from(error);
    } catch (...) {
        return HelperFailure("unknown error", 502);
    }
}

void to_json(nlohmann::json& json, const HelperFailure& failure) {
    json = nlohmann::json{{"message", failure.message()}, {"status", failure.status()}};
}

}  // namespace tavrel
