#include "HelperCore/Input/TransportPolicy.hpp"

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperCore/Input/HIDTransport.hpp"

namespace tavrel::TransportPolicy {

const char* rawValue(Preference preference) {
    switch (preference) {
        case Preference::automatic:
            return "auto";
        case Preference::dtuhid:
            return "dtuhid";
        case Preference::indigo:
            return "indigo";
    }
    return "auto";
}

std::optional<Preference> preferenceNamed(std::string_view text) {
    for (Preference preference : allPreferences)
        if (text == rawValue(preference)) return preference;
    return std::nullopt;
}

std::vector<std::string> order(Preference preference,
                               const std::optional<std::string>& coreSimulator) {
    switch (preference) {
        case Preference::dtuhid:
            return {"dtuhid"};
        case Preference::indigo:
            return {"indigo"};
        case Preference::automatic:
            break;
    }
    if (coreSimulator && compareVersions(*coreSimulator, firstDTUHIDCoreSimulator) >= 0)
        return {"dtuhid", "indigo"};
    return {"indigo"};
}

std::shared_ptr<HIDTransport> firstTransport(
    const std::vector<std::string>& names,
    const std::function<std::shared_ptr<HIDTransport>(const std::string& name)>& construct) {
    std::string reasons;
    for (const std::string& name : names) {
        std::string message;
        try {
            if (std::shared_ptr<HIDTransport> transport = construct(name)) return transport;
            message = "no transport";
        } catch (...) {
            message = HelperFailure::fromCurrentException().message();
        }
        if (!reasons.empty()) reasons += "; ";
        reasons += name + ": " + message;
    }
    throw HelperFailure("input cannot reach the simulator (" + reasons + ")", 409);
}

namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

/// Compares two runs of digits by value, whatever their length or leading zeros.
int compareNumbers(std::string_view left, std::string_view right) {
    auto stripped = [](std::string_view digits) {
        std::size_t first = digits.find_first_not_of('0');
        return first == std::string_view::npos ? std::string_view() : digits.substr(first);
    };
    left = stripped(left);
    right = stripped(right);
    if (left.size() != right.size()) return left.size() < right.size() ? -1 : 1;
    int order = left.compare(right);
    return order < 0 ? -1 : order > 0 ? 1 : 0;
}

}  // namespace

int compareVersions(std::string_view left, std::string_view right) {
    std::size_t i = 0, j = 0;
    while (i < left.size() && j < right.size()) {
        if (isDigit(left[i]) && isDigit(right[j])) {
            std::size_t leftEnd = i, rightEnd = j;
            while (leftEnd < left.size() && isDigit(left[leftEnd])) ++leftEnd;
            while (rightEnd < right.size() && isDigit(right[rightEnd])) ++rightEnd;
            int order = compareNumbers(left.substr(i, leftEnd - i), right.substr(j, rightEnd - j));
            if (order != 0) return order;
            i = leftEnd;
            j = rightEnd;
            continue;
        }
        auto a = static_cast<unsigned char>(left[i]), b = static_cast<unsigned char>(right[j]);
        if (a != b) return a < b ? -1 : 1;
        ++i;
        ++j;
    }
    bool leftDone = i == left.size(), rightDone = j == right.size();
    if (leftDone && rightDone) return 0;
    return leftDone ? -1 : 1;
}

}  // namespace tavrel::TransportPolicy
