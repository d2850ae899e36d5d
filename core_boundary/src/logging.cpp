#include "tarvik_core/logging.hpp"

#include <algorithm>
#include <map>
#include <mutex>
#include <vector>

#include <spdlog/sinks/base_sink.h>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

#include "tarvik_core/errors.hpp"

namespace tarvik_core {

namespace {

spdlog::level::level_enum to_spdlog(LogLevel level) {
    switch (level) {
        case LogLevel::debug: return spdlog::level::debug;
        case LogLevel::info: return spdlog::level::info;
        case LogLevel::warning: return spdlog::level::warn;
        case LogLevel::error: return spdlog::level::err;
        case LogLevel::off: return spdlog::level::off;
    }
    return spdlog::level::info;
}

LogLevel from_spdlog(spdlog::level::level_enum level) {
    switch (level) {
        case spdlog::level::trace:
        case spdlog::level::debug: return LogLevel::debug;
        case spdlog::level::info: return LogLevel::info;
        case spdlog::level::warn: return LogLevel::warning;
        case spdlog::level::err:
        case spdlog::level::critical: return LogLevel::error;
        default: return LogLevel::off;
    }
}

// Forwards spdlog records to one of our sinks.
class SinkAdapter final : public spdlog::sinks::base_sink<std::mutex> {
public:
    SinkAdapter(std::string logger, std::shared_ptr<LogSink> sink)
        : logger_(std::move(logger)), sink_(std::move(sink)) {}
    const std::shared_ptr<LogSink>& target() const { return sink_; }

protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        sink_->write(LogRecord{logger_, from_spdlog(msg.level),
                               std::string_view(msg.payload.data(), msg.payload.size())});
    }
    void flush_() override {}

private:
    std::string logger_;
    std::shared_ptr<LogSink> sink_;
};

struct Loggers {
    std::mutex mutex;
    std::map<std::string, std::unique_ptr<Logger>, std::less<>> by_name;
    LogLevel default_level = LogLevel::info;
    bool console = true;
    spdlog::sink_ptr console_sink = [] {
        auto sink = std::make_shared<spdlog::sinks::stderr_color_sink_mt>();
        sink->set_pattern("[%Y-%m-%d %H:%M:%S.%e] [%n] [%l] %v");
        return sink;
    }();
};

Loggers& loggers() {
    // Never destroyed: module loggers are used until the process ends.
    static Loggers* instance = new Loggers;
    return *instance;
}

}  // namespace

struct Logger::Impl {
    std::shared_ptr<spdlog::logger> logger;
    std::mutex sinks_mutex;
};

std::string_view log_level_name(LogLevel level) noexcept {
    switch (level) {
        case LogLevel::debug: return "debug";
        case LogLevel::info: return "info";
        case LogLevel::warning: return "warning";
        case LogLevel::error: return "error";
        case LogLevel::off: return "off";
    }
    return "info";
}

LogLevel log_level_from_name(std::string_view name) {
    for (LogLevel level : {LogLevel::debug, LogLevel::info, LogLevel::warning, LogLevel::error, LogLevel::off})
        if (log_level_name(level) == name) return level;
    throw ValueError("unknown log level '" + std::string(name) +
                     "' (expected one of: debug, info, warning, error, off)");
}

Logger::Logger(std::string name) : name_(std::move(name)), impl_(std::make_unique<Impl>()) {
    auto& all = loggers();
    impl_->logger = std::make_shared<spdlog::logger>(name_);
    if (all.console) impl_->logger->sinks().push_back(all.console_sink);
    impl_->logger->set_level(to_spdlog(all.default_level));
}

Logger::~Logger() = default;

bool Logger::enabled(LogLevel level) const noexcept {
    return level != LogLevel::off && impl_->logger->should_log(to_spdlog(level));
}

void Logger::set_level(LogLevel level) { impl_->logger->set_level(to_spdlog(level)); }

LogLevel Logger::level() const noexcept { return from_spdlog(impl_->logger->level()); }

void Logger::log(LogLevel level, std::string_view message) {
    if (level == LogLevel::off) return;
    impl_->logger->log(to_spdlog(level), spdlog::string_view_t(message.data(), message.size()));
}

void Logger::add_sink(std::shared_ptr<LogSink> sink) {
    std::lock_guard lock(impl_->sinks_mutex);
    impl_->logger->sinks().push_back(std::make_shared<SinkAdapter>(name_, std::move(sink)));
}

void Logger::remove_sink(const std::shared_ptr<LogSink>& sink) {
    std::lock_guard lock(impl_->sinks_mutex);
    auto& sinks = impl_->logger->sinks();
    sinks.erase(std::remove_if(sinks.begin(), sinks.end(),
                               [&](const spdlog::sink_ptr& s) {
                                   auto* adapter = dynamic_cast<SinkAdapter*>(s.get());
                                   return adapter && adapter->target() == sink;
                               }),
                sinks.end());
}

Logger& get_logger(std::string_view name) {
    auto& all = loggers();
    std::lock_guard lock(all.mutex);
    auto it = all.by_name.find(name);
    if (it == all.by_name.end())
        it = all.by_name.emplace(std::string(name), std::make_unique<Logger>(std::string(name))).first;
    return *it->second;
}

void set_default_log_level(LogLevel level) {
    auto& all = loggers();
    std::lock_guard lock(all.mutex);
    all.default_level = level;
    for (auto& [name, logger] : all.by_name) logger->set_level(level);
}

void set_console_logging(bool enabled) {
    auto& all = loggers();
    std::lock_guard lock(all.mutex);
    all.console = enabled;
    for (auto& [name, logger] : all.by_name) {
        auto& sinks = logger->impl_->logger->sinks();
        sinks.erase(std::remove(sinks.begin(), sinks.end(), all.console_sink), sinks.end());
        if (enabled) sinks.insert(sinks.begin(), all.console_sink);
    }
}

}  // namespace tarvik_core
