#include "support/log_capture.hpp"

#include <algorithm>

namespace tarvik_test {

using tarvik_core::LogLevel;

struct LogCapture::Sink : tarvik_core::LogSink {
    mutable std::mutex mutex;
    std::vector<CapturedLine> lines;
    void write(const tarvik_core::LogRecord& record) override {
        std::lock_guard lock(mutex);
        lines.push_back({record.level, std::string(record.message)});
    }
};

LogCapture::LogCapture(std::string logger_name)
    : name_(std::move(logger_name)), sink_(std::make_shared<Sink>()) {
    auto& logger = tarvik_core::get_logger(name_);
    previous_ = logger.level();
    logger.set_level(LogLevel::debug);
    logger.add_sink(sink_);
}

LogCapture::~LogCapture() {
    auto& logger = tarvik_core::get_logger(name_);
    logger.remove_sink(sink_);
    logger.set_level(previous_);
}

std::vector<CapturedLine> LogCapture::lines() const {
    std::lock_guard lock(sink_->mutex);
    return sink_->lines;
}

std::vector<std::string> LogCapture::messages(LogLevel level) const {
    std::vector<std::string> out;
    for (const auto& line : lines())
        if (line.level == level) out.push_back(line.message);
    return out;
}

bool LogCapture::contains(LogLevel level, const std::string& message) const {
    auto msgs = messages(level);
    return std::find(msgs.begin(), msgs.end(), message) != msgs.end();
}

std::size_t LogCapture::count_prefix(LogLevel level, const std::string& prefix) const {
    std::size_t n = 0;
    for (const auto& m : messages(level))
        if (m.rfind(prefix, 0) == 0) ++n;
    return n;
}

void LogCapture::clear() {
    std::lock_guard lock(sink_->mutex);
    sink_->lines.clear();
}

}  // namespace tarvik_test
