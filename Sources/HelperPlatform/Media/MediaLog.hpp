#pragma once

namespace tavrel {

/// libav's own messages (x264's statistics, a decoder's complaints) would land between the
/// log lines on standard error; the failures they explain are reported anyway. Idempotent and
/// safe from any thread.
void quietMediaLibraries();

}  // namespace tavrel
