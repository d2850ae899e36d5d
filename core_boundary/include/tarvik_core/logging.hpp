// Named loggers.
//
// get_logger(name) returns the one logger of that name (created on first use,
// alive until the process ends), so each module fetches its logger once when
// it loads and keeps the reference. Levels are debug, info, warning, error.
// Lines go to standard error through spdlog, and to any LogSink added to the
// logger, which is how tests and hosts capture exact lines and levels.
//
// Callers build their message only when `enabled(level)` says it will be
// written; the helpers below check first, so building a message is the
// caller's only cost on a disabled level.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace tarvik_core {

enum class LogLevel { debug, info, warning, error, off };

std::string_view log_level_name(LogLevel level) noexcept;  // "debug", ..., "off"
LogLevel log_level_from_name(std::string_view name);       // ValueError on unknown names

struct LogRecord {
    std::string_view logger;
    LogLevel level;
    std::string_view message;
};

// Receives every line of the loggers it is added to, at their level or above.
class LogSink {
public:
    virtual ~LogSink() = default;
    virtual void write(const LogRecord& record) = 0;
};

class Logger {
public:
    const std::string& name() const noexcept { return name_; }
    bool enabled(LogLevel level) const noexcept;
    void set_level(LogLevel level);
    LogLevel level() const noexcept;

    void log(LogLevel level, std::string_view message);
    void debug(std::string_view message) { if (enabled(LogLevel::debug)) log(LogLevel::debug, message); }
    void info(std::string_view message) { if (enabled(LogLevel::info)) log(LogLevel::info, message); }
    void warning(std::string_view message) { if (enabled(LogLevel::warning)) log(LogLevel::warning, message); }
    void error(std::string_view message) { if (enabled(LogLevel::error)) log(LogLevel::error, message); }

    void add_sink(std::shared_ptr<LogSink> sink);
    void remove_sink(const std::shared_ptr<LogSink>& sink);

    // Internal: constructed by get_logger only.
    struct Impl;
    explicit Logger(std::string name);
    ~Logger();
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

private:
    friend void set_console_logging(bool enabled);
    std::string name_;
    std::unique_ptr<Impl> impl_;
};

Logger& get_logger(std::string_view name);

// Level given to loggers created from now on and to every existing one.
void set_default_log_level(LogLevel level);
// Whether lines also go to standard error (on by default).
void set_console_logging(bool enabled);

}  // namespace tarvik_core
