#pragma once

#include <ostream>

#include "tavrel-client/ClientArguments.hpp"

namespace tavrel::client {

/// Serves the live viewer page until SIGINT or SIGTERM, which stop the viewer and leave the
/// helper serving. Reads the screen first (so a helper that cannot be reached fails before
/// anything listens), then prints the page's URL, with its token, once on `out`. Throws
/// HelperFailure when the helper cannot be reached or the address cannot be bound.
void view(const ClientInvocation& invocation, const ViewCommand& command, std::ostream& out);

}  // namespace tavrel::client
