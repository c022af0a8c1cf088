#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

namespace tavrel {

/// The helper's one logger. A small value handed to every long-lived component and copied
/// freely: it holds no mutable state and takes no lock, so copies are used from any thread.
/// Each message becomes one line "[level] message"; standard output stays free for the JSON
/// reports.
class Log {
  public:
    enum class Level { debug = 0, info = 1, warning = 2, error = 3 };

    /// Receives each finished line, without a newline; must be callable from any thread.
    using Write = std::function<void(const std::string& line)>;

    /// "debug", "info", "warning" or "error", exactly; any other text gives none.
    static std::optional<Level> levelNamed(std::string_view name);
    static std::string_view name(Level level);

    /// A log writing to standard error.
    explicit Log(Level level = Level::info) : Log(level, writeToStandardError) {}
    Log(Level level, Write write) : level_(level), write_(std::move(write)) {}

    /// The write function the program uses: the line and a newline reach standard error in
    /// one unbuffered write, so lines from several threads never interleave within a line.
    static void writeToStandardError(const std::string& line);

    Level level() const { return level_; }

    /// `message` is either a text or a function returning one; a function is called only
    /// when the line is written.
    template <class Message>
    void debug(Message&& message) const {
        log(Level::debug, std::forward<Message>(message));
    }
    template <class Message>
    void info(Message&& message) const {
        log(Level::info, std::forward<Message>(message));
    }
    template <class Message>
    void warning(Message&& message) const {
        log(Level::warning, std::forward<Message>(message));
    }
    template <class Message>
    void error(Message&& message) const {
        log(Level::error, std::forward<Message>(message));
    }

    template <class Message>
    void log(Level level, Message&& message) const {
        if (level < level_ || !write_) return;
        if constexpr (std::is_invocable_v<Message>) {
            emit(level, std::string(std::forward<Message>(message)()));
        } else {
            emit(level, std::string(std::forward<Message>(message)));
        }
    }

  private:
    void emit(Level level, std::string_view message) const;

    Level level_;
    Write write_;
};

}  // namespace tavrel
