#pragma once

#include <signal.h>

#include <csignal>
#include <cstddef>
#include <optional>
#include <string>
#include <variant>

namespace tavrel::client::mcp {

/// Cuts the bytes of a descriptor into lines of at most `limit` bytes. A longer line is
/// skipped as it streams past, never held whole: the reader reports it once, with its length so
/// far, and goes on after its newline.
class LineReader {
  public:
    /// The largest message a client may send.
    static constexpr std::size_t defaultLimit = 4 * 1024 * 1024;

    struct Line {
        std::string text;
    };
    struct Overlong {
        /// The bytes seen before the reader stopped holding them.
        std::size_t bytes;
    };
    struct End {};
    using Item = std::variant<Line, Overlong, End>;

    explicit LineReader(int descriptor, std::size_t limit = defaultLimit);

    /// Waits for input with `mask` as the signal mask, so that a signal blocked elsewhere ends
    /// the wait; once `*stopped` is set the reader reports the end of input.
    void interruptible(const sigset_t* mask, const volatile std::sig_atomic_t* stopped);

    /// The next line (without its newline and a carriage return before it), an overlong line,
    /// or the end of input. A last line without a newline still counts. Blank lines are skipped.
    /// Throws std::system_error when the descriptor cannot be read.
    Item next();

  private:
    // Fills the buffer with what the descriptor has; false at its end.
    bool fill();

    int descriptor_;
    std::size_t limit_;
    const sigset_t* mask_ = nullptr;
    const volatile std::sig_atomic_t* stopped_ = nullptr;
    std::string buffer_;
    std::size_t scanned_ = 0;
    bool skipping_ = false;
    bool ended_ = false;
};

}  // namespace tavrel::client::mcp
