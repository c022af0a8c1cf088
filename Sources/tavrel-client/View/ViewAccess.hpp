#pragma once

#include <string>
#include <string_view>

// Who may use a viewer. A page can drive the device, so every request carries the random token
// printed with the viewer's URL, and a WebSocket must come from the viewer's own page: another
// web site open in the same browser knows neither.

namespace tavrel::client::ViewAccess {

/// 128 random bits as 32 lower-case hex digits.
std::string newToken();

/// The path of a request target, without its query.
std::string_view pathOf(std::string_view target);

/// The value of the "token" parameter of a request target's query; empty when it has none.
std::string_view tokenOf(std::string_view target);

/// Compares in a time that depends only on the lengths, so the token cannot be guessed a
/// character at a time.
bool sameToken(std::string_view given, std::string_view token);

/// Whether a WebSocket handshake's Origin is the page the viewer served at that Host.
bool sameOrigin(std::string_view origin, std::string_view host);

}  // namespace tavrel::client::ViewAccess
