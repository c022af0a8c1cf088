#pragma once

#include <ostream>

#include "tavrel-client/ClientArguments.hpp"

namespace tavrel::client {

/// Runs one command against the helper at the invocation's socket. Results go to `out` (JSON
/// documents, one per line, or nothing for input commands). Throws HelperFailure with the
/// helper's own message and status, or the client's when the helper cannot be reached or does
/// not answer in time; throws UsageError for text it cannot type.
void run(const ClientInvocation& invocation, std::ostream& out, std::ostream& notes);

}  // namespace tavrel::client
