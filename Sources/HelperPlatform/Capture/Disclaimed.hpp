#pragma once

#include <optional>

namespace tavrel::Disclaimed {

/// Starts a copy of this program, with the same arguments and the disclaim marker in its
/// environment, that is responsible for itself ("responsibility_spawnattrs_setdisclaim",
/// looked up in the running process), passes SIGTERM, SIGINT and SIGHUP on to it and waits for
/// it. Returns the status to exit with: the copy's, or 128 + the signal that ended it, or 1
/// (with a line on standard error) when the wait for it fails; nothing when no copy could be
/// started (no such function, it refused, the spawn failed), and the caller goes on in its own
/// process. The copy starts with every signal at its default disposition, whatever the host
/// left ignored.
///
/// Threads: call from the main thread before any other thread exists; the forwarded signals
/// are blocked in this process while the copy runs, and read by one thread of its own.
std::optional<int> run();

}  // namespace tavrel::Disclaimed
