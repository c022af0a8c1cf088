#include "tavrel-client/View/ViewAccess.hpp"

#include <array>
#include <random>

namespace tavrel::client::ViewAccess {

std::string newToken() {
    std::random_device device;  // the kernel's random source on Linux
    static constexpr char digits[] = "0123456789abcdef";
    std::string token;
    for (int word = 0; word < 4; ++word) {
        auto bits = static_cast<std::uint32_t>(device());
        for (int digit = 0; digit < 8; ++digit, bits >>= 4) token.push_back(digits[bits & 0xF]);
    }
    return token;
}

std::string_view pathOf(std::string_view target) {
    return target.substr(0, target.find('?'));
}

std::string_view tokenOf(std::string_view target) {
    const auto question = target.find('?');
    if (question == std::string_view::npos) return {};
    std::string_view query = target.substr(question + 1);
    query = query.substr(0, query.find('#'));
    while (!query.empty()) {
        const auto amp = query.find('&');
        const auto pair = query.substr(0, amp);
        if (pair.starts_with("token=")) return pair.substr(6);
        if (amp == std::string_view::npos) break;
        query.remove_prefix(amp + 1);
    }
    return {};
}

bool sameToken(std::string_view given, std::string_view token) {
    if (token.empty() || given.size() != token.size()) return false;
    unsigned char difference = 0;
    for (std::size_t index = 0; index < token.size(); ++index) {
        difference |= static_cast<unsigned char>(given[index] ^ token[index]);
    }
    return difference == 0;
}

bool sameOrigin(std::string_view origin, std::string_view host) {
    constexpr std::string_view scheme = "http://";
    return !host.empty() && origin.size() == scheme.size() + host.size() &&
           origin.starts_with(scheme) && origin.substr(scheme.size()) == host;
}

}  // namespace tavrel::client::ViewAccess
