#pragma once

#include <exception>
#include <nlohmann/json_fwd.hpp>
#include <string>

namespace tavrel {

/// The one failure of the whole program: a sentence for a person and an HTTP-like status
/// (400 refused input, 403 permission, 404 not found, 409 wrong state, 502 platform failed,
/// 503 not available yet, 504 time limit).
class HelperFailure : public std::exception {
public:
    HelperFailure(std::string message, int status) : message_(std::move(message)), status_(status) {}

    const std::string& message() const noexcept { return message_; }
    int status() const noexcept { return status_; }
    const std::string& description() const noexcept { return message_; }
    const char* what() const noexcept override { return message_.c_str(); }

    bool operator==(const HelperFailure& other) const {
        return status_ == other.status_ && message_ == other.message_;
    }

    /// The failure itself when it is one, else the error's description with status 502.
    static HelperFailure from(const std::exception& error);
    /// For catch (...): maps the exception in flight.
    static HelperFailure fromCurrentException();

private:
    std::string message_;
    int status_;
};

void to_json(nlohmann::json& json, const HelperFailure& failure);

}  // namespace tavrel
